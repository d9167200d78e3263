#pragma once
#include <QColor>
#include <QWidget>

// The colours the lamps show.
namespace LampColor {
inline const QColor White(255, 255, 255);
inline const QColor Red(255, 0, 0);
inline const QColor Lime(0, 255, 0);
inline const QColor Green(0, 128, 0);
inline const QColor Black(0, 0, 0);
inline const QColor LightCyan(202, 249, 251);
} // namespace LampColor

// A small round indicator whose fill colour is the state it shows
// (request/reply activity, fire, fault, dust). White until told otherwise.
class Lamp : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QColor color READ color WRITE setColor)

public:
    explicit Lamp(QWidget *parent = nullptr);

    QColor color() const { return fill; }
    void setColor(QColor c);

    QSize sizeHint() const override { return {9, 9}; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QColor fill = Qt::white;
};
