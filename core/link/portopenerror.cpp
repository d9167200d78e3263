#include "link/portopenerror.h"

#include <QFileInfo>

QString portOpenErrorMessage(const PortOpenFacts &f)
{
    if (f.error == QSerialPort::DeviceNotFoundError || !f.exists)
        return QStringLiteral("Попытка открыть несуществующий COM-порт");
    if (f.error != QSerialPort::PermissionError && f.error != QSerialPort::OpenError)
        return QStringLiteral("Ошибка функции SetupComm");
    if (f.accessible)
        return QStringLiteral("Порт занят другой программой");
    // Serial ports on Debian belong to the group dialout.
    const QString group = f.group.isEmpty() ? QStringLiteral("dialout") : f.group;
    return QStringLiteral("Нет доступа к порту %1: нужны права группы %2. "
                          "Добавьте пользователя в группу (sudo adduser $USER %2) и войдите в систему заново")
        .arg(f.device, group);
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
