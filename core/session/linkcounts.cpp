#include "session/linkcounts.h"

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
} // namespace

void RoundTripHistogram::add(double seconds)
{
    const auto at = std::lower_bound(Bounds.begin(), Bounds.end(), seconds);
    ++buckets[size_t(at - Bounds.begin())];
    ++count;
    sumSeconds += seconds;
}

void LinkTally::end(ExchangeOutcome outcome, double roundTripMs)
{
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
        if (recent.size() < size_t(MedianWindow))
            recent.push_back(roundTripMs);
        else
            recent[next] = roundTripMs;
        next = (next + 1) % MedianWindow;
        histogram.add(roundTripMs / 1000.0);
        break;
    }
}

LinkCounts LinkTally::counts() const
{
    LinkCounts out = c;
    out.medianMs = median(recent);
    return out;
}
