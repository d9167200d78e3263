#pragma once
#include "daemon/eventstore.h"
#include "daemon/heldmessages.h"
#include <QHash>
#include <QObject>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <vector>

class MqttClient;

// The events and results on their way to the broker, kept on disk until the
// broker acknowledges them (QoS 1). Each gets a seq that only grows, across
// restarts too. A message is published once its commit is done; on every
// connection the whole queue goes out again, oldest first, a window of
// Window messages in flight at a time, so new ones follow the older ones.
//
// The commits run on a thread of their own: with synchronous = FULL each
// waits for the disk, and the lines' timing must not wait with it. The queue
// is held in memory as well (HeldMessages, bounded like the file), so the
// event loop never reads the file after the start, and what the file cannot
// take (a lock, a full disk, an I/O error, a file deleted under it) waits
// there, goes out at once, and is written when the file takes writes again.
class EventQueue : public QObject {
    Q_OBJECT
public:
    static constexpr int Window = 100;
    // A message's room besides its topic and payload, in the file and in
    // memory alike, so that maxBytes bounds both.
    static constexpr int RowOverhead = 32;
    // How long the start waits for another program's lock on the file.
    static constexpr int StartLockWaitMs = 2000;
    // A file that could not be opened or written is tried again this often.
    static constexpr int RetryMs = 1000;

    // path empty: kept in memory only. maxBytes: the bound of the file with
    // its WAL; the oldest messages go beyond it.
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
    // The messages' room as counted against the bound.
    int64_t bytes() const { return held.bytes() + int64_t(held.size()) * RowOverhead; }
    int64_t memory() const { return held.memory(); }
    int64_t lastSeq() const { return seq; }
    // Every message is committed to the file as it comes (false: held in
    // memory only, for want of a file or while it takes no writes).
    bool durable() const { return fileUsable; }
    // The drops since the last call.
    uint64_t takeDropped() { return std::exchange(droppedSince, 0); }
    // The drops since the start: results of commands, and events (the rest).
    uint64_t resultsDropped() const { return droppedResults; }
    uint64_t eventsDropped() const { return droppedTotal - droppedResults; }

signals:
    // Everything up to this seq is committed (for measurements).
    void committed(int64_t upTo);

private:
    // What the writer thread did with one batch.
    struct Synced {
        QString error;  // empty: committed
        QStringList notes;
        bool opened = false; // a file was opened (anew): what it held is in found
        std::shared_ptr<HeldMessages> found;
        EventStore::Opened opening;
    };
    struct Batch {
        std::vector<QueuedMessage> added;
        std::vector<int64_t> removed;
        int64_t upTo = 0;
        int64_t mark = 0;
    };
    void openAtStart();
    void takeOpened(HeldMessages &&found, const EventStore::Opened &opened);
    void dropOldest(bool logIt = true);
    void keepWithinBound(bool logEach);
    void drop(int64_t seq, const QString &topic, const QString &why);
    void pump();
    Batch nextBatch(size_t mostBytes);
    void flush();
    Synced sync(const Batch &batch); // on the writer thread
    void onSynced(const Batch &batch, const Synced &result);
    void onAcknowledged(int mid);
    void forget(int64_t seq);
    void settleWriter();

    MqttClient &client;
    const QString path;
    const int64_t maxBytes;
    const int64_t budget; // the messages' share of maxBytes, the WAL's taken off
    HeldMessages held;
    int64_t seq = 0;
    int64_t durableUpTo = 0; // messages up to here are committed (or held only) and may go out
    int64_t lastSent = 0;    // the pump goes on after this seq
    QHash<int, int64_t> inFlight; // message id -> seq
    QSet<int64_t> inFlightSeqs;
    uint64_t droppedSince = 0;
    uint64_t droppedTotal = 0;
    uint64_t droppedResults = 0;

    std::unique_ptr<EventStore> store; // used on the writer thread only, after the start
    QThread writer;
    QObject *inWriter = nullptr; // runs the commits on the writer thread
    bool fileUsable = false;
    int64_t writtenUpTo = 0; // every message up to here is in the file or handed to it
    std::vector<int64_t> removed; // in the file, done with: to be deleted there
    QTimer flushTimer; // one commit per turn of the event loop, however many came in it
    // Removals wait for the next new message's commit, or this long: one
    // lost to a crash only brings a duplicate, so it needs no commit of its own.
    static constexpr int RemovalDelayMs = 1000;
    QTimer removalTimer;
    QTimer retryTimer;
    bool writing = false;
    QString lastError;
};
