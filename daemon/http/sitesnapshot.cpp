#include "daemon/http/sitesnapshot.h"
#include "daemon/daemon.h"
#include "daemon/log.h"

double wireLimitPassesPerSecond(const LineConfig &line)
{
    const double passMs = (8 + 3.5 + 53 + 3.5) * 10.0 * 1000.0 / line.speed + line.delayMs;
    return 1000.0 / passMs;
}

namespace {
LineSnapshot lineSnapshot(LineWatch &w)
{
    LineSnapshot l;
    l.name = w.config().name;
    l.up = w.lineUp();
    l.passesPerSecond = w.passesPerSecond();
    l.wireLimit = wireLimitPassesPerSecond(w.config());
    l.losses = w.losses();
    Session &session = w.session();
    const double now = session.nowMs();
    for (const uint8_t a : w.addresses()) {
        DetectorSnapshot d;
        d.address = a;
        d.counts = session.detectors().linkCounts(a);
        if (const DetectorRecord *r = session.detectors().find(a)) {
            d.roundTrips = r->link.roundTrips();
            d.up = r->online();
            d.answered = r->answered;
            d.status = r->status;
            d.lastGoodAgeS = (now - r->readAtMs) / 1000.0;
        }
        l.detectors.push_back(d);
    }
    return l;
}
} // namespace

SiteSnapshot takeSnapshot(Daemon &daemon, const QString &version)
{
    SiteSnapshot s;
    s.version = version;
    s.time = QDateTime::currentDateTime();
    s.mqttConnected = daemon.mqtt().isConnected();
    s.eventsDropped = daemon.outbox().queue().eventsDropped();
    s.resultsDropped = daemon.outbox().queue().resultsDropped();
    s.logLinesDropped = logLinesDropped();
    s.queueDurable = daemon.outbox().queue().durable();
    for (const auto &w : daemon.lines())
        s.lines.push_back(lineSnapshot(*w));
    s.events.assign(daemon.recentEvents().begin(), daemon.recentEvents().end());
    return s;
}
