#include "daemon/logthrottle.h"
#include "daemon/log.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <algorithm>
#include <cmath>

namespace {
// The key of the lines beyond MaxKeys: no kind or address holds a line feed.
const QString Overflow = QStringLiteral("\n");
} // namespace

LogThrottle::LogThrottle(QObject *parent) : QObject(parent)
{
    clock.start();
    tick.setSingleShot(true);
    connect(&tick, &QTimer::timeout, this, &LogThrottle::tell);
}

LogThrottle::~LogThrottle()
{
    const qint64 now = clock.elapsed();
    for (const Entry &e : std::as_const(entries))
        if (e.more > 0)
            logEvent(summary(e, now));
}

void LogThrottle::log(const QString &kind, const QString &address, const QString &line)
{
    QString key = kind + u'\n' + address;
    auto it = entries.find(key);
    if (it == entries.end() && entries.size() >= MaxKeys) {
        key = Overflow;
        it = entries.find(key);
    }
    if (it != entries.end()) {
        ++it->more;
        return;
    }
    logEvent(line);
    entries.insert(key,
                   Entry{clock.elapsed(), 0, key == Overflow ? line + QStringLiteral(" (and other addresses)") : line});
    // Any other key is due no later than this one.
    if (!tick.isActive())
        tick.start(WindowMs);
}

// Tells the counts of the keys whose second is over, and frees those that had none.
void LogThrottle::tell()
{
    const qint64 now = clock.elapsed();
    qint64 next = -1;
    for (auto it = entries.begin(); it != entries.end();) {
        Entry &e = it.value();
        if (now - e.sinceMs < WindowMs) {
            next = next < 0 ? e.sinceMs + WindowMs : std::min(next, e.sinceMs + WindowMs);
            ++it;
            continue;
        }
        if (e.more == 0) {
            it = entries.erase(it);
            continue;
        }
        logEvent(summary(e, now));
        e.sinceMs = now;
        e.more = 0;
        next = next < 0 ? now + WindowMs : std::min(next, now + WindowMs);
        ++it;
    }
    if (next >= 0)
        tick.start(int(std::max<qint64>(0, next - now)));
}

QString LogThrottle::summary(const Entry &e, qint64 nowMs) const
{
    const qint64 seconds = std::max<qint64>(1, std::llround(double(nowMs - e.sinceMs) / 1000.0));
    return QStringLiteral("%1: %2 more like this in the last %3 s").arg(e.first).arg(e.more).arg(seconds);
}

void logThrottled(const QString &kind, const QString &address, const QString &line)
{
    static QPointer<LogThrottle> throttle;
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        logEvent(line);
        return;
    }
    if (!throttle)
        throttle = new LogThrottle(app);
    throttle->log(kind, address, line);
}
