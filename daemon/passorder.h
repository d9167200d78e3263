#pragma once
#include "session/devicelist.h"
#include "session/pollingcycle.h"
#include <functional>
#include <map>

// Who the service polls next on a line, so that silent addresses cannot slow
// the detectors that answer: a round asks every online detector in list
// order, then at most one that is not online (never answered, or offline)
// and was last asked probeIntervalMs ago or more, in turn; one never asked
// is due at once. With nobody online the probes follow each other; with
// nobody due either, the cycle waits until the next probe is.
class PassOrder {
public:
    explicit PassOrder(int probeIntervalMs) : probeMs(probeIntervalMs) {}

    // `online` tells who takes part in the rounds; `nowMs` is a steady clock.
    PollingCycle::NextPass next(const QList<uint8_t> &list, const std::function<bool(uint8_t)> &online, qint64 nowMs);
    // A line (re)opened has asked nobody yet: every probe is due at once.
    void restart() { lastProbe.clear(); }
    // A detector that answered a probe (a command's echo, say) is asked again at once.
    void answered(uint8_t address) { lastProbe.erase(address); }

private:
    int nextOnline(const QList<uint8_t> &list, const std::function<bool(uint8_t)> &online);

    int probeMs;
    int roundPos = 0; // the list position the round goes on from
    int probePos = 0; // where the turn of the probes goes on from
    std::map<uint8_t, qint64> lastProbe;
};
