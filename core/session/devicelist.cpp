#include "session/devicelist.h"
#include <QDir>
#include <algorithm>

DeviceList::DeviceList(QString dir, int capacity) : workDir(std::move(dir)), addresses(size_t(std::max(capacity, 1)))
{
    logs.reserve(addresses.size());
    for (size_t i = 0; i < addresses.size(); ++i)
        logs.push_back(std::make_unique<DeviceLog>());
}

QString DeviceList::logPath(uint8_t address) const
{
    const QString name = QStringLiteral("dev%1.txt").arg(int(address));
    return workDir.isEmpty() ? name : QDir(workDir).filePath(name);
}

bool DeviceList::contains(uint8_t address) const
{
    for (int i = 0; i < n; ++i)
        if (addresses[size_t(i)] == address)
            return true;
    return false;
}

std::optional<Failure> DeviceList::add(uint8_t address)
{
    // The callers (add by address, bus search, connect) expect a silent
    // refusal. Address 0 is the broadcast: every detector would act on a write to it.
    if (address == 0 || contains(address) || full())
        return std::nullopt;
    addresses[size_t(n)] = address;
    emit listing(n, address);
    if (logFiles)
        if (auto failure = logs[size_t(n)]->open(logPath(address)))
            return failure;
    ++n;
    return std::nullopt;
}

std::optional<Failure> DeviceList::clear()
{
    if (n == 0)
        return std::nullopt;
    for (int i = 0; i < n; ++i)
        if (auto failure = logs[size_t(i)]->close())
            return failure;
    n = 0;
    addresses[0] = 0;
    emit cleared();
    return std::nullopt;
}

std::optional<Failure> DeviceList::closeAllLogs()
{
    for (auto &log : logs)
        if (auto failure = log->close())
            return failure;
    return std::nullopt;
}
