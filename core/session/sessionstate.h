#pragma once
#include "detector/devicestatus.h"
#include "session/averages.h"
#include "session/commandqueue.h"
#include "session/commstats.h"
#include "session/devicelist.h"
#include <cstdint>

// What the polling cycle and the bus search work on: the command slot, the
// line's speed code, the channel bits, the listed devices, the last decoded
// status, the averages and the communication counts. Owned by the Session.
struct SessionState {
    explicit SessionState(int deviceCapacity = DeviceList::WindowCapacity) : devices(QString(), deviceCapacity) {}

    CommandQueue commands;
    uint8_t channelMask = 0; // dust, IR, UV enable bits
    uint8_t baudCode = 0;    // line speed / 1200
    DeviceList devices;
    DeviceStatus status; // the last good status reply, from any device
    MovingAverages averages;
    CommStats stats; // what polling met on the line, per listed address
};
