#pragma once
#include "daemon/eventstore.h"
#include <QHash>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class MqttClient;

// The events and results on their way to the broker, kept on disk until the
// broker acknowledges them (QoS 1). Each gets a seq that only grows, across
// restarts too. A message is published only once its commit is done; on
// every connection the whole queue goes out again, oldest first, a window of
// Window messages in flight at a time, so new ones follow the older ones.
//
// The commits run on a thread of their own: with synchronous = FULL each
// waits for the disk, and the lines' timing must not wait with it. A copy of
// the queue is kept in memory (bounded like the file), so the event loop
// never reads the file after the start.
class EventQueue : public QObject {
    Q_OBJECT
public:
    static constexpr int Window = 100;
    // A row's room in the file besides its topic and payload (the b-tree's
    // cell and page share), so that maxBytes bounds the file itself.
    static constexpr int RowOverhead = 24;

    // path empty: kept in memory only. maxBytes: the oldest go beyond it.
    EventQueue(MqttClient &client, const QString &path, int64_t maxBytes, QObject *parent = nullptr);
    ~EventQueue() override;

    // Queues one message (not retained, QoS 1) and returns its seq.
    int64_t add(const QString &topic, const QByteArray &payload);
    // Publishes the queue anew from its oldest message: called on every connection.
    void resend();
    // Commits what waits for its commit, on this thread, and publishes it:
    // at a stop, which then waits for the broker's acknowledgements.
    void commitNow();

    size_t size() const { return held.size(); }
    int64_t bytes() const { return heldBytes; }
    int64_t lastSeq() const { return seq; }
    bool onDisk() const { return store != nullptr; }
    // The drops since the last call.
    uint64_t takeDropped() { return std::exchange(droppedSince, 0); }
    // The drops since the start: results of commands, and events (the rest).
    uint64_t resultsDropped() const { return droppedResults; }
    uint64_t eventsDropped() const { return droppedTotal - droppedResults; }

signals:
    // Everything up to this seq is committed (for measurements).
    void committed(int64_t upTo);

private:
    struct Entry {
        QString topic;
        QByteArray payload;
        int64_t size() const { return topic.size() + payload.size() + RowOverhead; }
    };
    void load(const QString &path);
    void dropOldest();
    void pump();
    void flush();
    void onWritten(int64_t upTo, const QString &error);
    void onAcknowledged(int mid);

    MqttClient &client;
    int64_t maxBytes;
    std::map<int64_t, Entry> held; // by seq
    int64_t heldBytes = 0;
    int64_t seq = 0;
    int64_t durableUpTo = 0; // messages up to here are committed and may go out
    int64_t lastSent = 0;    // the pump goes on after this seq
    QHash<int, int64_t> inFlight; // message id -> seq
    uint64_t droppedSince = 0;
    uint64_t droppedTotal = 0;
    uint64_t droppedResults = 0;

    std::unique_ptr<EventStore> store; // used on the writer thread only, after the start
    QThread writer;
    QObject *inWriter = nullptr; // runs the commits on the writer thread
    std::vector<QueuedMessage> added;
    std::vector<int64_t> removed;
    QTimer flushTimer; // one commit per turn of the event loop, however many came in it
    // Removals wait for the next new message's commit, or this long: one
    // lost to a crash only brings a duplicate, so it needs no commit of its own.
    static constexpr int RemovalDelayMs = 1000;
    QTimer removalTimer;
    bool writing = false;
    QString lastError;
};
