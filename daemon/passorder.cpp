#include "daemon/passorder.h"

#include <limits>

int PassOrder::nextOnline(const QList<uint8_t> &list, const std::function<bool(uint8_t)> &online)
{
    for (; roundPos < int(list.size()); ++roundPos)
        if (online(list.at(roundPos)))
            return roundPos++;
    return -1;
}

PollingCycle::NextPass PassOrder::next(const QList<uint8_t> &list, const std::function<bool(uint8_t)> &online,
                                       qint64 nowMs)
{
    if (const int slot = nextOnline(list, online); slot >= 0)
        return {slot, 0};
    // The round is over: a probe if one is due, and a new round after it.
    roundPos = 0;
    const int n = int(list.size());
    qint64 soonest = std::numeric_limits<qint64>::max();
    for (int i = 0; i < n; ++i) {
        const int slot = (probePos + i) % n;
        const uint8_t address = list.at(slot);
        if (online(address))
            continue;
        const auto last = lastProbe.find(address);
        const qint64 due = last == lastProbe.end() ? nowMs : last->second + probeMs;
        if (due <= nowMs) {
            lastProbe[address] = nowMs;
            probePos = slot + 1;
            return {slot, 0};
        }
        soonest = std::min(soonest, due);
    }
    if (const int slot = nextOnline(list, online); slot >= 0)
        return {slot, 0};
    return {-1, soonest == std::numeric_limits<qint64>::max() ? probeMs : int(soonest - nowMs)};
}
