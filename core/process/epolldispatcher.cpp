#include "process/epolldispatcher.h"
#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdint>
#include <ctime>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {
int checked(int n)
{
    if (n < 0 && errno != EINTR)
        qFatal("EpollDispatcher: epoll wait failed: %s", strerror(errno));
    return n;
}

long long nowNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

constexpr long long NsPerMs = 1000000;
constexpr int MaxEventsPerTurn = 64; // the rest stay ready for the next turn
} // namespace

EpollDispatcher::EpollDispatcher()
{
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epollFd >= 0 && wakeFd >= 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = wakeFd;
        ::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &ev);
    }
}

EpollDispatcher::~EpollDispatcher()
{
    if (wakeFd >= 0)
        ::close(wakeFd);
    if (epollFd >= 0)
        ::close(epollFd);
}

bool EpollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    interrupted.store(false, std::memory_order_relaxed);
    emit awake();
    QCoreApplication::sendPostedEvents();

    // A posted event that arrives from here on writes the wake-up descriptor,
    // so the wait below cannot sleep through it.
    const bool canWait = (flags & QEventLoop::WaitForMoreEvents) && !interrupted.load(std::memory_order_relaxed);
    if (canWait)
        emit aboutToBlock();
    if (interrupted.load(std::memory_order_relaxed))
        return false;

    const bool withTimers = !(flags & QEventLoop::X11ExcludeTimers);
    epoll_event events[MaxEventsPerTurn];
    const int n = std::max(wait(events, waitNs(canWait, withTimers)), 0);

    int handled = 0;
    if (!(flags & QEventLoop::ExcludeSocketNotifiers)) {
        handled += activateNotifiers(events, n);
    } else {
        // Left ready, the descriptors wake the next turn again: a loop that
        // excludes them should not also wait for more events.
        for (int i = 0; i < n; ++i)
            if (events[i].data.fd == wakeFd)
                drainWakeUps();
    }
    if (withTimers)
        handled += activateTimers();
    return handled > 0;
}

// Waits up to `ns` nanoseconds (-1: no limit) for the descriptors; the
// number of events, or -1 when interrupted by a signal.
int EpollDispatcher::wait(epoll_event *events, long long ns)
{
    int n;
    if (fineWait) {
        timespec timeout{time_t(ns / 1000000000LL), long(ns % 1000000000LL)};
        n = ::epoll_pwait2(epollFd, events, MaxEventsPerTurn, ns >= 0 ? &timeout : nullptr, nullptr);
        if (n >= 0 || errno != ENOSYS)
            return checked(n);
        fineWait = false; // a kernel before 5.11
    }
    const int ms = ns < 0 ? -1 : int(std::min<long long>((ns + NsPerMs - 1) / NsPerMs, INT_MAX));
    return checked(::epoll_wait(epollFd, events, MaxEventsPerTurn, ms));
}

// -1: no limit; otherwise the nanoseconds until the earliest timer is due
// (0 when one is due now, when the caller must not wait, or when a regular
// file is watched, which is always ready).
long long EpollDispatcher::waitNs(bool canWait, bool withTimers) const
{
    if (!canWait || alwaysReadyCount > 0)
        return 0;
    if (timers.empty() || !withTimers)
        return -1;
    long long earliest = timers.front().dueNs;
    for (const Timer &t : timers)
        earliest = std::min(earliest, t.dueNs);
    return std::max(0LL, earliest - nowNs());
}

void EpollDispatcher::drainWakeUps()
{
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t r = ::read(wakeFd, &count, sizeof count);
    // Cleared after the read: a wake-up between the two costs one more turn,
    // never a missed one (its event was posted before it, and the next turn
    // sends the posted events first).
    wakeUpSent.store(false, std::memory_order_release);
}

int EpollDispatcher::activateNotifiers(const epoll_event *events, int count)
{
    // Which notifiers to call is settled first; each is looked up again just
    // before its call, since an earlier one may disable or delete it.
    struct Due {
        int fd;
        QSocketNotifier::Type type;
    };
    std::vector<Due> due;
    due.reserve(size_t(count) * 2 + size_t(alwaysReadyCount));
    for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        const uint32_t ev = events[i].events;
        if (fd == wakeFd) {
            drainWakeUps();
            continue;
        }
        const auto it = watches.find(fd);
        if (it == watches.end())
            continue;
        // As poll() is read by Qt: a hang-up or an error wakes the reader,
        // and the writer too when there is no reader to meet it.
        const Watch &w = it->second;
        if (w.read && (ev & (EPOLLIN | EPOLLHUP | EPOLLERR)))
            due.push_back({fd, QSocketNotifier::Read});
        if (w.write && ((ev & (EPOLLOUT | EPOLLERR)) || (!w.read && (ev & EPOLLHUP))))
            due.push_back({fd, QSocketNotifier::Write});
        if (w.exception && (ev & EPOLLPRI))
            due.push_back({fd, QSocketNotifier::Exception});
    }
    if (alwaysReadyCount > 0)
        for (const auto &[fd, w] : watches)
            if (w.alwaysReady) {
                if (w.read)
                    due.push_back({fd, QSocketNotifier::Read});
                if (w.write)
                    due.push_back({fd, QSocketNotifier::Write});
            }

    int activated = 0;
    for (const Due &d : due) {
        const auto it = watches.find(d.fd);
        if (it == watches.end())
            continue;
        QSocketNotifier *n = d.type == QSocketNotifier::Read    ? it->second.read
                             : d.type == QSocketNotifier::Write ? it->second.write
                                                                : it->second.exception;
        if (!n)
            continue;
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(n, &event);
        ++activated;
    }
    return activated;
}

