#pragma once
#include "detector/commandtable.h"
#include <QDialog>
#include <QString>
#include <cstdint>

class QKeyEvent;
class QLabel;
class QLineEdit;

// "Запись": takes a new UV fault time. Only digits can be typed; Enter on a
// non-empty value queues the write and hides the dialog. The field keeps its
// text, so reopening shows the last value.
class UvFaultTimeDialog : public QDialog {
    Q_OBJECT

public:
    explicit UvFaultTimeDialog(QWidget *parent = nullptr);

    QString valueText() const;

    // The controls, by their layout names, like the generated forms.
    QLabel *lbl1 = nullptr;
    QLineEdit *edtNEW_DAT = nullptr;

signals:
    void commandRequested(Command command);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Returns true when the key is to be kept from the field.
    bool filterValueKey(const QKeyEvent &key);
};
