#pragma once
#include "daemon/config.h"
#include <QStringList>

class Daemon;

// What a configuration read again does to the running one, line by line
// (by name): added, removed, changed (restarted) or kept as it runs.
// Anything but the lines changed (the broker, the topics, the HTTP
// endpoint) needs a restart.
struct ReloadPlan {
    QStringList added, removed, changed, kept;
    QString restartNeeded; // what changed that only a restart applies; empty: nothing
};
ReloadPlan planReload(const DaemonConfig &running, const DaemonConfig &next);
// One line for the log: "1 line(s) added (west), 1 restarted (north), 1 unchanged (south)".
QString describePlan(const ReloadPlan &plan);

// SIGHUP: reads the file again and hands it to the daemon. A file that
// cannot be used is refused with its error in the log; the service goes on
// as it was.
void reloadFromFile(Daemon &daemon, const QString &path);
