#include "daemon/reload.h"
#include "daemon/failurelog.h"
#include "daemon/daemon.h"
#include "daemon/log.h"
#include "daemon/remotecontrol.h"

namespace {
const LineConfig *find(const QList<LineConfig> &lines, const QString &name)
{
    for (const LineConfig &l : lines)
        if (l.name == name)
            return &l;
    return nullptr;
}

DaemonConfig withoutLines(DaemonConfig config)
{
    config.lines.clear();
    return config;
}
} // namespace

ReloadPlan planReload(const DaemonConfig &running, const DaemonConfig &next)
{
    ReloadPlan plan;
    if (!(running.mqtt == next.mqtt))
        plan.restartNeeded = QStringLiteral("the [mqtt] settings");
    else if (!(running.http == next.http))
        plan.restartNeeded = QStringLiteral("the [http] settings");
    else if (!(withoutLines(running) == withoutLines(next)))
        plan.restartNeeded = QStringLiteral("the top-level settings");
    for (const LineConfig &l : running.lines)
        if (!find(next.lines, l.name))
            plan.removed << l.name;
    for (const LineConfig &l : next.lines) {
        const LineConfig *before = find(running.lines, l.name);
        (before ? (*before == l ? plan.kept : plan.changed) : plan.added) << l.name;
    }
    return plan;
}

QString describePlan(const ReloadPlan &plan)
{
    QStringList parts;
    const auto part = [&parts](const QStringList &names, const char *what) {
        if (!names.isEmpty())
            parts << QStringLiteral("%1 line(s) %2 (%3)").arg(names.size()).arg(QLatin1StringView(what), names.join(u", "));
    };
    part(plan.added, "added");
    part(plan.removed, "removed");
    part(plan.changed, "restarted");
    part(plan.kept, "unchanged");
    return parts.join(QStringLiteral(", "));
}

void reloadFromFile(Daemon &daemon, const QString &path)
{
    logEvent(QStringLiteral("SIGHUP: reading %1 again").arg(path));
    const Result<DaemonConfig> next = loadConfig(path);
    if (!next) {
        logEvent(QStringLiteral("reload refused: %1; the running configuration stays").arg(logText(next.failure())));
        return;
    }
    daemon.reload(*next);
}

bool Daemon::reload(DaemonConfig next)
{
    if (stopping)
        return false;
    const ReloadPlan plan = planReload(cfg, next);
    // The prefix, the client id and the last will are what consumers know
    // the service by: changed under them, old retained topics would stay
    // behind saying "online". A restart says "offline" first.
    if (!plan.restartNeeded.isEmpty()) {
        logEvent(QStringLiteral("reload refused: %1 changed, which takes a restart (systemctl restart kalmird); "
                                "the running configuration stays")
                     .arg(plan.restartNeeded));
        return false;
    }
    for (const QStringList *names : {&plan.removed, &plan.changed})
        for (const QString &name : *names) {
            LineWatch *w = line(name);
            remote->removeLine(name);
            retire(*w);
            logEvent(QStringLiteral("line %1: stopped").arg(name));
            std::erase_if(watches, [w](const auto &p) { return p.get() == w; });
        }
    cfg = std::move(next);
    std::vector<std::unique_ptr<LineWatch>> running;
    for (const LineConfig &l : cfg.lines) {
        const auto kept = std::find_if(watches.begin(), watches.end(),
                                       [&l](const auto &w) { return w && w->config().name == l.name; });
        if (kept != watches.end()) {
            running.push_back(std::move(*kept));
            continue;
        }
        running.push_back(std::make_unique<LineWatch>(l));
        attach(*running.back());
        remote->addLine(*running.back());
        running.back()->start();
    }
    watches = std::move(running);
    logEvent(QStringLiteral("reloaded: %1").arg(describePlan(plan)));
    return true;
}
