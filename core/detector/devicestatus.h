#pragma once
#include "detector/registermap.h"
#include <array>
#include <cstdint>

struct FrameBuffer;

// The status block of 24 registers read from register 1, decoded; where
// each field comes from is in the register map.
struct DeviceStatus {
    uint8_t modeFlags = 0;         // modebit
    uint8_t alarmFlags = 0;        // alarmbit
    int16_t dustSignal = 0;
    int16_t heaterPoint = 0;       // whole °C
    int16_t dustThreshold = 0;
    int16_t temperatureTenths = 0; // tenths of a degree
    int16_t irSignal = 0;
    int16_t uvSignal = 0;
    int16_t irThreshold = 0;
    int16_t uvThreshold = 0;
    uint16_t channelFlags = 0;     // channelbit
    uint8_t versionBuild = 0;
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    int16_t irNoise = 0;
    int16_t g36 = 0;
    int16_t g42 = 0;               // written back by the UV calibration
    uint16_t serialNumber = 0;
    int16_t supplyTenths = 0;      // tenths of a volt
    int16_t hv400Tenths = 0;       // the +400 V reading, tenths of a volt
    uint16_t accessState = 0;
    int16_t testCounter = 0;
    uint16_t configMark = 0;
    int16_t uvFaultHours = 0;

    // modeFlags
    bool fast() const { return modeFlags & modebit::Fast; }
    bool far() const { return modeFlags & modebit::Far; }
    bool fireLatch() const { return modeFlags & modebit::FireLatch; }
    bool fireRelay() const { return modeFlags & modebit::FireRelay; }
    bool faultRelay() const { return modeFlags & modebit::FaultRelay; }
    bool heaterEnabled() const { return modeFlags & modebit::HeaterEnabled; }
    bool heaterMark() const { return modeFlags & modebit::HeaterMark; }
    bool faultLatch() const { return modeFlags & modebit::FaultLatch; }
    // alarmFlags
    bool fire() const { return alarmFlags & alarmbit::Fire; }
    bool fault() const { return alarmFlags & alarmbit::Fault; }
    bool dust() const { return alarmFlags & alarmbit::Dust; }
    // channelFlags
    bool dustChannel() const { return channelFlags & channelbit::Dust; }
    bool irChannel() const { return channelFlags & channelbit::Ir; }
    bool uvChannel() const { return channelFlags & channelbit::Uv; }
    // The three channel bits in the layout of ChannelMask.
    uint8_t channelBits() const { return uint8_t(channelFlags & (channelbit::Dust | channelbit::Ir | channelbit::Uv)); }

    bool serviceAccess() const { return accessState == ServiceAccessValue; }
    bool configMarkOk() const { return configMark == ConfigMarkValue; }
};

// Reply offset of the high byte of status register n (1..24).
constexpr int statusRegisterOffset(int n) { return 3 + 2 * (n - 1); }

// The 24 status registers of a reply as they came, high byte first.
using StatusRegisters = std::array<uint16_t, sreg::Count>;
StatusRegisters statusRegisters(const FrameBuffer &buf);

// Decodes the reply area of buf at its fixed offsets. Checks nothing: a
// shorter CRC-correct reply is decoded from whatever the buffer holds there.
DeviceStatus decodeStatus(const FrameBuffer &buf);
