#include "daemon/eventstore.h"
#include "daemon/heldmessages.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sqlite3.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {
// Marks the file as this queue's, so that another program's database in its
// place is set aside rather than written into.
constexpr int ApplicationId = 0x4b4c4d51; // "KLMQ"

const char *const Schema = "CREATE TABLE IF NOT EXISTS queue(seq INTEGER PRIMARY KEY, topic TEXT NOT NULL, "
                           "payload BLOB NOT NULL);"
                           "CREATE TABLE IF NOT EXISTS mark(id INTEGER PRIMARY KEY CHECK (id = 1), "
                           "last_seq INTEGER NOT NULL);";

QString stamp()
{
    return QDateTime::currentDateTime().toString(u"yyyyMMdd-HHmmss"_s);
}

// A file that is no database (empty, or a WAL whose database is gone) is
// never read as one: an empty file is a new queue, a WAL alone is set aside.
void setAsideStale(const QString &path, QStringList &notes)
{
    const QFileInfo file(path), wal(path + u"-wal"_s);
    const bool empty = file.exists() && file.size() == 0;
    if (empty)
        notes << u"%1 is empty (zero length): a new queue is started in it"_s.arg(path);
    if ((file.exists() && !empty) || !wal.exists())
        return;
    if (wal.size() == 0) {
        QFile::remove(wal.filePath());
        return;
    }
    const QString aside = wal.filePath() + u".without-db-"_s + stamp();
    if (QFile::rename(wal.filePath(), aside))
        notes << u"%1 has no database beside it: moved aside to %2"_s.arg(wal.filePath(), aside);
}
} // namespace

int64_t freshSeqBase()
{
    return QDateTime::currentMSecsSinceEpoch() * 1000;
}

QByteArray withSeq(int64_t seq, QByteArrayView payload)
{
    QByteArray out = "{\"seq\":" + QByteArray::number(qint64(seq));
    // Every payload here is a JSON object; "{}" has nothing to follow the seq.
    if (payload.size() > 2)
        out += ',' + payload.sliced(1).toByteArray();
    else
        out += '}';
    return out;
}

EventStore::EventStore(int64_t bound) : bound(bound) {}

EventStore::~EventStore()
{
    close();
}

int64_t EventStore::walShare(int64_t bound)
{
    return std::min<int64_t>(bound / 16, 16LL << 20);
}

void EventStore::close(bool checkpoint)
{
    for (sqlite3_stmt *st : {insert, remove, mark})
        sqlite3_finalize(st);
    insert = remove = mark = nullptr;
    if (db && !checkpoint)
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_close(db);
    db = nullptr;
    walPages = 0;
}

QString EventStore::error() const
{
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : u"out of memory"_s;
}

QString EventStore::exec(const char *sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? QString() : error();
}

int EventStore::query(const char *sql, QString *text) const
{
    sqlite3_stmt *st = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    if (rc == SQLITE_OK && (rc = sqlite3_step(st)) == SQLITE_ROW) {
        *text = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
        rc = SQLITE_OK;
    }
    sqlite3_finalize(st);
    return rc;
}

