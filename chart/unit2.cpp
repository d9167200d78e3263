#include "chart/unit2.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {
constexpr uint8_t WriteUvFaultTime = 40;

bool isEnter(int key)
{
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}
} // namespace

TForm2::TForm2(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Запись"));
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

QString TForm2::valueText() const
{
    return edtNEW_DAT->text();
}

bool TForm2::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == edtNEW_DAT && event->type() == QEvent::KeyPress)
        return edtNEW_DATKeyPress(*static_cast<QKeyEvent *>(event));
    return QDialog::eventFilter(watched, event);
}

bool TForm2::edtNEW_DATKeyPress(const QKeyEvent &key)
{
    if (isEnter(key.key())) {
        if (!edtNEW_DAT->text().isEmpty()) {
            emit commandStored(WriteUvFaultTime);
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
