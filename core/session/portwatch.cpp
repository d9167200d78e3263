#include "session/portwatch.h"
#include "link/linechannel.h"

#include <algorithm>
#include <utility>

PortWatch::PortWatch(LineChannel &lineChannel, QObject *parent) : QObject(parent), channel(lineChannel)
{
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &PortWatch::look);
    connect(&channel, &LineChannel::opened, this, &PortWatch::onOpened);
    connect(&channel, &LineChannel::openFailed, this, [this] {
        if (std::exchange(trying, false))
            retry();
    });
}

void PortWatch::start()
{
    watching = true;
    trying = false;
    tries = 0;
    timer.start(IntervalMs);
}

void PortWatch::stop()
{
    watching = false;
    trying = false;
    timer.stop();
}

int PortWatch::intervalAfter(int failed)
{
    if (failed < QuickTries)
        return IntervalMs;
    return std::min(LongestIntervalMs, IntervalMs << std::min(failed - QuickTries + 1, 5));
}

void PortWatch::look()
{
    // A device node that is not there cannot be opened; asking the driver
    // every second would only fill its log.
    if (channel.lineAbsent()) {
        timer.start(IntervalMs);
        return;
    }
    const Result<bool> open = channel.open();
    if (!open) {
        retry();
        return;
    }
    trying = !*open;
    if (!trying)
        onOpened();
}

void PortWatch::retry()
{
    ++tries;
    if (watching)
        timer.start(intervalAfter(tries));
}

void PortWatch::onOpened()
{
    if (!watching)
        return;
    trying = false;
    watching = false;
    emit portBack();
}
