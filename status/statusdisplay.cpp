#include "status/statusdisplay.h"
#include "app/lamp.h"
#include "chart/graph.h"
#include "polling/sharedstate.h"
#include "status/formats.h"
#include "status/gridcell.h"
#include "ui_mainform.h"

using namespace LampColor;

namespace {
QString two(bool bit, const char *set, const char *clear)
{
    return QString::fromUtf8(bit ? set : clear);
}
} // namespace

StatusDisplay::StatusDisplay(Ui::MainForm &form, TForm1 &chartWindow, SharedState &state)
    : ui(form), chart(chartWindow), s(state)
{
}

void StatusDisplay::cell(uint8_t row, int column, const QString &text)
{
    setGridCell(*ui.sg1, row, column, text);
}

void StatusDisplay::display(uint8_t row)
{
    const bool logging = ui.wf->isChecked(); // decided once: a row is written whole or not at all
    const QString time = timeOfDayText(QTime::currentTime());
    // The threshold series show the thresholds of the reply before this one.
    const int heldIrThreshold = s.status.Up_ik;
    const int heldUvThreshold = s.status.Up_uf;
    s.status = decodeStatus(s.ExchangeBuffer);
    const DeviceStatus &d = s.status;

    cell(row, 1, QString::number(d.Uik));
    chart.addIr(d.Uik, s.averages.IrAverage, heldIrThreshold);
    cell(row, 2, QString::number(d.Uuf));
    chart.addUv(d.Uuf, s.averages.UvAverage, heldUvThreshold);
    cell(row, 3, QString::number(d.Ukz));
    ui.lbl7->setText(heaterPointText(d.HeaterPoint));
    cell(row, 16, QString::number(d.Up_kz));
    cell(row, 4, tenthsText(d.Ut));
    cell(row, 14, QString::number(d.Up_ik));
    cell(row, 15, QString::number(d.Up_uf));
    showChannels();
    cell(row, 17, versionText(d.VersionMajor, d.VersionMinor, d.VersionBuild));
    cell(row, 13, QString::number(d.Ush_ik));
    cell(row, 11, QString::number(d.G_36));
    chart.setG36(d.G_36);
    cell(row, 12, QString::number(d.G_42));
    chart.setG42(d.G_42);
    cell(row, 18, QString::number(d.SERIAL));
    ui.Edit13->setText(tenthsText(d.U_supply));
    ui.Edit14->setText(tenthsText(d.U_400));
    showServiceControls(d.serviceAccess());
    ui.lbl3->setText(testCounterText(d.TestCounter));
    if (!d.configMarkOk() && s.PendingCommand == 0)
        s.storeCommand(36); // writes the configuration mark on the next pass
    ui.lblT_UVFault->setText(uvFaultText(d.T_UV_FAULT));

    cell(row, 5, two(d.Fire(), "Пожар", ""));
    chart.setFire(d.Fire());
    ui.Shape3->setColor(d.Fire() ? Red : Green);
    cell(row, 6, two(d.Fault(), "Авария", ""));
    ui.Shape4->setColor(d.Fault() ? Black : Green);
    cell(row, 7, two(d.Dust(), "Запыленость", ""));
    ui.Shape5->setColor(d.Dust() ? Black : LightCyan);
    if (logging && row >= 1 && row <= DeviceList::Capacity)
        s.deviceList.log(row - 1).writeRow(time, d.Uik, d.Uuf, d.Ukz, d.Ut, d.Fire(), d.Fault(), d.Dust());

    cell(row, 8, two(d.Fast(), "Быстро", "Медленно"));
    cell(row, 9, two(d.Far(), "Далеко", "Близко"));
    cell(row, 10, two(d.FireLatch(), "Фикс.", "Без фикс."));
    showModes();
}

void StatusDisplay::showChannels()
{
    // With two devices the boxes cannot stand for both; they stay as they are.
    if (s.deviceList.count() != 1)
        return;
    const DeviceStatus &d = s.status;
    s.ChannelMask = d.channelBits();
    ui.chk1->setChecked(d.DustChannel());
    ui.CheckBox3->setChecked(d.IrChannel());
    ui.CheckBox4->setChecked(d.UvChannel());
}

void StatusDisplay::showServiceControls(bool visible)
{
    ui.chk1->setVisible(visible);
    ui.GroupBox7->setVisible(visible);
    ui.btn4->setVisible(visible);
}

void StatusDisplay::showModes()
{
    const DeviceStatus &d = s.status;
    ui.Button23->setText(two(d.Fast(), "Быстро", "Медленно"));
    ui.Button24->setText(two(d.Far(), "Далеко", "Близко"));
    ui.Button25->setText(two(d.FireLatch(), "Фикс.", "Без фикс."));
    ui.Button26->setText(two(d.FireRelay(), "Рел.Пож.Вкл.", "Рел.Пож.Выкл."));
    ui.Button27->setText(two(d.FaultRelay(), "Рел.Испр.Вкл.", "Рел.Испр.Выкл."));
    ui.btn2->setText(two(d.HeaterEnabled(), "Разрешен", "Запрещен"));
    QPalette p = ui.lbl7->palette();
    p.setColor(QPalette::WindowText, d.HeaterMark() ? Red : Black);
    ui.lbl7->setPalette(p);
    ui.Button10->setText(two(d.FaultLatch(), "Фикс.", "Без фикс."));
}
