#pragma once
#include "detector/devicestatus.h"
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <deque>

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
