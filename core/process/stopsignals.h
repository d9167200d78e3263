#pragma once
#include <QObject>
#include <functional>

// Runs `stop` once on the event loop when SIGINT or SIGTERM first arrives.
// The handler only writes a byte to a pipe, about all a signal handler may
// do; the pipe's notifier belongs to `owner`. For one owner per process.
void stopOnSignals(QObject *owner, std::function<void()> stop);
