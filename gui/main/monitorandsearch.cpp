// The exchange monitor's ways in, and the fast search's check box and its
// end message: additions to the main window that leave its layout as it is.
#include "main/mainwindow.h"
#include "monitor/monitorwindow.h"
#include "session/searchsummary.h"
#include "ui_mainform.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QShortcut>

namespace {
// The group's one free place wide enough for it, right of "Задержка:": no
// control of the layout moves or changes size.
const QRect FastSearchPlace{246, 55, 57, 22};
} // namespace

void MainWindow::connectMonitorAndFastSearch()
{
    monitor = std::make_unique<MonitorWindow>(sessionRef, *errorReport);
    auto *shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_M), this);
    connect(shortcut, &QShortcut::activated, this, &MainWindow::onMonitorRequested);

    fastSearch = new QCheckBox(QStringLiteral("быстро"), form->GroupBox1);
    fastSearch->setObjectName(QStringLiteral("chkFastSearch"));
    fastSearch->setToolTip(QStringLiteral("Ждать у каждого адреса только начала ответа: поиск 1..247 "
                                          "за секунды; медленный прибор найдет обычный поиск"));
    fastSearch->setGeometry(FastSearchPlace);
    fastSearch->setStyleSheet(QStringLiteral("QCheckBox { spacing: 1px; }")); // the place is narrow
    connect(fastSearch, &QCheckBox::toggled, this, [this](bool on) { sessionRef.setFastSearch(on); });
    connect(&sessionRef, &Session::searchEnded, this, [this] {
        if (sessionRef.fastProbes() > 0)
            showFastSearchSummary();
    });
}

void MainWindow::onMonitorRequested()
{
    monitor->open();
}

// Not modal: the window goes on while the message is read.
void MainWindow::showFastSearchSummary()
{
    auto *box = new QMessageBox(QMessageBox::Information, QStringLiteral("Поиск"),
                                fastSearchSummary(sessionRef.fastProbes(), sessionRef.searchMarginMs()), QMessageBox::Ok,
                                this);
    box->setObjectName(QStringLiteral("FastSearchSummary"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}
