#pragma once
#include "daemon/remotecommands.h"
#include "session/commstats.h"
#include <QObject>
#include <deque>
#include <optional>
#include <set>

class Session;

// The commands a broker sent to the detectors of one line: at most Capacity,
// first in first out, one at a time. Each is put into the core's command slot
// as the pass to its detector starts, and never into two passes to the same
// detector in a row, so its status is still read between them. Each gets
// exactly one answer: the outcome of its exchange, or an error when the line
// fails under it. Waiting ones wait while the line is away.
class LineCommands : public QObject {
    Q_OBJECT
public:
    static constexpr int Capacity = 100;

    explicit LineCommands(Session &session, QObject *parent = nullptr);

    // Queues an accepted command; false when the queue is full.
    bool enqueue(uint8_t address, const RemoteDecision &command);
    int waiting() const { return int(queue.size()) + (inFlight ? 1 : 0); }
    // Answers every command not yet answered with this error (the service stops).
    void dropAll(const QString &reason);

signals:
    void answered(uint8_t address, const RemoteDecision &command, bool ok, const QString &error);

private:
    struct Item {
        uint8_t address;
        RemoteDecision command;
    };

    void onPassStarted();
    void onExchangeEnded(uint8_t address, ExchangeOutcome outcome);
    void failInFlight(const QString &reason);

    Session &session;
    RemoteValueSource values; // the value of the command in flight, for the core's builder
    std::deque<Item> queue;
    std::optional<Item> inFlight;
    std::set<uint8_t> statusDue; // detectors whose last pass carried a command
};
