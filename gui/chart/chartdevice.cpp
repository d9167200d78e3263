// The chart window's chosen detector: the list of detectors it offers, and
// curves and fields that never show one detector's values as another's.
#include "chart/chartwindow.h"
#include "ui_graph.h"

#include <qcustomplot.h>

// The curves of one detector give way to another's, whose first points are in view.
void ChartWindow::startCurvesAfresh()
{
    clearCurves();
    plot->xAxis->setRange(0, xWindow);
}

void ChartWindow::setDevices(const QList<uint8_t> &addresses)
{
    ui->cbDevice->clear();
    for (uint8_t a : addresses)
        ui->cbDevice->addItem(QString::number(a), a);
    ui->cbDevice->setCurrentIndex(addresses.isEmpty() ? -1 : 0);
    updateCaption();
}

void ChartWindow::renameFirstDevice(uint8_t address)
{
    if (ui->cbDevice->count() == 0)
        return;
    const auto before = ui->cbDevice->itemData(0).value<uint8_t>();
    if (curvesDevice == before)
        curvesDevice = address;
    if (fieldsDevice == before)
        fieldsDevice = address;
    ui->cbDevice->setItemText(0, QString::number(address));
    ui->cbDevice->setItemData(0, address);
    updateCaption();
}

std::optional<uint8_t> ChartWindow::chosenDevice() const
{
    if (ui->cbDevice->currentIndex() < 0)
        return std::nullopt;
    return ui->cbDevice->currentData().value<uint8_t>();
}

// Another detector chosen: nothing of the one shown before may stay on
// screen, so its curves go and its fields wait for the new one's next reply.
void ChartWindow::onDevicePicked()
{
    const std::optional<uint8_t> device = chosenDevice();
    if (curvesDevice && curvesDevice != device)
        startCurvesAfresh();
    if (fieldsDevice && fieldsDevice != device) {
        for (QLineEdit *field : {ui->Edit4, ui->Edit5, ui->Edit6, ui->Edit7})
            field->clear();
        setFire(false);
        fieldsDevice.reset();
    }
    updateCaption();
}

void ChartWindow::updateCaption()
{
    const std::optional<uint8_t> device = chosenDevice();
    setWindowTitle(ui->cbDevice->count() >= 2 && device ? QStringLiteral("График — прибор %1").arg(*device)
                                                         : QStringLiteral("График"));
}
