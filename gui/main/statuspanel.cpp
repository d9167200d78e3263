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
    cell(row, 1, QString::number(d.irSignal));
    cell(row, 2, QString::number(d.uvSignal));
    cell(row, 3, QString::number(d.dustSignal));
    ui.lbl7->setText(heaterPointText(d.heaterPoint));
    cell(row, 16, QString::number(d.dustThreshold));
    cell(row, 4, tenthsText(d.temperatureTenths));
    cell(row, 14, QString::number(d.irThreshold));
    cell(row, 15, QString::number(d.uvThreshold));
    // With two devices the boxes cannot stand for both; they stay as they are.
    if (sample.soleDevice)
        showChannels(d);
    cell(row, 17, versionText(d.versionMajor, d.versionMinor, d.versionBuild));
    cell(row, 13, QString::number(d.irNoise));
    cell(row, 11, QString::number(d.g36));
    cell(row, 12, QString::number(d.g42));
    cell(row, 18, QString::number(d.serialNumber));
    ui.Edit13->setText(tenthsText(d.supplyTenths));
    ui.Edit14->setText(tenthsText(d.hv400Tenths));
    showServiceControls(d.serviceAccess());
    ui.lbl3->setText(testCounterText(d.testCounter));
    ui.lblT_UVFault->setText(uvFaultText(d.uvFaultHours));

    cell(row, 5, two(d.fire(), "Пожар", ""));
    ui.Shape3->setColor(d.fire() ? Red : Green);
    cell(row, 6, two(d.fault(), "Авария", ""));
    ui.Shape4->setColor(d.fault() ? Black : Green);
    cell(row, 7, two(d.dust(), "Запыленость", ""));
    ui.Shape5->setColor(d.dust() ? Black : LightCyan);

    cell(row, 8, two(d.fast(), "Быстро", "Медленно"));
    cell(row, 9, two(d.far(), "Далеко", "Близко"));
    cell(row, 10, two(d.fireLatch(), "Фикс.", "Без фикс."));
    showModes(d);
}

void StatusPanel::showChannels(const DeviceStatus &d)
{
    ui.chk1->setChecked(d.dustChannel());
    ui.CheckBox3->setChecked(d.irChannel());
    ui.CheckBox4->setChecked(d.uvChannel());
}

void StatusPanel::showServiceControls(bool visible)
{
    ui.chk1->setVisible(visible);
    ui.GroupBox7->setVisible(visible);
    ui.btn4->setVisible(visible);
}

void StatusPanel::showModes(const DeviceStatus &d)
{
    if (shownModes == d.modeFlags)
        return;
    shownModes = d.modeFlags;
    ui.Button23->setText(two(d.fast(), "Быстро", "Медленно"));
    ui.Button24->setText(two(d.far(), "Далеко", "Близко"));
    ui.Button25->setText(two(d.fireLatch(), "Фикс.", "Без фикс."));
    ui.Button26->setText(two(d.fireRelay(), "Рел.Пож.Вкл.", "Рел.Пож.Выкл."));
    ui.Button27->setText(two(d.faultRelay(), "Рел.Испр.Вкл.", "Рел.Испр.Выкл."));
    ui.btn2->setText(two(d.heaterEnabled(), "Разрешен", "Запрещен"));
    QPalette p = ui.lbl7->palette();
    p.setColor(QPalette::WindowText, d.heaterMark() ? Red : Black);
    ui.lbl7->setPalette(p);
    ui.Button10->setText(two(d.faultLatch(), "Фикс.", "Без фикс."));
}
