#include "dialogs/uvfaulttimedialog.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {
bool isEnter(int key)
{
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}
} // namespace

UvFaultTimeDialog::UvFaultTimeDialog(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Запись"));
    setObjectName(QStringLiteral("Form2"));
    setModal(false);
    lbl1 = new QLabel(QStringLiteral("Новое значение + Enter"), this);
    lbl1->setObjectName(QStringLiteral("lbl1"));
    edtNEW_DAT = new QLineEdit(this);
    edtNEW_DAT->setObjectName(QStringLiteral("edtNEW_DAT"));
    edtNEW_DAT->installEventFilter(this);

    auto *column = new QVBoxLayout(this);
    column->addWidget(lbl1);
    column->addWidget(edtNEW_DAT);
    column->setSizeConstraint(QLayout::SetFixedSize);
}

QString UvFaultTimeDialog::valueText() const
{
    return edtNEW_DAT->text();
}

bool UvFaultTimeDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == edtNEW_DAT && event->type() == QEvent::KeyPress)
        return filterValueKey(*static_cast<QKeyEvent *>(event));
    return QDialog::eventFilter(watched, event);
}

bool UvFaultTimeDialog::filterValueKey(const QKeyEvent &key)
{
    if (isEnter(key.key())) {
        if (!edtNEW_DAT->text().isEmpty()) {
            emit commandRequested(Command::WriteUvFaultTime);
            hide();
        }
        return true;
    }
    if (key.key() == Qt::Key_Backspace)
        return false;
    // Editing commands (arrows, Delete, Ctrl shortcuts) insert no character of their own.
    if (key.text().isEmpty() || (key.modifiers() & (Qt::ControlModifier | Qt::MetaModifier)))
        return false;
    const QString typed = key.text();
    const bool digit = typed.size() == 1 && typed[0] >= u'0' && typed[0] <= u'9';
    return !digit;
}
