// The device table of the main window: adding, clearing and the bus search.
#include "app/lamp.h"
#include "app/mainform.h"
#include "app/controlstates.h"
#include "link/inttext.h"
#include "status/gridcell.h"
#include "ui_mainform.h"

using namespace LampColor;

void MainForm::addev(uint8_t address)
{
    DeviceList &list = s.deviceList;
    if (list.contains(address) || list.full())
        return; // a listed address or a full list is refused without a word
    const int slot = list.count();
    if (slot > 0)
        form->sg1->setRowCount(slot + 1);
    setGridCell(*form->sg1, slot + 1, 0, QString::number(address));
    list.add(address);
}

void MainForm::clear_tab()
{
    if (s.deviceList.count() == 0)
        return;
    s.deviceList.clear_tab();
    form->sg1->setRowCount(1);
    // The row that stays belongs to no device now: none of its values may linger.
    for (int col = 0; col < form->sg1->columnCount(); ++col)
        setGridCell(*form->sg1, 1, col, QString());
}

void MainForm::Button5Click()
{
    guarded([this] {
        const QString text = form->Edit1->text();
        if (!text.isEmpty())
            addev(uint8_t(StrToInt(text) & 0xFF));
        activ_but(ControlState::Idle);
    });
}

void MainForm::Button9Click()
{
    guarded([this] {
        clear_tab();
        activ_but(ControlState::ConnectedEmpty);
    });
}

void MainForm::Button3Click()
{
    if (search.isActive()) {
        search.stop();
        endSearchSteps();
        return;
    }
    if (search.running())
        return; // the stopped search still finishes its last probe
    form->Button3->setText(QStringLiteral("Остановить"));
    activ_but(ControlState::Searching);
    search.start();
}

void MainForm::endSearchSteps()
{
    form->Button3->setText(QStringLiteral("Поиск"));
    form->Shape1->setColor(White);
    form->Shape2->setColor(White);
    form->edtserch->clear();
    activ_but(idleState(s.deviceList.count()));
}

void MainForm::connectSearch()
{
    search.addev = [this](uint8_t a) { addev(a); };
    connect(&search, &BusSearch::probeStarted, this, [this] { form->Shape1->setColor(Red); });
    connect(&search, &BusSearch::probed, this, [this](uint8_t a) {
        form->edtserch->setText(QStringLiteral("Идет поиск... Прибор № %1").arg(a));
    });
    connect(&search, &BusSearch::replyLamp, this, [this](bool got) { form->Shape2->setColor(got ? Lime : White); });
    connect(&search, &BusSearch::ended, this, &MainForm::endSearchSteps);
    connect(&search, &BusSearch::failed, this, [this](const QString &message) {
        errorReport->report(message);
        // A file error leaves the search marked active: the button's next
        // click runs the stop steps.
        if (!search.isActive())
            endSearchSteps();
    });
}
