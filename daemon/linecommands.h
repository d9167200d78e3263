#pragma once
#include "daemon/remotecommands.h"
#include "session/commandjob.h"
#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <deque>
#include <optional>
#include <set>

class Session;

// The commands a broker sent to the detectors of one line: at most Capacity
// in all, first in first out per detector, one on the wire at a time. The
// polling cycle asks for one as each pass starts; a pass to a detector
// takes its oldest, whatever waits for other detectors, and never two passes
// to the same detector in a row, so its status is still read between them.
// Each gets exactly one answer: the outcome of its exchange, an error when
// the line fails under it, or "expired" when it has not gone out within the
// line's time-out (it is then never sent). Waiting ones wait while the line
// is away, up to that time-out.
class LineCommands : public QObject {
    Q_OBJECT
public:
    static constexpr int Capacity = 100;

    LineCommands(Session &session, std::chrono::seconds timeout, QObject *parent = nullptr);

    // Queues an accepted command; false when the queue is full.
    bool enqueue(uint8_t address, const RemoteDecision &command);
    int waiting() const { return int(queue.size()) + (inFlight ? 1 : 0); }
    // Answers every command not yet answered (the service stops): the one
    // whose request has gone to the line, and those that wait.
    void dropAll(const QString &sentReason, const QString &waitingReason);

signals:
    void answered(uint8_t address, const RemoteDecision &command, bool ok, const QString &error);

private:
    struct Item {
        uint8_t address;
        RemoteDecision command;
        QDeadlineTimer expires;
        uint32_t serial = 0; // set when it goes out
    };

    std::optional<CommandJob> commandFor(uint8_t address);
    void onDone(const CommandResult &result);
    void failInFlight(const QString &reason, bool ok = false);
    void expire();

    Session &session;
    const std::chrono::seconds timeout;
    std::deque<Item> queue;   // in arrival order, so the first expires first
    std::optional<Item> inFlight;
    uint32_t serials = 0;
    std::set<uint8_t> statusDue; // detectors whose last pass carried a command
    QTimer expiry;               // due when the first waiting command expires
};
