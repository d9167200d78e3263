#pragma once
#include <array>
#include <cstdint>

struct FrameBuffer;

// Register 19 holds this while the device grants service access.
inline constexpr uint16_t ServiceAccessValue = 0x6B4D;
// Register 21 must hold this; otherwise the tool writes it (command 36).
inline constexpr uint16_t ConfigMarkValue = 24679;

// The status block of 24 registers read from register 1, decoded. The
// register names of the detector's documentation stand beside the fields.
struct DeviceStatus {
    uint8_t modeFlags = 0;       // register 1, high byte
    uint8_t alarmFlags = 0;      // register 1, low byte
    int16_t dustSignal = 0;      // 2 (Ukz)
    int16_t heaterPoint = 0;     // 3: heater switch-on point, whole °C
    int16_t dustThreshold = 0;   // 4 (Up_kz)
    int16_t temperatureTenths = 0; // 5 (Ut): tenths of a degree
    int16_t irSignal = 0;        // 6 (Uik)
    int16_t uvSignal = 0;        // 7 (Uuf)
    int16_t irThreshold = 0;     // 8 (Up_ik)
    int16_t uvThreshold = 0;     // 9 (Up_uf)
    uint16_t channelFlags = 0;   // 10: channel enable bits 0-2
    uint8_t versionBuild = 0;    // 11, low byte (the high byte means nothing)
    uint8_t versionMajor = 0;    // 12, high byte
    uint8_t versionMinor = 0;    // 12, low byte
    int16_t irNoise = 0;         // 13 (Ush_ik)
    int16_t g36 = 0;             // 14 (G_36)
    int16_t g42 = 0;             // 15 (G_42): written back by command 9
    uint16_t serialNumber = 0;   // 16
    int16_t supplyTenths = 0;    // 17 (U_supply): tenths of a volt
    int16_t hv400Tenths = 0;     // 18 (U_400): the +400 V reading, tenths of a volt
    uint16_t accessState = 0;    // 19
    int16_t testCounter = 0;     // 20
    uint16_t configMark = 0;     // 21
    int16_t uvFaultHours = 0;    // 22 (T_UV_FAULT)

    // modeFlags
    bool fast() const { return modeFlags & 0x01; }
    bool far() const { return modeFlags & 0x02; }
    bool fireLatch() const { return modeFlags & 0x04; }
    bool fireRelay() const { return modeFlags & 0x08; }
    bool faultRelay() const { return modeFlags & 0x10; }
    bool heaterEnabled() const { return modeFlags & 0x20; }
    bool heaterMark() const { return modeFlags & 0x40; }
    bool faultLatch() const { return modeFlags & 0x80; }
    // alarmFlags
    bool fire() const { return alarmFlags & 0x01; }
    bool fault() const { return alarmFlags & 0x02; }
    bool dust() const { return alarmFlags & 0x04; }
    // channelFlags
    bool dustChannel() const { return channelFlags & 0x0001; }
    bool irChannel() const { return channelFlags & 0x0002; }
    bool uvChannel() const { return channelFlags & 0x0004; }
    // The three channel bits in the layout of ChannelMask.
    uint8_t channelBits() const { return uint8_t(channelFlags & 0x0007); }

    bool serviceAccess() const { return accessState == ServiceAccessValue; }
    bool configMarkOk() const { return configMark == ConfigMarkValue; }
};

// Reply offset of the high byte of status register n (1..24).
constexpr int statusRegisterOffset(int n) { return 3 + 2 * (n - 1); }

// The 24 status registers of a reply as they came, high byte first.
using StatusRegisters = std::array<uint16_t, 24>;
StatusRegisters statusRegisters(const FrameBuffer &buf);

// Decodes the reply area of buf at its fixed offsets. Checks nothing: a
// shorter CRC-correct reply is decoded from whatever the buffer holds there.
DeviceStatus decodeStatus(const FrameBuffer &buf);
