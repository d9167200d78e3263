#include "daemon/payloads.h"

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
        {QStringLiteral("abandoned"), qint64(c.abandoned)},
        {QStringLiteral("late"), qint64(c.late)},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}
