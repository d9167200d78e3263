#pragma once
#include "sim/framelog.h"

#include <QByteArray>
#include <QList>
#include <cstdint>

// The simulator's wire log read as the watch's exchanges and the gateway's
// guests': a request that is not a status read (function 3, 24 registers
// from register 1) is a guest's.
struct GuestWire {
    // A silent target holds the line this long after the request.
    static constexpr double ReadWindowMs = 531;

    struct Exchange {
        QByteArray request;
        double fromMs = 0, toMs = 0; // the request's first character to the reply's last, or the window's end
        bool guest = false;
    };
    QList<Exchange> exchanges;

    explicit GuestWire(const QList<SimFrame> &frames);
    static bool isStatusRead(const QByteArray &request);
    int guests() const;
    // The largest share of any windowMs (ending where a guest ends) that guests held the line.
    double largestGuestShare(double windowMs) const;
};

// The longest time between two status replies of one detector, both after
// fromMs, the later one no later than toMs.
double largestStatusGap(const QList<SimFrame> &frames, uint8_t address, double fromMs, double toMs = 1e300);
