#pragma once
#include <cstdint>

// What became of the guests' requests. Every request ends in one of ok,
// exceptions, timeouts, expired, refused or abandoned; late counts the
// answers of the RTU port that came after the guest's read window and were
// not sent.
struct GuestCounts {
    uint64_t requests = 0;
    uint64_t ok = 0;         // the detector's reply passed on
    uint64_t exceptions = 0; // the detector's exception reply passed on
    uint64_t timeouts = 0;   // no valid reply: "gateway target device failed to respond"
    uint64_t expired = 0;    // not started in time, or the line lost: "gateway path unavailable"
    uint64_t refused = 0;    // never sent: a broadcast, an address above 247, anything but a read with writes off
    uint64_t abandoned = 0;  // never sent: its client left before it started
    uint64_t late = 0;
};
