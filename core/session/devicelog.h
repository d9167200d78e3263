#pragma once
#include "link/failure.h"
#include <QString>
#include <QStringEncoder>
#include <QTime>
#include <cstdio>

// The text log of one listed device: a header line, then one row per shown
// status reply. Windows-1251, CR LF line ends. Every row is flushed as soon
// as it is written, so a reader sees it at once and nothing is lost if the
// program ends without closing. Other programs may read the file meanwhile.
// Each call that can fail returns its failure: FileAccess or FileIo with the
// file's path and the system's cause. A line that cannot be written whole is
// cut off again, so the file ends in whole rows. A name that is a symbolic
// link is never opened.
// A log file's failure, from the system's error number.
Failure logFileFailure(int error, const QString &path);

class DeviceLog {
public:
    static const QString Header; // 45 characters, without the line end

    // Whether the file at `path` holds rows: more than the header a log
    // starts with. A symbolic link never counts.
    static bool holdsRows(const QString &path);

    DeviceLog();
    ~DeviceLog(); // closes, ignoring errors
    DeviceLog(const DeviceLog &) = delete;
    DeviceLog &operator=(const DeviceLog &) = delete;

    // Creates the file and writes the header line. A log already open is
    // closed first. An earlier file that holds rows is first renamed to
    // "<name>-<yyyyMMdd-HHmmss>.txt" (its last change), so a reconnect never
    // destroys a night's log; a failed rename leaves it as it was.
    // On a failed header write the file is closed again.
    std::optional<Failure> open(const QString &path);
    // One row: the eight fields, each followed by two blanks, then CR LF.
    // A closed log takes no row: the window may close the logs while a
    // polling pass is still under way.
    std::optional<Failure> writeRow(const QString &time, int irSignal, int uvSignal, int dustSignal,
                                    int temperatureTenths, bool fire, bool fault, bool dust);
    // As above with the time of day in the system's long time format.
    std::optional<Failure> writeRow(QTime time, int irSignal, int uvSignal, int dustSignal,
                                    int temperatureTenths, bool fire, bool fault, bool dust);
    // Closes the file; closing a closed log does nothing. The log counts as
    // closed even when the close fails.
    std::optional<Failure> close();
    bool isOpen() const { return file != nullptr; }
    // Bytes in the file: the header and the whole rows written since open().
    long size() const { return wholeSize; }
    const QString &path() const { return filePath; }

private:
    std::optional<Failure> keepEarlierLog(const QString &path);
    std::optional<Failure> writeLine(const QString &line);

    std::FILE *file = nullptr;
    QString filePath;
    long wholeSize = 0; // bytes up to the end of the last whole line
    QStringEncoder encoder;
};
