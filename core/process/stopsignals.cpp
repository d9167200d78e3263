#include "process/stopsignals.h"
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <utility>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const int savedErrno = errno; // the interrupted code may be about to read it
    const char byte = char(number);
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

void catchSignal(int number)
{
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    // Reads and writes under way (the queue's file, a port) go on rather than fail.
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    ::sigaction(number, &sa, nullptr);
}
} // namespace

void holdSignals(bool hangup)
{
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        qFatal("pipe failed");
    catchSignal(SIGINT);
    catchSignal(SIGTERM);
    if (hangup)
        catchSignal(SIGHUP);
}

void stopOnSignals(QObject *owner, std::function<void()> stop, std::function<void()> hangup)
{
    holdSignals(bool(hangup));
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner,
                     [stop = std::move(stop), hangup, stopped = false]() mutable {
                         char bytes[16];
                         const auto n = ::read(signalPipe[0], bytes, sizeof bytes);
                         for (ssize_t i = 0; i < n; ++i) {
                             if (bytes[i] == SIGHUP && hangup)
                                 hangup();
                             else if (bytes[i] != SIGHUP && !std::exchange(stopped, true))
                                 stop();
                         }
                     });
}
