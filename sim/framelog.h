#pragma once
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QString>

// One entry of the wire log.
struct SimFrame {
    enum Direction {
        Received,  // a request with a good CRC, from the master
        Sent,      // a reply as it went on the line (faults included)
        Discarded, // bytes from the master that made no request
    };
    double time = 0; // seconds since the log began
    Direction direction = Received;
    QByteArray bytes;
    // In wire-time mode: when the first character began and the last one
    // ended on the line, in seconds on the same clock; -1 otherwise.
    double firstChar = -1;
    double lastChar = -1;
};

// Every frame on the line, in memory and, when a file is set, as text lines
// "12.345 RX 01 03 00 01 00 18 14 00" (RX, TX, or JUNK for discarded bytes),
// each flushed as it is written; in wire-time mode the time is the span the
// frame took on the line, "12.2783-12.3450 RX ...". Memory keeps the latest frames, MaxEntries
// unless setKeep() says otherwise.
class FrameLog {
public:
    static constexpr int MaxEntries = 100000;

    FrameLog() { clock.start(); }

    // `firstMs`/`lastMs`: the frame's wire span in ms on the log's clock, if known.
    const SimFrame &add(SimFrame::Direction direction, const QByteArray &bytes, double firstMs = -1,
                        double lastMs = -1);
    // Shares another clock, so that wire times and log times agree.
    void setClock(const QElapsedTimer &c) { clock = c; }
    QList<SimFrame> frames() const { return entries; }
    void clear() { entries.clear(); }
    // How many of the latest frames memory keeps (MaxEntries unless told).
    void setKeep(int frames);

    // Appends to `path`; an empty path stops writing. False if it cannot open.
    bool setFile(const QString &path);
    QString errorString() const { return file.errorString(); }

    static QString formatLine(const SimFrame &frame);

private:
    QElapsedTimer clock;
    QList<SimFrame> entries;
    int keep = MaxEntries;
    QFile file;
};
