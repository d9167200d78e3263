#include "main/statuspanel.h"
#include "widgets/lamp.h"
#include "detector/valueformats.h"
#include "main/gridcell.h"
#include "ui_mainform.h"

using namespace LampColor;

namespace {
QString two(bool bit, const char *set, const char *clear)
{
    return QString::fromUtf8(bit ? set : clear);
}
} // namespace

StatusPanel::StatusPanel(Ui::MainForm &form) : ui(form) {}

void StatusPanel::cell(int row, int column, const QString &text)
{
    setGridCell(*ui.sg1, row, column, text);
}

void StatusPanel::show(const StatusSample &sample)
{
    const DeviceStatus &d = sample.status;
    const int row = sample.slot + 1;
    cell(row, 1, QString::number(d.Uik));
    cell(row, 2, QString::number(d.Uuf));
    cell(row, 3, QString::number(d.Ukz));
    ui.lbl7->setText(heaterPointText(d.HeaterPoint));
    cell(row, 16, QString::number(d.Up_kz));
    cell(row, 4, tenthsText(d.Ut));
    cell(row, 14, QString::number(d.Up_ik));
    cell(row, 15, QString::number(d.Up_uf));
    // With two devices the boxes cannot stand for both; they stay as they are.
    if (sample.channelsFollow)
        showChannels(d);
    cell(row, 17, versionText(d.VersionMajor, d.VersionMinor, d.VersionBuild));
    cell(row, 13, QString::number(d.Ush_ik));
    cell(row, 11, QString::number(d.G_36));
    cell(row, 12, QString::number(d.G_42));
    cell(row, 18, QString::number(d.SERIAL));
    ui.Edit13->setText(tenthsText(d.U_supply));
    ui.Edit14->setText(tenthsText(d.U_400));
    showServiceControls(d.serviceAccess());
    ui.lbl3->setText(testCounterText(d.TestCounter));
    ui.lblT_UVFault->setText(uvFaultText(d.T_UV_FAULT));

    cell(row, 5, two(d.Fire(), "Пожар", ""));
    ui.Shape3->setColor(d.Fire() ? Red : Green);
    cell(row, 6, two(d.Fault(), "Авария", ""));
    ui.Shape4->setColor(d.Fault() ? Black : Green);
    cell(row, 7, two(d.Dust(), "Запыленость", ""));
    ui.Shape5->setColor(d.Dust() ? Black : LightCyan);

    cell(row, 8, two(d.Fast(), "Быстро", "Медленно"));
    cell(row, 9, two(d.Far(), "Далеко", "Близко"));
    cell(row, 10, two(d.FireLatch(), "Фикс.", "Без фикс."));
    showModes(d);
}

void StatusPanel::showChannels(const DeviceStatus &d)
{
    ui.chk1->setChecked(d.DustChannel());
    ui.CheckBox3->setChecked(d.IrChannel());
    ui.CheckBox4->setChecked(d.UvChannel());
}

void StatusPanel::showServiceControls(bool visible)
{
    ui.chk1->setVisible(visible);
    ui.GroupBox7->setVisible(visible);
    ui.btn4->setVisible(visible);
}

void StatusPanel::showModes(const DeviceStatus &d)
{
    if (shownModes == d.ModeFlags)
        return;
    shownModes = d.ModeFlags;
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
