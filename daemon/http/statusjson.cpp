#include "daemon/http/statusjson.h"
#include "daemon/http/sitesnapshot.h"
#include "daemon/payloads.h"
#include "detector/valueformats.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
QJsonObject detectorJson(const DetectorSnapshot &d)
{
    const LinkCounts &c = d.counts;
    QJsonObject o{
        {QStringLiteral("address"), int(d.address)},
        {QStringLiteral("up"), d.up},
        {QStringLiteral("answered"), d.answered},
        {QStringLiteral("requests"), qint64(c.requests)},
        {QStringLiteral("timeouts"), qint64(c.timeouts)},
        {QStringLiteral("crcErrors"), qint64(c.crcErrors)},
    };
    if (!d.answered)
        return o;
    const DeviceStatus &s = d.status;
    const QJsonObject reply{
        {QStringLiteral("serial"), int(s.serialNumber)},
        {QStringLiteral("version"), versionText(s.versionMajor, s.versionMinor, s.versionBuild)},
        {QStringLiteral("fire"), s.fire()},
        {QStringLiteral("fault"), s.fault()},
        {QStringLiteral("dust"), s.dust()},
        {QStringLiteral("ir"), s.irSignal},
        {QStringLiteral("uv"), s.uvSignal},
        {QStringLiteral("kz"), s.dustSignal},
        {QStringLiteral("irThreshold"), s.irThreshold},
        {QStringLiteral("uvThreshold"), s.uvThreshold},
        {QStringLiteral("kzThreshold"), s.dustThreshold},
        {QStringLiteral("temperature"), s.temperatureTenths / 10.0},
        {QStringLiteral("temperatureText"), tenthsText(s.temperatureTenths)},
        {QStringLiteral("ageS"), d.lastGoodAgeS},
    };
    for (auto it = reply.begin(); it != reply.end(); ++it)
        o.insert(it.key(), it.value());
    return o;
}

QJsonObject lineJson(const LineSnapshot &l)
{
    QJsonArray detectors;
    for (const DetectorSnapshot &d : l.detectors)
        detectors.append(detectorJson(d));
    return {
        {QStringLiteral("name"), l.name},
        {QStringLiteral("up"), l.up},
        {QStringLiteral("passesPerSecond"), l.passesPerSecond},
        {QStringLiteral("wireLimit"), l.wireLimit},
        {QStringLiteral("lost"), qint64(l.losses)},
        {QStringLiteral("detectors"), detectors},
    };
}
} // namespace

QByteArray statusJson(const SiteSnapshot &site)
{
    QJsonArray lines, events;
    for (const LineSnapshot &l : site.lines)
        lines.append(lineJson(l));
    for (const SiteEvent &e : site.events)
        events.append(QJsonObject{
            {QStringLiteral("time"), isoTime(e.time)},
            {QStringLiteral("line"), e.line},
            {QStringLiteral("address"), int(e.address)},
            {QStringLiteral("kind"), e.kind},
            {QStringLiteral("on"), e.on},
        });
    const QJsonObject o{
        {QStringLiteral("version"), site.version},
        {QStringLiteral("time"), isoTime(site.time)},
        {QStringLiteral("mqttConnected"), site.mqttConnected},
        {QStringLiteral("eventsDropped"), qint64(site.eventsDropped)},
        {QStringLiteral("resultsDropped"), qint64(site.resultsDropped)},
        {QStringLiteral("lines"), lines},
        {QStringLiteral("events"), events},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}
