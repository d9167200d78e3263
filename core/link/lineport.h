#pragma once
#include <QIODevice>
#include <QObject>
#include "link/failure.h"
#include <QString>
#include <optional>

// One end of a detector line: a local serial port or a socket to a serial
// device server. It moves bytes and does what its kind of line can (switch
// RTS, hold back wake-ups); the timing rules of the line are the channel's,
// the same for both.
class LinePort : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // True when the line is open now; false while a connect runs, which ends
    // in opened() or openFailed(); a failure when it cannot open at once.
    virtual Result<bool> open(const QString &name, qint32 baud) = 0;
    // An orderly close; a connect under way ends unreported.
    virtual void close() = 0;
    // The line failed: let it go without a word to it.
    virtual void closeLost() = 0;
    virtual bool isOpen() const = 0;
    virtual bool opening() const { return false; }

    virtual QIODevice &device() = 0;
    // A write that does not block: the bytes the kernel took now.
    virtual qint64 writeNow(const char *data, qint64 count) = 0;
    // Bytes received by the kernel and not yet read; 0 where unknown.
    virtual int waiting() const = 0;
    // Drops bytes in that no read waits for.
    virtual void dropInput() = 0;
    // Drops bytes both ways; false when the port refused.
    virtual bool purge() = 0;
    virtual bool setsLineSpeed() const { return false; }
    // False when the port refused the speed.
    virtual bool setBaudRate(qint32) { return true; }

    // RTS around a request, where this end must switch the line's direction.
    virtual bool switchesDirection() const { return false; }
    virtual void setSending(bool) {}
    // Whether the transmitter still holds bytes, asked only while the driver
    // can tell: nothing once it has shown it cannot.
    virtual bool asksTransmitter() const { return false; }
    virtual std::optional<bool> transmitterEmpty() { return std::nullopt; }

    // Wake-ups: the reader is woken only once `bytes` are in, and can stop
    // being watched while the rest of a reply is due. No-ops where the line
    // cannot (a socket).
    virtual bool holdsWakeUps() const { return false; }
    virtual int wakeThreshold() const { return 1; }
    virtual void setWakeThreshold(int) {}
    virtual void watch(bool) {}

signals:
    void opened();
    void openFailed(const Failure &failure);
    // Failed under way: the port has closed itself.
    void failed(const Failure &failure);
};
