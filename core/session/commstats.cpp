#include "session/commstats.h"

#include <algorithm>

namespace {
QString ms(double value, uint64_t good)
{
    return good == 0 ? QStringLiteral("-") : QString::number(value, 'f', 2);
}
} // namespace

CommStats::CommStats(DetectorRecords &detectorRecords) : records(detectorRecords)
{
    connect(&records, &DetectorRecords::changed, this, [this](uint8_t, const DetectorChange &change) {
        if (change.kind == DetectorChange::Kind::Request || change.kind == DetectorChange::Kind::Exchange)
            emit changed();
    });
}

void CommStats::reset()
{
    records.resetLinkCounts();
    losses = 0;
    emit changed();
}

void CommStats::notePortLost()
{
    ++losses;
    emit changed();
}

QStringList CommStats::columnTitles()
{
    return {QStringLiteral("Адрес"),      QStringLiteral("Запросы"),    QStringLiteral("Ответы"),
            QStringLiteral("Тайм-ауты"),  QStringLiteral("Ошибки CRC"), QStringLiteral("Исключения"),
            QStringLiteral("Неожиданные"), QStringLiteral("Время, мс"),  QStringLiteral("Мин."),
            QStringLiteral("Медиана"),    QStringLiteral("Макс.")};
}

QStringList CommStats::row(uint8_t address) const
{
    const LinkCounts c = counts(address);
    return {QString::number(address), QString::number(c.requests), QString::number(c.good),
            QString::number(c.timeouts), QString::number(c.crcErrors), QString::number(c.exceptions),
            QString::number(c.unexpected), ms(c.lastMs, c.good), ms(c.minMs, c.good),
            ms(c.medianMs, c.good), ms(c.maxMs, c.good)};
}

QString CommStats::textTable(const QList<uint8_t> &addresses) const
{
    QList<QStringList> rows{columnTitles()};
    for (const uint8_t a : addresses)
        rows << row(a);
    QList<qsizetype> widths(rows.first().size(), 0);
    for (const QStringList &r : rows)
        for (qsizetype i = 0; i < r.size(); ++i)
            widths[i] = std::max(widths[i], r[i].size());
    QString text = QStringLiteral("Статистика связи\n");
    for (const QStringList &r : rows) {
        QStringList cells;
        for (qsizetype i = 0; i < r.size(); ++i)
            cells << r[i].rightJustified(widths[i]);
        text += cells.join(QStringLiteral("  ")) + u'\n';
    }
    return text + QStringLiteral("Потери порта: %1\n").arg(losses);
}
