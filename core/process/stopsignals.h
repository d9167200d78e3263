#pragma once
#include <QObject>
#include <functional>

// Runs `stop` once on the event loop when SIGINT or SIGTERM first arrives,
// and `hangup` (when given) at every SIGHUP, which then no longer ends the
// process. The handler only writes the signal's number to a pipe, about all
// a signal handler may do; the pipe's notifier belongs to `owner`. For one
// owner per process.
void stopOnSignals(QObject *owner, std::function<void()> stop, std::function<void()> hangup = {});
