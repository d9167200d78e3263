#include "daemon/detectortopics.h"
#include "daemon/log.h"
#include "daemon/outbox.h"
#include "daemon/payloads.h"
#include "detector/valueformats.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
const QByteArray Online = "online";
const QByteArray Offline = "offline";

QByteArray stateJson(const QDateTime &time, uint8_t address, const DeviceStatus &d, const StatusRegisters &registers)
{
    QJsonArray regs;
    for (const uint16_t r : registers)
        regs.append(int(r));
    const QJsonObject o{
        {QStringLiteral("time"), isoTime(time)},
        {QStringLiteral("address"), int(address)},
        {QStringLiteral("ir"), d.irSignal},
        {QStringLiteral("uv"), d.uvSignal},
        {QStringLiteral("kz"), d.dustSignal},
        {QStringLiteral("temperature"), d.temperatureTenths / 10.0},
        {QStringLiteral("fire"), d.fire()},
        {QStringLiteral("fault"), d.fault()},
        {QStringLiteral("dust"), d.dust()},
        {QStringLiteral("irThreshold"), d.irThreshold},
        {QStringLiteral("uvThreshold"), d.uvThreshold},
        {QStringLiteral("serial"), int(d.serialNumber)},
        {QStringLiteral("version"), versionText(d.versionMajor, d.versionMinor, d.versionBuild)},
        {QStringLiteral("registers"), regs},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray eventJson(const QDateTime &time, const QString &kind, bool on)
{
    const QJsonObject o{
        {QStringLiteral("time"), isoTime(time)}, {QStringLiteral("kind"), kind}, {QStringLiteral("on"), on}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray statsJson(const QDateTime &time, const LinkCounts &c)
{
    const QJsonObject o{
        {QStringLiteral("time"), isoTime(time)},
        {QStringLiteral("requests"), qint64(c.requests)},
        {QStringLiteral("good"), qint64(c.good)},
        {QStringLiteral("timeouts"), qint64(c.timeouts)},
        {QStringLiteral("crcErrors"), qint64(c.crcErrors)},
        {QStringLiteral("exceptions"), qint64(c.exceptions)},
        {QStringLiteral("unexpected"), qint64(c.unexpected)},
        {QStringLiteral("lastMs"), c.lastMs},
        {QStringLiteral("minMs"), c.minMs},
        {QStringLiteral("medianMs"), c.medianMs},
        {QStringLiteral("maxMs"), c.maxMs},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}
} // namespace

DetectorTopics::DetectorTopics(const Session &session, const LineConfig &lineConfig, const QString &topicPrefix,
                               Outbox &outbox, QObject *parent)
    : QObject(parent), records(session.detectors()), line(lineConfig.name), prefix(topicPrefix), box(outbox),
      throttle(lineConfig.stateMinIntervalMs, lineConfig.stateHeartbeatS)
{
    connect(&session, &Session::detectorChanged, this, &DetectorTopics::onChange);
    connect(&throttle, &StateThrottle::publish, this,
            [this](uint8_t a, const DeviceStatus &s, const StatusRegisters &regs, const QDateTime &t) {
                box.setRetained(topicOf(a, QStringLiteral("state")), stateJson(t, a, s, regs));
            });
}

QString DetectorTopics::topic(const QString &prefix, const QString &line, uint8_t address, const QString &leaf)
{
    return QStringLiteral("%1/%2/%3/%4").arg(prefix, line).arg(address).arg(leaf);
}

void DetectorTopics::onChange(uint8_t address, const DetectorChange &change)
{
    const DetectorRecord *d = records.find(address);
    switch (change.kind) {
    case DetectorChange::Kind::Status: throttle.offer(address, d->status, d->registers, d->readAt); break;
    case DetectorChange::Kind::Online:
    case DetectorChange::Kind::Offline: {
        const bool online = change.kind == DetectorChange::Kind::Online;
        box.setRetained(topicOf(address, QStringLiteral("availability")), online ? Online : Offline, 1);
        emit happened({QDateTime::currentDateTime(), line, address, QStringLiteral("online"), online});
        break;
    }
    case DetectorChange::Kind::Alarm:
        for (const AlarmBit &bit : AlarmBits) {
            if (bit.mask != change.alarm)
                continue;
            const QString kind = QString::fromLatin1(bit.kind);
            logEvent(QStringLiteral("line %1: detector %2 %3 %4")
                         .arg(line)
                         .arg(address)
                         .arg(kind, change.on ? "on" : "off"));
            box.sendEvent(topicOf(address, QStringLiteral("event")), eventJson(d->readAt, kind, change.on));
            emit happened({d->readAt, line, address, kind, change.on});
        }
        break;
    case DetectorChange::Kind::Request:
    case DetectorChange::Kind::Exchange: break; // counted in the record, published with the stats
    }
}

void DetectorTopics::publishStats(const QList<uint8_t> &addresses, const QDateTime &now)
{
    for (const uint8_t a : addresses)
        box.setRetained(topicOf(a, QStringLiteral("stats")), statsJson(now, records.linkCounts(a)));
}

void DetectorTopics::retire(const QList<uint8_t> &addresses)
{
    throttle.flush();
    for (const uint8_t a : addresses)
        box.setRetained(topicOf(a, QStringLiteral("availability")), Offline, 1);
}
