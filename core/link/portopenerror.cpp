#include "link/portopenerror.h"

#include <QFileInfo>

Failure portOpenFailure(const PortOpenFacts &f)
{
    using K = Failure::Kind;
    if (f.error == QSerialPort::DeviceNotFoundError || !f.exists)
        return Failure::of(K::PortMissing);
    if (f.error != QSerialPort::PermissionError && f.error != QSerialPort::OpenError)
        return Failure::of(K::PortSetup);
    if (f.accessible)
        return Failure::of(K::PortBusy);
    // Serial ports on Debian belong to the group dialout.
    Failure denied = Failure::withText(K::PortAccess, f.group.isEmpty() ? QStringLiteral("dialout") : f.group);
    denied.path = f.device;
    return denied;
}

PortOpenFacts portOpenFacts(QSerialPort::SerialPortError error, const QString &device)
{
    const QFileInfo info(device);
    PortOpenFacts f;
    f.error = error;
    f.device = device;
    f.exists = info.exists();
    // Read and write as this user would get them (root passes both).
    f.accessible = info.isReadable() && info.isWritable();
    f.group = info.group();
    return f;
}
