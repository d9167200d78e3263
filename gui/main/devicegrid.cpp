// The device table of the main window: adding, clearing and the bus search->
#include "widgets/lamp.h"
#include "main/mainwindow.h"
#include "main/controlstates.h"
#include "link/inttext.h"
#include "main/gridcell.h"
#include "ui_mainform.h"
#include "dialogs/commstatswindow.h"
#include "chart/chartwindow.h"

#include <QMenu>
#include <QShortcut>

using namespace LampColor;

void MainWindow::addDevice(uint8_t address)
{
    sessionRef.listDevice(address);
}

void MainWindow::clearTable()
{
    sessionRef.clearDevices();
}

// The grid follows the device list: a row per listed device, the address first.
void MainWindow::connectDeviceGrid()
{
    connect(&sessionRef, &Session::deviceListed, this, [this](int slot, uint8_t address) {
        if (slot > 0)
            form->sg1->setRowCount(slot + 1);
        setGridCell(*form->sg1, slot + 1, 0, QString::number(address));
        // The list counts the address once its log is open, after this signal.
        chart->setDevices(sessionRef.listed().mid(0, slot) << address);
    });
    connect(&sessionRef, &Session::devicesCleared, this, [this] {
        form->sg1->setRowCount(1);
        // The row that stays belongs to no device now: none of its values may linger.
        for (int col = 0; col < form->sg1->columnCount(); ++col)
            setGridCell(*form->sg1, 1, col, QString());
        chart->setDevices({});
    });
}

void MainWindow::onAddDeviceClicked()
{
    guarded([this] {
        const QString text = form->Edit1->text();
        if (!text.isEmpty())
            addDevice(uint8_t(typedInteger(text) & 0xFF));
        applyControlState(ControlState::Idle);
    });
}

void MainWindow::onClearTableClicked()
{
    guarded([this] {
        clearTable();
        applyControlState(ControlState::ConnectedEmpty);
    });
}

void MainWindow::onSearchClicked()
{
    if (sessionRef.searchActive()) {
        sessionRef.stopSearch();
        endSearchSteps();
        return;
    }
    if (sessionRef.searchRunning())
        return; // the stopped search still finishes its last probe
    form->Button3->setText(QStringLiteral("Остановить"));
    applyControlState(ControlState::Searching);
    sessionRef.startSearch();
}

void MainWindow::endSearchSteps()
{
    form->Button3->setText(QStringLiteral("Поиск"));
    form->Shape1->setColor(White);
    form->Shape2->setColor(White);
    form->edtserch->clear();
    applyControlState(idleState(sessionRef.deviceCount()));
}

void MainWindow::connectSearch()
{
    Session *search = &sessionRef;
    connect(search, &Session::probeStarted, this, [this] { form->Shape1->setColor(Red); });
    // Lime when anything came back, an answer with a bad CRC included.
    connect(search, &Session::probed, this, [this](uint8_t a, uint8_t count) {
        form->edtserch->setText(QStringLiteral("Идет поиск... Прибор № %1").arg(a));
        form->Shape2->setColor(count != 0 ? Lime : White);
    });
    connect(search, &Session::foundWithoutRoom, this, [this](uint8_t a) {
        form->Memo2->appendPlainText(QStringLiteral("Найден прибор %1: таблица заполнена").arg(a));
    });
    connect(search, &Session::searchEnded, this, [this, search] {
        endSearchSteps();
        reportUnlisted(search->unlisted());
    });
    connect(search, &Session::searchFailed, this, [this, search](const QString &message) {
        errorReport->report(message);
        reportUnlisted(search->unlisted());
        // A file error leaves the search marked active: the button's next
        // click runs the stop steps.
        if (!search->searchActive())
            endSearchSteps();
    });
}

// Answering detectors the table had no room for, named in one message.
void MainWindow::reportUnlisted(const QList<uint8_t> &addresses)
{
    if (addresses.isEmpty())
        return;
    QStringList names;
    for (uint8_t a : addresses)
        names << QString::number(a);
    errorReport->report(QStringLiteral("Таблица заполнена, не внесены найденные приборы: %1").arg(names.join(", ")));
}

// The statistics window adds nothing to the window's layout: it opens from
// the device grid's context menu and with Ctrl+I.
void MainWindow::connectCommStats()
{
    auto *shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_I), this);
    connect(shortcut, &QShortcut::activated, this, &MainWindow::onCommStatsRequested);
    form->sg1->setContextMenuPolicy(Qt::CustomContextMenu);
    // Made when asked for and gone when closed, so the window holds no extra
    // widget; popup(), not exec(): polling goes on while the menu is open.
    connect(form->sg1, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
        auto *menu = new QMenu(form->sg1);
        menu->setObjectName(QStringLiteral("sg1Menu"));
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->addAction(QStringLiteral("Статистика связи\tCtrl+I"), this, &MainWindow::onCommStatsRequested);
        menu->addAction(QStringLiteral("Монитор обмена\tCtrl+M"), this, &MainWindow::onMonitorRequested);
        menu->popup(form->sg1->viewport()->mapToGlobal(at));
    });
}

void MainWindow::onCommStatsRequested()
{
    commStats->open();
}
