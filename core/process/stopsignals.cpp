#include "process/stopsignals.h"
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <utility>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const char byte = char(number);
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &byte, 1);
}

void catchSignal(int number)
{
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(number, &sa, nullptr);
}
} // namespace

void stopOnSignals(QObject *owner, std::function<void()> stop, std::function<void()> hangup)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        qFatal("pipe failed");
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
    catchSignal(SIGINT);
    catchSignal(SIGTERM);
    if (hangup)
        catchSignal(SIGHUP);
}
