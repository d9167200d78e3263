#pragma once
#include <QDialog>
#include <QString>
#include <cstdint>

class QKeyEvent;
class QLabel;
class QLineEdit;

// "Запись": takes a new UV fault time. Only digits can be typed; Enter on a
// non-empty value queues the write and hides the dialog. The field keeps its
// text, so reopening shows the last value.
class TForm2 : public QDialog {
    Q_OBJECT

public:
    explicit TForm2(QWidget *parent = nullptr);

    QString valueText() const;

    QLabel *lbl1 = nullptr;
    QLineEdit *edtNEW_DAT = nullptr;

signals:
    void commandStored(uint8_t code);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Returns true when the key is to be kept from the field.
    bool edtNEW_DATKeyPress(const QKeyEvent &key);
};