EventStore::Verdict EventStore::verdict(int rc, Opened &into) const
{
    into.problem = error();
    // Only what SQLite read and found wrong is damage; a lock, a full disk
    // or an I/O error says nothing about the file.
    return (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB ? Verdict::Damaged : Verdict::Kept;
}

EventStore::Opened EventStore::open(const QString &file, HeldMessages &into, int lockWaitMs)
{
    close();
    path = file;
    Opened result;
    const QString folder = QFileInfo(path).absolutePath();
    std::error_code made;
    std::filesystem::create_directories(std::filesystem::path(QFile::encodeName(folder).toStdString()), made);
    if (made) {
        result.problem = u"cannot create the folder %1: %2"_s.arg(folder, QString::fromLocal8Bit(made.message()));
        return result;
    }
    setAsideStale(path, result.notes);
    HeldMessages read;
    Verdict v = tryOpen(path, result, read, lockWaitMs);
    if (v == Verdict::Damaged) {
        close(false);
        // Kept for a look, never in the way of a start.
        const QString aside = path + u".damaged-"_s + stamp();
        if (!QFile::rename(path, aside)) {
            result.problem = u"%1 is damaged (%2) and cannot be moved aside"_s.arg(path, result.problem);
            return result;
        }
        QFile::rename(path + u"-wal"_s, aside + u"-wal"_s);
        QFile::remove(path + u"-shm"_s);
        result.notes << u"%1 is damaged (%2): moved aside to %3, a new queue is started"_s.arg(path, result.problem, aside);
        result = Opened{false, {}, 0, {}, result.notes};
        read = HeldMessages();
        v = tryOpen(path, result, read, lockWaitMs);
    }
    if (v != Verdict::Usable) {
        close();
        return result;
    }
    into.merge(std::move(read));
    result.usable = true;
    return result;
}

EventStore::Verdict EventStore::tryOpen(const QString &file, Opened &into, HeldMessages &messages, int lockWaitMs)
{
    int rc = sqlite3_open_v2(QFile::encodeName(file).constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr);
    if (rc != SQLITE_OK)
        return verdict(rc, into);
    sqlite3_busy_timeout(db, lockWaitMs);
    exec("PRAGMA locking_mode = EXCLUSIVE");
    QString appId, objects, mode, check;
    if ((rc = query("PRAGMA application_id", &appId)) != SQLITE_OK
        || (rc = query("SELECT count(*) FROM sqlite_schema", &objects)) != SQLITE_OK)
        return verdict(rc, into);
    const bool fresh = objects == "0"_L1;
    if (!fresh && appId.toInt() != ApplicationId) {
        into.problem = u"not a queue of kalmird"_s;
        return Verdict::Damaged;
    }
    if ((rc = query("PRAGMA journal_mode = WAL", &mode)) != SQLITE_OK)
        return verdict(rc, into);
    if (mode != "wal"_L1) {
        into.problem = u"WAL mode refused: "_s + error();
        return Verdict::Kept;
    }
    exec("PRAGMA synchronous = FULL");
    if (!fresh && (rc = query("PRAGMA quick_check", &check)) != SQLITE_OK)
        return verdict(rc, into);
    if (!fresh && check != "ok"_L1) {
        into.problem = check;
        return Verdict::Damaged;
    }
    if (fresh) {
        const QByteArray setUp = "BEGIN IMMEDIATE;PRAGMA application_id = " + QByteArray::number(ApplicationId) + ";"
                                 + Schema + "INSERT OR IGNORE INTO mark VALUES (1, "
                                 + QByteArray::number(qint64(freshSeqBase())) + ");COMMIT";
        if ((rc = sqlite3_exec(db, setUp.constData(), nullptr, nullptr, nullptr)) != SQLITE_OK) {
            const Verdict v = verdict(rc, into);
            exec("ROLLBACK");
            return v;
        }
    }
    return read(into, messages);
}

EventStore::Verdict EventStore::read(Opened &into, HeldMessages &messages)
{
    sqlite3_stmt *st = nullptr;
    int rc = sqlite3_prepare_v2(db, "SELECT seq, topic, payload FROM queue ORDER BY seq", -1, &st, nullptr);
    while (rc == SQLITE_OK && (rc = sqlite3_step(st)) == SQLITE_ROW) {
        const int64_t seq = sqlite3_column_int64(st, 0);
        const auto *topic = static_cast<const char *>(sqlite3_column_blob(st, 1));
        const auto *payload = static_cast<const char *>(sqlite3_column_blob(st, 2));
        if (!messages.append(seq, QByteArrayView(topic, sqlite3_column_bytes(st, 1)),
                             QByteArrayView(payload, sqlite3_column_bytes(st, 2))))
            into.leftOut.push_back(seq);
        into.lastSeq = seq;
        rc = SQLITE_OK;
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE)
        return verdict(rc, into);
    QString last;
    if ((rc = query("SELECT last_seq FROM mark", &last)) != SQLITE_OK)
        return verdict(rc, into);
    into.lastSeq = std::max<int64_t>(into.lastSeq, last.toLongLong());
    if (sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO queue VALUES (?, ?, ?)", -1, &insert, nullptr) != SQLITE_OK
        || sqlite3_prepare_v2(db, "DELETE FROM queue WHERE seq = ?", -1, &remove, nullptr) != SQLITE_OK
        || sqlite3_prepare_v2(db, "UPDATE mark SET last_seq = max(last_seq, ?)", -1, &mark, nullptr) != SQLITE_OK) {
        into.problem = u"not a queue of kalmird: "_s + error();
        return Verdict::Damaged;
    }
    QString pageSize;
    pageBytes = query("PRAGMA page_size", &pageSize) == SQLITE_OK ? pageSize.toLongLong() : 4096;
    struct stat st_;
    if (::stat(QFile::encodeName(path).constData(), &st_) == 0)
        device = st_.st_dev, inode = st_.st_ino;
    sqlite3_wal_hook(db, &EventStore::onWal, this);
    vacuumTried = false;
    return Verdict::Usable;
}

QString EventStore::replaced() const
{
    struct stat st;
    if (!db)
        return {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT ? u"was deleted"_s : QString();
    if (st.st_dev != device || st.st_ino != inode)
        return u"was replaced by another file"_s;
    // Never so for a file of ours: its header is written when it is made.
    return st.st_size == 0 ? u"was emptied (zero length)"_s : QString();
}

int EventStore::onWal(void *self, sqlite3 *, const char *, int pages)
{
    static_cast<EventStore *>(self)->walPages = pages;
    return SQLITE_OK;
}

QString EventStore::write(const std::vector<QueuedMessage> &added, const std::vector<int64_t> &removed,
                          int64_t lastSeq)
{
    if (!db)
        return u"no queue file"_s;
    if (QString e = exec("BEGIN IMMEDIATE"); !e.isEmpty())
        return e;
    const auto step = [this](sqlite3_stmt *st) {
        const int rc = sqlite3_step(st);
        sqlite3_reset(st);
        return rc == SQLITE_DONE;
    };
    bool ok = true;
    for (const int64_t seq : removed) {
        sqlite3_bind_int64(remove, 1, seq);
        ok = ok && step(remove);
    }
    for (const QueuedMessage &m : added) {
        sqlite3_bind_int64(insert, 1, m.seq);
        sqlite3_bind_text(insert, 2, m.topic.constData(), int(m.topic.size()), SQLITE_STATIC);
        sqlite3_bind_blob(insert, 3, m.payload.constData(), int(m.payload.size()), SQLITE_STATIC);
        ok = ok && step(insert);
    }
    sqlite3_bind_int64(mark, 1, lastSeq);
    ok = ok && step(mark);
    const QString e = ok ? exec("COMMIT") : error();
    if (!e.isEmpty()) {
        exec("ROLLBACK");
        return e;
    }
    keepWithinBound();
    return {};
}

// The WAL is cut back once it holds half its share; a file left larger than
// the bound (by a larger queue_max_mb before) is packed once.
void EventStore::keepWithinBound()
{
    const int64_t share = walShare(bound);
    // A frame of the WAL is a page and its 24-byte header.
    if (walPages * (pageBytes + 24) > share / 2 && exec("PRAGMA wal_checkpoint(TRUNCATE)").isEmpty())
        walPages = 0;
    QString pages, free;
    if (vacuumTried || query("PRAGMA page_count", &pages) != SQLITE_OK || query("PRAGMA freelist_count", &free) != SQLITE_OK)
        return;
    if (pages.toLongLong() * pageBytes > bound - share && free.toLongLong() * pageBytes > share) {
        vacuumTried = true;
        if (exec("VACUUM").isEmpty())
            exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
}