void EpollDispatcher::setReaderDrains(qintptr fd)
{
    auto *self = dynamic_cast<EpollDispatcher *>(QAbstractEventDispatcher::instance());
    if (!self)
        return;
    const auto it = self->watches.find(int(fd));
    if (it == self->watches.end() || it->second.readerDrains)
        return;
    it->second.readerDrains = true;
    self->updateInterest(int(fd));
}

void EpollDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    Watch &w = watches[fd];
    switch (notifier->type()) {
    case QSocketNotifier::Read: w.read = notifier; break;
    case QSocketNotifier::Write: w.write = notifier; break;
    case QSocketNotifier::Exception: w.exception = notifier; break;
    }
    updateInterest(fd);
}

void EpollDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    const auto it = watches.find(fd);
    if (it == watches.end())
        return;
    for (QSocketNotifier **slot : {&it->second.read, &it->second.write, &it->second.exception})
        if (*slot == notifier)
            *slot = nullptr;
    updateInterest(fd);
}

// Tells the kernel what the descriptor's notifiers want now. A descriptor
// closed without its notifiers being removed first has left the epoll set
// by itself, and its number may since belong to another file: both cases
// are met by falling back from change to add and from add to change.
void EpollDispatcher::updateInterest(int fd)
{
    const auto it = watches.find(fd);
    Watch &w = it->second;
    uint32_t wanted = 0;
    if (w.read)
        wanted |= EPOLLIN;
    if (w.write)
        wanted |= EPOLLOUT;
    if (w.exception)
        wanted |= EPOLLPRI;
    if (w.read && w.readerDrains && !w.write)
        wanted |= EPOLLET;

    if (wanted == 0) {
        if (w.inKernel)
            ::epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
        if (w.alwaysReady)
            --alwaysReadyCount;
        watches.erase(it);
        return;
    }
    if (w.alwaysReady)
        return;
    epoll_event ev{};
    ev.events = wanted;
    ev.data.fd = fd;
    int rc = ::epoll_ctl(epollFd, w.inKernel ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
    if (rc != 0 && errno == ENOENT)
        rc = ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
    else if (rc != 0 && errno == EEXIST)
        rc = ::epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &ev);
    if (rc == 0) {
        w.inKernel = true;
    } else if (errno == EPERM) {
        w.alwaysReady = true;
        ++alwaysReadyCount;
    } else if (errno == EBADF) {
        // Closed before its notifiers went (a socket that a library closes
        // itself): it left the kernel's set with the close, and its
        // notifiers are on their way out.
        w.inKernel = false;
    } else {
        qWarning("EpollDispatcher: cannot watch descriptor %d: %s", fd, strerror(errno));
    }
}

void EpollDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object)
{
    timers.push_back({timerId, interval, timerType, object, nowNs() + interval * NsPerMs});
}

bool EpollDispatcher::unregisterTimer(int timerId)
{
    const auto it = std::find_if(timers.begin(), timers.end(), [&](const Timer &t) { return t.id == timerId; });
    if (it == timers.end())
        return false;
    timers.erase(it);
    return true;
}

bool EpollDispatcher::unregisterTimers(QObject *object)
{
    const auto before = timers.size();
    std::erase_if(timers, [&](const Timer &t) { return t.object == object; });
    return timers.size() != before;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> list;
    for (const Timer &t : timers)
        if (t.object == object)
            list.append(TimerInfo(t.id, int(t.intervalMs), t.type));
    return list;
}

int EpollDispatcher::remainingTime(int timerId)
{
    const Timer *t = findTimer(timerId);
    if (!t)
        return -1;
    return int(std::max(0LL, (t->dueNs - nowNs() + NsPerMs - 1) / NsPerMs));
}

EpollDispatcher::Timer *EpollDispatcher::findTimer(int id)
{
    const auto it = std::find_if(timers.begin(), timers.end(), [&](const Timer &t) { return t.id == id; });
    return it == timers.end() ? nullptr : &*it;
}

// Each timer due now fires once. Its next time counts from when it was due,
// so a repeating timer keeps its rate, unless it fell a whole interval
// behind; then it counts from now rather than firing in a burst.
int EpollDispatcher::activateTimers()
{
    const long long now = nowNs();
    std::vector<std::pair<long long, int>> due; // (due time, id): fired earliest first
    for (const Timer &t : timers)
        if (t.dueNs <= now && !t.firing)
            due.emplace_back(t.dueNs, t.id);
    std::stable_sort(due.begin(), due.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    int fired = 0;
    for (const auto &[dueNs, id] : due) {
        Timer *t = findTimer(id);
        if (!t || t->firing || t->dueNs > now)
            continue; // stopped, or restarted, by an earlier one
        t->dueNs += t->intervalMs * NsPerMs;
        if (t->dueNs <= now)
            t->dueNs = now + t->intervalMs * NsPerMs;
        t->firing = true;
        QObject *object = t->object;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
        if ((t = findTimer(id)))
            t->firing = false;
        ++fired;
    }
    return fired;
}

void EpollDispatcher::wakeUp()
{
    if (wakeUpSent.exchange(true, std::memory_order_acq_rel))
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t w = ::write(wakeFd, &one, sizeof one);
}

void EpollDispatcher::interrupt()
{
    interrupted.store(true, std::memory_order_relaxed);
    wakeUp();
}
