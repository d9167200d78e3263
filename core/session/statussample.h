#pragma once
#include "detector/devicestatus.h"
#include <cstdint>

// One good status reply as the polling cycle hands it to the windows, after
// every protocol rule has been applied to it.
struct StatusSample {
    int slot = 0;               // device list slot; its grid row is slot + 1
    uint8_t address = 0;        // the detector that answered
    DeviceStatus status;        // decoded
    StatusRegisters registers{}; // as they came, so nothing of the reply is lost
    int16_t previousIrThreshold = 0; // the thresholds of this detector's reply before this one
    int16_t previousUvThreshold = 0;
    int32_t irAverage = 0;      // this detector's averages as they stood before this reply
    int32_t uvAverage = 0;
    bool soleDevice = false;    // the only device listed: the line's channel mask follows its bits
};
