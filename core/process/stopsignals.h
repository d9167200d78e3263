#pragma once
#include <QObject>
#include <functional>

// Catches SIGINT and SIGTERM (and SIGHUP with `hangup`) from now on; each
// waits until stopOnSignals() acts on it. For the first lines of main: a
// signal that comes while the start still runs (a long queue read, say) is
// then acted on once the event loop turns, instead of ending the process.
void holdSignals(bool hangup);

// Runs `stop` once on the event loop when SIGINT or SIGTERM first arrives,
// and `hangup` (when given) at every SIGHUP, which then no longer ends the
// process; signals held since holdSignals() are acted on as well. The
// handler only writes the signal's number to a pipe, about all a signal
// handler may do; the pipe's notifier belongs to `owner`. For one owner per
// process.
void stopOnSignals(QObject *owner, std::function<void()> stop, std::function<void()> hangup = {});
