#include "detector/valueformats.h"

QChar systemDecimalSeparator()
{
    const QString point = QLocale::system().decimalPoint();
    return point.isEmpty() ? QChar(u'.') : point.front();
}

QString tenthsText(int value, QChar decimalSeparator)
{
    // Integer arithmetic: no binary fraction can turn 3 into 0.299...
    const int64_t magnitude = value < 0 ? -int64_t(value) : int64_t(value);
    QString text = value < 0 ? QStringLiteral("-") : QString();
    text += QString::number(magnitude / 10);
    if (magnitude % 10 != 0)
        text += decimalSeparator + QString::number(magnitude % 10);
    return text;
}

QString tenthsText(int value)
{
    return tenthsText(value, systemDecimalSeparator());
}

QString versionText(uint8_t major, uint8_t minor, uint8_t build)
{
    return QStringLiteral("v.%1.%2.%3").arg(int(major)).arg(int(minor)).arg(int(build));
}

QString heaterPointText(int16_t degrees)
{
    return QStringLiteral("+%1°C").arg(int(degrees));
}

QString testCounterText(int16_t counter)
{
    return QStringLiteral("Тест -%1").arg(int(counter));
}

QString uvFaultText(int16_t hours)
{
    return QStringLiteral("T_UV_FAULT: %1 ч.").arg(int(hours));
}

QString timeFormatWithoutZone(const QString &format)
{
    QString kept;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format[i];
        if (c == u'\'')
            quoted = !quoted;
        if (quoted || c != u't') {
            kept += c;
            ++i;
            continue;
        }
        while (i < format.size() && format[i] == u't')
            ++i;
        // Take the blank that separated the zone from what follows with it.
        if (i < format.size() && format[i].isSpace())
            ++i;
    }
    return kept.trimmed();
}

QString timeOfDayText(QTime time, const QLocale &locale)
{
    return locale.toString(time, timeFormatWithoutZone(locale.timeFormat(QLocale::LongFormat)));
}

QString timeOfDayText(QTime time)
{
    return timeOfDayText(time, QLocale::system());
}
