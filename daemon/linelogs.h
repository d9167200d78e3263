#pragma once
#include "daemon/config.h"
#include "session/devicelog.h"
#include "session/statussample.h"
#include <QElapsedTimer>
#include <map>
#include <memory>

// The device logs of one line as the service keeps them: a record beside
// the alarms, never in their way. A row that cannot be written (a full disk,
// a size limit) is counted and reported at most once a minute; polling goes
// on, and the next row tries again. Each log "dev<addr>.txt", in the
// window's row format, is opened at its detector's first reply, rotated by
// size into dev<addr>.1.txt .. dev<addr>.<keep>.txt, and a log left by an
// earlier run joins that chain. A folder that does not work at start leaves
// the line without logs, said once.
class LineLogs {
public:
    static constexpr int ReportEveryMs = 60000;

    explicit LineLogs(const LineConfig &config);

    // Tries the folder; false when the line runs without logs.
    bool start();
    // One row for a good status reply.
    void write(const StatusSample &sample);

private:
    std::optional<Failure> writeRow(uint8_t address, const DeviceStatus &status);
    std::optional<Failure> openLog(DeviceLog &log, const QString &path);
    void noteFailure(const Failure &failure);
    void noteWritten();
    bool mayReport() const { return !reported.isValid() || reported.elapsed() >= ReportEveryMs; }
    QString logPath(uint8_t address) const;

    QString line;
    QString dir;
    long maxBytes;
    int keep;
    bool enabled = false;
    std::map<uint8_t, std::unique_ptr<DeviceLog>> logs; // DeviceLog holds an open file: not movable
    uint64_t lost = 0;     // rows not written since the last report
    bool failing = false;  // the last row failed, or a failure is not yet followed by a report of recovery
    QElapsedTimer reported; // the last line logged about the logs
};
