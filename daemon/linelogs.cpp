#include "daemon/linelogs.h"
#include "daemon/log.h"
#include "daemon/logchain.h"
#include "daemon/failurelog.h"

#include <QDir>
#include <QTime>

LineLogs::LineLogs(const LineConfig &config)
    : line(config.name), dir(config.logDir), maxBytes(long(config.logMaxMb) * 1024 * 1024), keep(config.logKeep)
{
}

bool LineLogs::start()
{
    if (dir.isEmpty())
        return false;
    const QString problem = logFolderProblem(dir);
    if (!problem.isEmpty())
        logEvent(QStringLiteral("line %1: running without device logs: %2").arg(line, problem));
    enabled = problem.isEmpty();
    return enabled;
}

QString LineLogs::logPath(uint8_t address) const
{
    return QDir(dir).filePath(QStringLiteral("dev%1.txt").arg(int(address)));
}

void LineLogs::write(const StatusSample &sample)
{
    if (!enabled)
        return;
    if (auto failure = writeRow(sample.address, sample.status))
        noteFailure(*failure);
    else
        noteWritten();
}

std::optional<Failure> LineLogs::writeRow(uint8_t address, const DeviceStatus &d)
{
    std::unique_ptr<DeviceLog> &log = logs[address];
    if (!log)
        log = std::make_unique<DeviceLog>();
    if (!log->isOpen() || log->size() >= maxBytes) {
        if (auto failure = log->close()) // a full one, before it moves into the chain
            return failure;
        if (auto failure = openLog(*log, logPath(address)))
            return failure;
    }
    return log->writeRow(QTime::currentTime(), d.irSignal, d.uvSignal, d.dustSignal, d.temperatureTenths, d.fire(), d.fault(), d.dust());
}

// What the file holds already moves into the chain, so the log starts anew
// without piling up copies.
std::optional<Failure> LineLogs::openLog(DeviceLog &log, const QString &path)
{
    if (DeviceLog::holdsRows(path))
        if (auto failure = rotateLogChain(path, keep))
            return failure;
    return log.open(path);
}

void LineLogs::noteFailure(const Failure &failure)
{
    ++lost;
    failing = true;
    if (!mayReport())
        return;
    logEvent(QStringLiteral("line %1: %2 device log row(s) not written: %3")
                 .arg(line)
                 .arg(lost)
                 .arg(logText(failure)));
    lost = 0;
    reported.start();
}

// Said once the trouble is over, within the same once-a-minute bound.
void LineLogs::noteWritten()
{
    if (!failing || !mayReport())
        return;
    logEvent(QStringLiteral("line %1: device logs written again; %2 more row(s) were not written").arg(line).arg(lost));
    failing = false;
    lost = 0;
    reported.start();
}
