#include "daemon/log.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// What waits for a slow reader. Beyond it whole lines are dropped: a reader
// that stalls (a busy journal) must cost the watch neither its loop nor its
// memory.
constexpr qsizetype Capacity = 64 * 1024;
// Held back from the other lines so that the dropped count always fits.
constexpr qsizetype NoteRoom = 128;
// Once lines are dropped, the next goes in only when the reader has taken
// this much: a reader that takes a line now and then would otherwise get
// every other line and a count between each two.
constexpr qsizetype ResumeAt = Capacity / 2;
// A line may carry what a client sent: a longer one is cut.
constexpr qsizetype LongestLine = 4096;
// At exit the reader is waited for as long as it takes something within this time.
constexpr int ExitPatienceMs = 5000;

// Where the lines go, written so that a write never waits. O_NONBLOCK set
// on descriptor 2 itself would change the open file it shares with the
// shell's terminal or with whoever started us, who would then meet EAGAIN
// in turn; so a pipe or a terminal is opened anew through /proc, which gives
// an open file of our own, and a socket (the journal's stream) is written
// with MSG_DONTWAIT, which holds for the one call. A regular file does not
// wait for a reader. Where /proc cannot be used, the plain write is all
// there is.
struct Sink {
    int fd = STDERR_FILENO;
    bool socket = false;
};

Sink openSink()
{
    struct stat st{};
    if (::fstat(STDERR_FILENO, &st) != 0)
        return {};
    if (S_ISSOCK(st.st_mode))
        return {STDERR_FILENO, true};
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))
        if (const int fd = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY); fd >= 0)
            return {fd, false};
    return {};
}

class StderrLog {
public:
    ~StderrLog() { flush(); }

    void add(const QByteArray &line)
    {
        const std::lock_guard lock(mutex);
        if ((unsaid > 0 && !resume()) || !enqueue(line, Capacity - NoteRoom))
            drop(1);
        if (!pending.isEmpty())
            arm(); // it may have waited since before the application was made
    }

    uint64_t dropped()
    {
        const std::lock_guard lock(mutex);
        return droppedTotal;
    }

    void flush()
    {
        const std::lock_guard lock(mutex);
        if (unsaid > 0) {
            pending += note();
            unsaid = 0;
        }
        for (;;) {
            drain();
            if (pending.isEmpty())
                break;
            pollfd p{sink.fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, ExitPatienceMs);
            if (ready == 0 || (ready < 0 && errno != EINTR))
                break;
        }
        if (notifier && QThread::currentThread() == notifier->thread())
            notifier->setEnabled(false);
    }

private:
    // Bytes written; 0 when the reader has no room now, -1 when it is gone.
    qsizetype put(const char *bytes, qsizetype size) const
    {
        for (;;) {
            const ssize_t n = sink.socket ? ::send(sink.fd, bytes, size_t(size), MSG_DONTWAIT | MSG_NOSIGNAL)
                                          : ::write(sink.fd, bytes, size_t(size));
            if (n >= 0)
                return n;
            if (errno != EINTR)
                return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        }
    }

    // Writes what it can at once when nothing waits, else queues the bytes
    // if they fit under `limit`; false when they are dropped.
    bool enqueue(const QByteArray &bytes, qsizetype limit)
    {
        if (!pending.isEmpty()) {
            if (pending.size() + bytes.size() > limit)
                return false;
            pending += bytes;
            return true;
        }
        const qsizetype n = put(bytes.constData(), bytes.size());
        if (n < 0)
            return false;
        if (n < bytes.size()) {
            pending = bytes.mid(n);
            arm();
        }
        return true;
    }

    void drain()
    {
        while (!pending.isEmpty()) {
            const qsizetype n = put(pending.constData(), pending.size());
            if (n == 0)
                return;
            if (n < 0) {
                drop(uint64_t(pending.count('\n')));
                pending.clear();
                return;
            }
            pending.remove(0, n);
        }
    }

    // Queues the count of the lines dropped, once there is room again.
    bool resume()
    {
        if (pending.size() > ResumeAt || !enqueue(note(), Capacity))
            return false;
        unsaid = 0;
        return true;
    }

    void drop(uint64_t lines)
    {
        droppedTotal += lines;
        unsaid += lines;
    }

    QByteArray note() const
    {
        return "kalmird: log: " + QByteArray::number(unsaid) + " line(s) dropped, stderr was not read in time\n";
    }

    void onWritable()
    {
        const std::lock_guard lock(mutex);
        drain();
        if (unsaid > 0)
            resume();
        if (pending.isEmpty() && notifier)
            notifier->setEnabled(false);
    }

    // Asks the event loop to say when the reader has room. Without one yet,
    // the next line or the exit writes what waits.
    void arm()
    {
        if (notifier && notifier->isEnabled())
            return;
        QCoreApplication *app = QCoreApplication::instance();
        if (!app)
            return;
        if (QThread::currentThread() != app->thread()) {
            QMetaObject::invokeMethod(
                app,
                [this] {
                    const std::lock_guard lock(mutex);
                    if (!pending.isEmpty())
                        arm();
                },
                Qt::QueuedConnection);
            return;
        }
        if (!notifier) {
            notifier = new QSocketNotifier(sink.fd, QSocketNotifier::Write, app);
            QObject::connect(notifier, &QSocketNotifier::activated, notifier, [this] { onWritable(); });
        }
        notifier->setEnabled(true);
    }

    // Recursive: a warning from Qt while the notifier is made comes back here.
    std::recursive_mutex mutex;
    const Sink sink = openSink();
    QByteArray pending; // bytes the reader has not taken, whole lines but for the first
    uint64_t droppedTotal = 0;
    uint64_t unsaid = 0;                // dropped since the last count written
    QPointer<QSocketNotifier> notifier; // a child of the application: gone with it
};

// Made at the first line, and flushed when the program ends.
StderrLog &theLog()
{
    static StderrLog log;
    return log;
}
} // namespace

void logEvent(const QString &text)
{
    QByteArray line = "kalmird: " + text.toUtf8();
    if (line.size() > LongestLine) {
        qsizetype end = LongestLine;
        while (end > 0 && (uchar(line[end]) & 0xC0) == 0x80) // not inside a character
            --end;
        line.truncate(end);
        line += " [cut]";
    }
    line += '\n';
    theLog().add(line);
}

uint64_t logLinesDropped()
{
    return theLog().dropped();
}

void flushLog()
{
    theLog().flush();
}
