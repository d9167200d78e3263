#include "support/guestwire.h"

#include <algorithm>

GuestWire::GuestWire(const QList<SimFrame> &frames)
{
    for (const SimFrame &f : frames) {
        if (f.direction == SimFrame::Received)
            exchanges.append({f.bytes, f.firstChar * 1000, f.lastChar * 1000 + ReadWindowMs, !isStatusRead(f.bytes)});
        else if (f.direction == SimFrame::Sent && !exchanges.isEmpty())
            exchanges.last().toMs = f.lastChar * 1000;
    }
}

bool GuestWire::isStatusRead(const QByteArray &f)
{
    static const QByteArray block("\x03\x00\x01\x00\x18", 5);
    return f.size() == 8 && f.mid(1, 5) == block;
}

int GuestWire::guests() const
{
    return int(std::count_if(exchanges.begin(), exchanges.end(), [](const Exchange &e) { return e.guest; }));
}

double GuestWire::largestGuestShare(double windowMs) const
{
    double largest = 0;
    for (const Exchange &end : exchanges) {
        if (!end.guest)
            continue;
        double used = 0;
        for (const Exchange &e : exchanges)
            if (e.guest && e.toMs <= end.toMs)
                used += std::max(0.0, e.toMs - std::max(e.fromMs, end.toMs - windowMs));
        largest = std::max(largest, used / windowMs);
    }
    return largest;
}

double largestStatusGap(const QList<SimFrame> &frames, uint8_t address, double fromMs, double toMs)
{
    double last = -1, largest = 0;
    for (const SimFrame &f : frames)
        if (f.direction == SimFrame::Sent && f.bytes.size() == 53 && uint8_t(f.bytes[0]) == address
            && f.lastChar * 1000 <= toMs) {
            if (last >= fromMs)
                largest = std::max(largest, f.lastChar * 1000 - last);
            last = f.lastChar * 1000;
        }
    return largest;
}
