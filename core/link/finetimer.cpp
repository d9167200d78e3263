#include "link/finetimer.h"
#include <QSocketNotifier>
#include <cmath>

#ifdef Q_OS_LINUX
#include <cstdint>
#include <ctime>
#include <map>
#include <sys/timerfd.h>
#include <unistd.h>

// One timerfd for the fine timers of a thread, armed for the earliest due;
// it lives while the thread has any fine timer.
class FineClock {
public:
    static FineClock *acquire()
    {
        if (!current) {
            current = new FineClock;
            if (current->fd < 0) {
                delete current;
                current = nullptr;
                return nullptr;
            }
        }
        ++current->users;
        return current;
    }

    void release()
    {
        if (--users == 0) {
            current = nullptr;
            delete this;
        }
    }

    static long long nowNs()
    {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
    }

    void schedule(FineTimer *t)
    {
        due.emplace(t->dueNs, t);
        arm();
    }

    // A cancelled earliest due leaves the timerfd armed: the wake-up then
    // finds nothing due and arms for the next, which costs less than a
    // system call at every stop.
    void cancel(FineTimer *t)
    {
        const auto [first, last] = due.equal_range(t->dueNs);
        for (auto it = first; it != last; ++it)
            if (it->second == t) {
                due.erase(it);
                return;
            }
    }

private:
    FineClock()
    {
        fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (fd >= 0) {
            notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
            QObject::connect(notifier, &QSocketNotifier::activated, notifier, [this] { expired(); });
        }
    }

    ~FineClock()
    {
        delete notifier;
        if (fd >= 0)
            ::close(fd);
    }

    void arm()
    {
        if (due.empty() || due.begin()->first == armedNs)
            return;
        armedNs = due.begin()->first;
        itimerspec at{};
        at.it_value.tv_sec = time_t(armedNs / 1000000000LL);
        at.it_value.tv_nsec = long(armedNs % 1000000000LL);
        ::timerfd_settime(fd, TFD_TIMER_ABSTIME, &at, nullptr);
    }

    void expired()
    {
        uint64_t expirations = 0;
        if (::read(fd, &expirations, sizeof expirations) != sizeof expirations)
            return;
        armedNs = 0;
        // A timeout may start or stop timers, this one included: take the
        // earliest afresh each time, and only those due before this wake-up.
        const long long now = nowNs();
        while (!due.empty() && due.begin()->first <= now) {
            FineTimer *t = due.begin()->second;
            due.erase(due.begin());
            t->fire();
        }
        arm();
    }

    static inline thread_local FineClock *current = nullptr;
    int fd = -1;
    QSocketNotifier *notifier = nullptr;
    std::multimap<long long, FineTimer *> due;
    long long armedNs = 0;
    int users = 0;
};
#else
class FineClock {
public:
    static FineClock *acquire() { return nullptr; }
    static long long nowNs() { return 0; }
    void release() {}
    void schedule(FineTimer *) {}
    void cancel(FineTimer *) {}
};
#endif

FineTimer::FineTimer(QObject *parent) : QObject(parent), clock(FineClock::acquire())
{
    coarse.setSingleShot(true);
    coarse.setTimerType(Qt::PreciseTimer);
    connect(&coarse, &QTimer::timeout, this, &FineTimer::fire);
}

FineTimer::~FineTimer()
{
    if (clock) {
        stop();
        clock->release();
    }
}

void FineTimer::start(double ms)
{
    if (!clock) {
        active = true;
        coarse.start(ms <= 0 ? 0 : int(std::ceil(ms)));
        return;
    }
    stop();
    active = true;
    dueNs = FineClock::nowNs() + std::max<long long>(1000, (long long)std::ceil(ms * 1e6));
    clock->schedule(this);
}

void FineTimer::stop()
{
    if (!active)
        return;
    active = false;
    coarse.stop();
    if (clock)
        clock->cancel(this);
}

void FineTimer::fire()
{
    if (!active)
        return;
    active = false;
    emit timeout();
}
