#pragma once
#include "session/averages.h"
#include "session/commandslot.h"
#include "session/commstats.h"
#include "session/devicelist.h"
#include "session/detectorrecords.h"
#include <cstdint>

// What the polling cycle and the bus search work on: the command slot, the
// line's speed code, the channel bits, the listed devices, each detector's last status and averages, the averaging windows
// and the communication counts. Owned by the Session.
struct SessionState {
    explicit SessionState(int deviceCapacity) : devices(QString(), deviceCapacity) {}

    CommandSlot commandSlot; // the window's next command
    uint8_t channelMask = 0; // dust, IR, UV enable bits
    uint8_t baudCode = 0;    // line speed / 1200
    DeviceList devices;
    DetectorRecords detectors; // each detector's last status, averages, availability, alarms and link counts
    // The averaging windows the chart's selectors set, for every detector alike.
    uint8_t irWindow = MovingAverages::StartWindow;
    uint8_t uvWindow = MovingAverages::StartWindow;
    CommStats stats{detectors}; // the link counts as the window shows them, and the port losses
};
