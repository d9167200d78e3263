#include "daemon/gateway/guestpolicy.h"

#include <algorithm>

std::vector<GuestRequest> GuestPolicy::takeExpired(double nowMs)
{
    std::vector<GuestRequest> out;
    for (auto it = waiting.begin(); it != waiting.end();) {
        if (it->second.startByMs <= nowMs) {
            out.push_back(std::move(it->second));
            it = waiting.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

std::vector<GuestRequest> GuestPolicy::takeAll()
{
    std::vector<GuestRequest> out;
    for (auto &[client, r] : waiting)
        out.push_back(std::move(r));
    waiting.clear();
    return out;
}

std::optional<double> GuestPolicy::soonestDeadline() const
{
    std::optional<double> soonest;
    for (const auto &[client, r] : waiting)
        soonest = std::min(soonest.value_or(r.startByMs), r.startByMs);
    return soonest;
}

std::optional<GuestRequest> GuestPolicy::take(const LineFacts &facts)
{
    if (waiting.empty())
        return std::nullopt;
    // The next client after the one served last, round the ring.
    auto it = waiting.upper_bound(lastServed);
    if (it == waiting.end())
        it = waiting.begin();
    const GuestRequest &r = it->second;
    if (usedMs(facts.nowMs) + r.costMs > share * ShareWindowMs || !keepsFresh(facts, r.costMs))
        return std::nullopt;
    lastServed = it->first;
    GuestRequest chosen = std::move(it->second);
    waiting.erase(it);
    return chosen;
}

bool GuestPolicy::keepsFresh(const LineFacts &facts, double costMs) const
{
    std::vector<double> good = facts.lastGoodMs;
    std::sort(good.begin(), good.end()); // oldest first: the order the watch reads them again
    double readAgainMs = facts.nowMs + costMs + facts.probeMs;
    for (const double last : good) {
        readAgainMs += facts.ownExchangeMs;
        if (readAgainMs - last > maxAgeMs)
            return false;
    }
    return true;
}

void GuestPolicy::ran(double fromMs, double toMs)
{
    while (!spans.empty() && spans.front().second < fromMs - ShareWindowMs)
        spans.pop_front();
    spans.emplace_back(fromMs, std::max(fromMs, toMs));
}

double GuestPolicy::usedMs(double nowMs) const
{
    const double since = nowMs - ShareWindowMs;
    double used = 0;
    for (const auto &[from, to] : spans)
        used += std::max(0.0, to - std::max(from, since));
    return used;
}
