#include "session/devicelist.h"
#include <QDir>

DeviceList::DeviceList(QString dir) : workDir(std::move(dir)) {}

QString DeviceList::logPath(uint8_t address) const
{
    const QString name = QStringLiteral("dev%1.txt").arg(int(address));
    return workDir.isEmpty() ? name : QDir(workDir).filePath(name);
}

bool DeviceList::contains(uint8_t address) const
{
    for (int i = 0; i < n; ++i)
        if (addresses[i] == address)
            return true;
    return false;
}

void DeviceList::add(uint8_t address)
{
    // The callers (add by address, bus search, connect) expect a silent refusal.
    if (contains(address) || full())
        return;
    addresses[n] = address;
    emit listing(n, address);
    logs[n].open(logPath(address));
    ++n;
}

void DeviceList::clear()
{
    if (n == 0)
        return;
    for (int i = 0; i < n; ++i)
        logs[i].close();
    n = 0;
    addresses[0] = 0;
    emit cleared();
}

void DeviceList::closeAllLogs()
{
    for (DeviceLog &log : logs)
        log.close();
}
