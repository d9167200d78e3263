#include "link/finetimer.h"
#include <QSocketNotifier>
#include <cmath>

#ifdef Q_OS_LINUX
#include <cstdint>
#include <sys/timerfd.h>
#include <unistd.h>
#endif

FineTimer::FineTimer(QObject *parent) : QObject(parent)
{
    coarse.setSingleShot(true);
    coarse.setTimerType(Qt::PreciseTimer);
    connect(&coarse, &QTimer::timeout, this, &FineTimer::fire);
#ifdef Q_OS_LINUX
    fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd >= 0) {
        notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            uint64_t expirations = 0;
            // Nothing to read: a stop or a new start came first.
            if (::read(fd, &expirations, sizeof expirations) == sizeof expirations)
                fire();
        });
    }
#endif
}

FineTimer::~FineTimer()
{
#ifdef Q_OS_LINUX
    if (notifier)
        notifier->setEnabled(false);
    if (fd >= 0)
        ::close(fd);
#endif
}

void FineTimer::start(double ms)
{
    active = true;
#ifdef Q_OS_LINUX
    if (fd >= 0) {
        // Arming resets any expiration not yet read. A zero value would disarm.
        const auto ns = std::max<long long>(1000, (long long)std::ceil(ms * 1e6));
        itimerspec due{};
        due.it_value.tv_sec = time_t(ns / 1000000000);
        due.it_value.tv_nsec = long(ns % 1000000000);
        ::timerfd_settime(fd, 0, &due, nullptr);
        return;
    }
#endif
    coarse.start(ms <= 0 ? 0 : int(std::ceil(ms)));
}

void FineTimer::stop()
{
    active = false;
    coarse.stop();
#ifdef Q_OS_LINUX
    if (fd >= 0) {
        const itimerspec off{};
        ::timerfd_settime(fd, 0, &off, nullptr);
    }
#endif
}

void FineTimer::fire()
{
    if (!active)
        return;
    active = false;
    emit timeout();
}
