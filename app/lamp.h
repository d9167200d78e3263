#pragma once
#include <QColor>
#include <QWidget>

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
