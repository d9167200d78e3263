#include "widgets/errorreport.h"
#include <QMessageBox>
#include <QWidget>

ErrorReport::ErrorReport(QWidget *w) : QObject(w), owner(w) {}

void ErrorReport::report(const QString &message)
{
    show(message);
}

void ErrorReport::reportPortLoss(const QString &message)
{
    if (!portLossBox || !portLossBox->isVisible())
        portLossBox = show(message);
}

QMessageBox *ErrorReport::show(const QString &message)
{
    if (quiet)
        return nullptr;
    auto *box = new QMessageBox(QMessageBox::Critical, owner->windowTitle(), message, QMessageBox::Ok, owner);
    box->setObjectName(QStringLiteral("errorBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
    emit reported(message);
    return box;
}
