#include "session/commstats.h"

#include <algorithm>

namespace {

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    const auto mid = v.begin() + v.size() / 2;
    std::nth_element(v.begin(), mid, v.end());
    if (v.size() % 2 == 1)
        return *mid;
    return (*mid + *std::max_element(v.begin(), mid)) / 2;
}

QString ms(double value, uint64_t good)
{
    return good == 0 ? QStringLiteral("-") : QString::number(value, 'f', 2);
}

} // namespace

void CommStats::begin(uint8_t address)
{
    pendingAddress = address;
    ++table[address].counts.requests;
    emit changed();
}

void CommStats::end(ExchangeOutcome outcome, double roundTripMs)
{
    record(pendingAddress, outcome, roundTripMs);
}

void CommStats::record(uint8_t address, ExchangeOutcome outcome, double roundTripMs)
{
    PerAddress &a = table[address];
    LinkCounts &c = a.counts;
    switch (outcome) {
    case ExchangeOutcome::Timeout: ++c.timeouts; break;
    case ExchangeOutcome::CrcError: ++c.crcErrors; break;
    case ExchangeOutcome::Exception: ++c.exceptions; break;
    case ExchangeOutcome::Unexpected: ++c.unexpected; break;
    case ExchangeOutcome::Good:
        c.lastMs = roundTripMs;
        c.minMs = c.good == 0 ? roundTripMs : std::min(c.minMs, roundTripMs);
        c.maxMs = std::max(c.maxMs, roundTripMs);
        ++c.good;
        if (a.recent.size() < size_t(MedianWindow))
            a.recent.push_back(roundTripMs);
        else
            a.recent[a.next] = roundTripMs;
        a.next = (a.next + 1) % MedianWindow;
        break;
    }
    emit exchangeEnded(address, outcome);
    emit changed();
}

void CommStats::reset()
{
    table.clear();
    losses = 0;
    emit changed();
}

void CommStats::notePortLost()
{
    ++losses;
    emit changed();
}

LinkCounts CommStats::counts(uint8_t address) const
{
    const auto it = table.find(address);
    if (it == table.end())
        return {};
    LinkCounts c = it->second.counts;
    c.medianMs = median(it->second.recent);
    return c;
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
