#pragma once
#include "detector/devicestatus.h"
#include <QDateTime>
#include <QString>
#include <array>
#include <cstdint>
#include <deque>

// Round trips of good replies, counted into fixed buckets (seconds, upper
// bounds) as a histogram is exposed: cumulative counts are made on reading.
struct RoundTripHistogram {
    static constexpr std::array<double, 9> Bounds{0.01, 0.025, 0.05, 0.075, 0.1, 0.15, 0.25, 0.5, 1.0};
    std::array<uint64_t, Bounds.size() + 1> buckets{}; // the last: above every bound
    uint64_t count = 0;
    double sumSeconds = 0;
    void add(double seconds);
};

// Passes per second over the last WindowMs: the times of the passes ended
// in it are kept, so the figure follows a change within the window.
class PassRate {
public:
    static constexpr qint64 WindowMs = 5000;
    void add(qint64 nowMs);
    // Since the first pass when the window is not yet full.
    double perSecond(qint64 nowMs) const;

private:
    std::deque<qint64> ends;
    qint64 firstMs = -1;
};

// One change on the site, for the status page's list of recent events.
struct SiteEvent {
    QDateTime time;
    QString line;
    uint8_t address = 0;
    QString kind; // "fire", "fault", "dust", or "online" for the availability
    bool on = false;
};
