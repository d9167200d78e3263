#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <sys/types.h>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
class HeldMessages;

// One event or result on its way to the file.
struct QueuedMessage {
    int64_t seq = 0;
    QByteArray topic;   // UTF-8
    QByteArray payload; // without seq: it is added when published
};

// The file under the queue: SQLite in WAL mode with synchronous = FULL, so a
// committed message outlives a crash or a power cut. kalmird holds the file
// for itself while it runs (locking_mode = EXCLUSIVE): its WAL index is kept
// in memory rather than in a -shm file, so the file is read on a full disk
// too. One connection, used by one thread at a time.
class EventStore {
public:
    // bound: queue_max_mb in bytes. Its WalShare is the WAL's: beyond half of
    // that the WAL is checkpointed and cut back, so the files stay within it.
    explicit EventStore(int64_t bound = 64LL << 20);
    ~EventStore();
    EventStore(const EventStore &) = delete;
    EventStore &operator=(const EventStore &) = delete;

    static int64_t walShare(int64_t bound);

    struct Opened {
        bool usable = false;            // read, and ready for commits
        QString problem;                // why not (the file is kept): SQLite's or the system's words
        int64_t lastSeq = 0;            // the highest seq ever given out with this file
        std::vector<int64_t> leftOut;   // rows that cannot be sent (a topic beyond MQTT's limit)
        QStringList notes;              // log lines: a file set aside, an empty one taken as new
    };
    // Opens or creates the file and reads what waits in it into `into`,
    // waiting up to lockWaitMs for another program's lock. A file that is
    // damaged (SQLite finds it corrupt or no database, or its quick check
    // fails) or that is not kalmird's is moved aside and a new one started.
    // Anything else (a lock, a full disk, an I/O error, a folder that cannot
    // be made) keeps the file: the result is not usable and says why.
    Opened open(const QString &path, HeldMessages &into, int lockWaitMs);
    bool isOpen() const { return db != nullptr; }
    // What became of the file at the path since it was opened ("was
    // deleted"); empty while it is still the file open.
    QString replaced() const;
    // Closes; without the checkpoint when the file is no longer there.
    void close(bool checkpoint = true);

    // One transaction: the messages done with, the new ones, and the seq
    // mark. Returns the error text, empty when committed.
    QString write(const std::vector<QueuedMessage> &added, const std::vector<int64_t> &removed, int64_t lastSeq);

private:
    enum class Verdict { Usable, Damaged, Kept };
    Verdict tryOpen(const QString &path, Opened &into, HeldMessages &messages, int lockWaitMs);
    Verdict read(Opened &into, HeldMessages &messages);
    Verdict verdict(int rc, Opened &into) const;
    int query(const char *sql, QString *text) const;
    QString exec(const char *sql);
    QString error() const;
    void keepWithinBound();
    static int onWal(void *self, sqlite3 *, const char *, int pages);

    int64_t bound;
    QString path;
    dev_t device = 0;
    ino_t inode = 0;
    int64_t walPages = 0;
    int64_t pageBytes = 4096;
    bool vacuumTried = false;
    sqlite3 *db = nullptr;
    sqlite3_stmt *insert = nullptr;
    sqlite3_stmt *remove = nullptr;
    sqlite3_stmt *mark = nullptr;
};

// A new file's first seq: the clock's microseconds, so that seq still grows
// past the seqs of a file that was set aside or lost.
int64_t freshSeqBase();
// The payload as published: {"seq":N, ...the rest of the object}.
QByteArray withSeq(int64_t seq, QByteArrayView payload);
