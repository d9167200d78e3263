#include "daemon/eventstore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <sqlite3.h>

using namespace Qt::StringLiterals;

namespace {
// Marks the file as this queue's, so that another program's database in its
// place is set aside rather than written into.
constexpr int ApplicationId = 0x4b4c4d51; // "KLMQ"

const char *const Schema = "CREATE TABLE IF NOT EXISTS queue(seq INTEGER PRIMARY KEY, topic TEXT NOT NULL, "
                           "payload BLOB NOT NULL);"
                           "CREATE TABLE IF NOT EXISTS mark(id INTEGER PRIMARY KEY CHECK (id = 1), "
                           "last_seq INTEGER NOT NULL);";

QString pragmaText(sqlite3 *db, const char *sql)
{
    sqlite3_stmt *st = nullptr;
    QString text;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
        text = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    return text;
}
} // namespace

int64_t freshSeqBase()
{
    return QDateTime::currentMSecsSinceEpoch() * 1000;
}

QByteArray withSeq(int64_t seq, const QByteArray &payload)
{
    QByteArray out = "{\"seq\":" + QByteArray::number(qint64(seq));
    // Every payload here is a JSON object; "{}" has nothing to follow the seq.
    if (payload.size() > 2)
        out += ',' + payload.mid(1);
    else
        out += '}';
    return out;
}

EventStore::~EventStore()
{
    close();
}

void EventStore::close()
{
    for (sqlite3_stmt *st : {insert, remove, mark})
        sqlite3_finalize(st);
    insert = remove = mark = nullptr;
    sqlite3_close(db);
    db = nullptr;
}

QString EventStore::error() const
{
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : u"out of memory"_s;
}

QString EventStore::exec(const char *sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? QString() : error();
}

EventStore::Opened EventStore::open(const QString &path)
{
    Opened result;
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        result.notes << u"cannot create the folder %1"_s.arg(folder);
        return result;
    }
    const QString why = tryOpen(path, result);
    if (why.isEmpty())
        return result;
    close();
    if (QFileInfo::exists(path)) {
        // Damaged or not ours: kept for a look, never in the way of a start.
        const QString aside = path + u".damaged-"_s + QDateTime::currentDateTime().toString(u"yyyyMMdd-HHmmss"_s);
        const bool moved = QFile::rename(path, aside);
        QFile::rename(path + u"-wal"_s, aside + u"-wal"_s);
        QFile::remove(path + u"-shm"_s);
        result.notes << (moved ? u"%1 is damaged (%2): moved aside to %3, a new queue is started"_s.arg(path, why, aside)
                               : u"%1 is damaged (%2) and cannot be moved aside"_s.arg(path, why));
        if (!moved)
            return result;
    }
    result.messages.clear();
    const QString again = tryOpen(path, result);
    if (!again.isEmpty()) {
        close();
        result.notes << u"cannot use %1: %2"_s.arg(path, again);
    }
    return result;
}

QString EventStore::tryOpen(const QString &path, Opened &into)
{
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr)
        != SQLITE_OK)
        return error();
    sqlite3_busy_timeout(db, 1000);
    const QString appId = pragmaText(db, "PRAGMA application_id");
    if (appId.isEmpty())
        return error();
    const bool fresh = pragmaText(db, "SELECT count(*) FROM sqlite_schema") == "0"_L1;
    if (!fresh && appId.toInt() != ApplicationId)
        return u"not a queue of kalmird"_s;
    if (pragmaText(db, "PRAGMA journal_mode = WAL") != "wal"_L1)
        return u"WAL mode refused: "_s + error();
    QString e = exec("PRAGMA synchronous = FULL");
    if (e.isEmpty() && !fresh) {
        const QString check = pragmaText(db, "PRAGMA quick_check");
        e = check == "ok"_L1 ? QString() : (check.isEmpty() ? error() : check);
    }
    if (e.isEmpty())
        e = exec(QByteArray("BEGIN IMMEDIATE;PRAGMA application_id = " + QByteArray::number(ApplicationId) + ";"
                            + Schema + "INSERT OR IGNORE INTO mark VALUES (1, "
                            + QByteArray::number(qint64(freshSeqBase())) + ");COMMIT")
                     .constData());
    if (!e.isEmpty())
        return e;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT seq, topic, payload FROM queue ORDER BY seq", -1, &st, nullptr) != SQLITE_OK)
        return error();
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        into.messages.push_back({sqlite3_column_int64(st, 0),
                                 QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 1))),
                                 QByteArray(static_cast<const char *>(sqlite3_column_blob(st, 2)),
                                            sqlite3_column_bytes(st, 2))});
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE)
        return error();
    into.lastSeq = pragmaText(db, "SELECT last_seq FROM mark").toLongLong();
    if (!into.messages.empty())
        into.lastSeq = std::max(into.lastSeq, into.messages.back().seq);
    if (sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO queue VALUES (?, ?, ?)", -1, &insert, nullptr) != SQLITE_OK
        || sqlite3_prepare_v2(db, "DELETE FROM queue WHERE seq = ?", -1, &remove, nullptr) != SQLITE_OK
        || sqlite3_prepare_v2(db, "UPDATE mark SET last_seq = max(last_seq, ?)", -1, &mark, nullptr) != SQLITE_OK)
        return error();
    into.usable = true;
    return {};
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
    for (const QueuedMessage &m : added) {
        const QByteArray topic = m.topic.toUtf8();
        sqlite3_bind_int64(insert, 1, m.seq);
        sqlite3_bind_text(insert, 2, topic.constData(), int(topic.size()), SQLITE_TRANSIENT);
        sqlite3_bind_blob(insert, 3, m.payload.constData(), int(m.payload.size()), SQLITE_TRANSIENT);
        ok = ok && step(insert);
    }
    for (const int64_t seq : removed) {
        sqlite3_bind_int64(remove, 1, seq);
        ok = ok && step(remove);
    }
    sqlite3_bind_int64(mark, 1, lastSeq);
    ok = ok && step(mark);
    const QString e = ok ? exec("COMMIT") : error();
    if (!e.isEmpty())
        exec("ROLLBACK");
    return e;
}
