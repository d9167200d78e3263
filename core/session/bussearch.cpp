#include "session/bussearch.h"
#include "session/lineservice.h"
#include "session/sessionstate.h"

BusSearch::BusSearch(LineService &lineService, SessionState &sessionState, QObject *parent)
    : QObject(parent), line(lineService), state(sessionState)
{
}

bool BusSearch::start()
{
    if (looping)
        return false;
    active = true;
    looping = true;
    address = FirstAddress;
    withoutRoom.clear();
    fast = fastWanted;
    probedFast = 0;
    probe();
    return true;
}

void BusSearch::probe()
{
    emit probeStarted(uint8_t(address));
    const LineJob job{uint8_t(address), FnReadHolding, 1, 24, fast ? marginMs : -1, false};
    if (!line.run(job, [this](const ExchangeResult &result) { onReply(result); }))
        onFailed(Failure::of(Failure::Kind::LineBusy));
    else if (fast)
        ++probedFast;
}

void BusSearch::onReply(const ExchangeResult &result)
{
    if (!looping)
        return;
    if (result.outcome == ExchangeResult::Outcome::PortFailed) {
        onFailed(result.error);
        return;
    }
    const uint8_t count = result.count;
    FrameBuffer frame = result.frame;
    emit probed(uint8_t(address), count);
    if (count != 0) {
        // Any frame with a good CRC is an answer, an exception reply included.
        // A fast probe may catch a slow detector's late answer to the probe
        // before: only a frame from the probed address counts there.
        if (result.intact && (!fast || frame.at(0) == address)) {
            const auto a = uint8_t(address);
            if (state.devices.full() && !state.devices.contains(a)) {
                withoutRoom << a;
                emit foundWithoutRoom(a);
            } else {
                if (auto failure = state.devices.add(a)) {
                    looping = false;
                    emit failed(*failure);
                    return;
                }
            }
        }
    }
    if (active && address < LastAddress) {
        ++address;
        probe();
        return;
    }
    looping = false;
    active = false;
    emit ended();
}

void BusSearch::onFailed(const Failure &failure)
{
    if (!looping)
        return;
    // A dead port ends the search for good: nothing is left to probe.
    looping = false;
    active = false;
    emit failed(failure);
}
