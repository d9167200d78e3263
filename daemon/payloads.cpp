#include "daemon/payloads.h"
#include "detector/valueformats.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

QString isoTime(const QDateTime &time)
{
    const int offset = time.offsetFromUtc();
    QString text = time.toOffsetFromUtc(offset).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
    const int minutes = std::abs(offset) / 60;
    text += QStringLiteral("%1%2:%3")
                .arg(QChar(offset < 0 ? u'-' : u'+'))
                .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                .arg(minutes % 60, 2, 10, QLatin1Char('0'));
    return text;
}

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
    const QJsonObject o{{QStringLiteral("time"), isoTime(time)}, {QStringLiteral("kind"), kind},
                        {QStringLiteral("on"), on}};
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

QByteArray gatewayJson(const QDateTime &time, const GuestCounts &c)
{
    const QJsonObject o{
        {QStringLiteral("time"), isoTime(time)},
        {QStringLiteral("requests"), qint64(c.requests)},
        {QStringLiteral("ok"), qint64(c.ok)},
        {QStringLiteral("exceptions"), qint64(c.exceptions)},
        {QStringLiteral("timeouts"), qint64(c.timeouts)},
        {QStringLiteral("expired"), qint64(c.expired)},
        {QStringLiteral("refused"), qint64(c.refused)},
        {QStringLiteral("late"), qint64(c.late)},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}
