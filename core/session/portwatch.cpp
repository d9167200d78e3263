#include "session/portwatch.h"
#include "link/apperror.h"
#include "link/serialchannel.h"

#include <QFileInfo>

PortWatch::PortWatch(SerialChannel &serialChannel, QObject *parent) : QObject(parent), channel(serialChannel)
{
    timer.setInterval(IntervalMs);
    connect(&timer, &QTimer::timeout, this, &PortWatch::look);
}

void PortWatch::look()
{
#ifndef Q_OS_WIN
    // A device node that is not there cannot be opened; asking the driver
    // every second would only fill its log.
    if (!QFileInfo::exists(SerialChannel::systemPortName(channel.portName())))
        return;
#endif
    try {
        channel.open();
    } catch (const AppError &) {
        return;
    }
    timer.stop();
    emit portBack();
}
