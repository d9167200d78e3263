#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// One event or result on its way to the broker.
struct QueuedMessage {
    int64_t seq = 0;
    QString topic;
    QByteArray payload; // without seq: it is added when published
};

// The file under the queue: SQLite in WAL mode with synchronous = FULL, so a
// committed message outlives a crash or a power cut. One connection, used by
// one thread at a time.
class EventStore {
public:
    EventStore() = default;
    ~EventStore();
    EventStore(const EventStore &) = delete;
    EventStore &operator=(const EventStore &) = delete;

    struct Opened {
        bool usable = false;
        std::vector<QueuedMessage> messages; // oldest first
        int64_t lastSeq = 0;                 // the highest seq ever given out with this file
        QStringList notes;                   // log lines: a file set aside, why nothing is usable
    };
    // Opens or creates the file. One that is damaged or not ours is moved
    // aside and a new one started; when even that fails the result is not
    // usable and the notes say why.
    Opened open(const QString &path);
    bool isOpen() const { return db != nullptr; }

    // One transaction: the new messages, the ones done with, and the seq
    // mark. Returns the error text, empty when committed.
    QString write(const std::vector<QueuedMessage> &added, const std::vector<int64_t> &removed, int64_t lastSeq);

private:
    QString tryOpen(const QString &path, Opened &into);
    QString exec(const char *sql);
    QString error() const;
    void close();

    sqlite3 *db = nullptr;
    sqlite3_stmt *insert = nullptr;
    sqlite3_stmt *remove = nullptr;
    sqlite3_stmt *mark = nullptr;
};

// A new file's first seq: the clock's microseconds, so that seq still grows
// past the seqs of a file that was set aside or lost.
int64_t freshSeqBase();
// The payload as published: {"seq":N, ...the rest of the object}.
QByteArray withSeq(int64_t seq, const QByteArray &payload);
