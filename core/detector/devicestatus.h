#pragma once
#include <array>
#include <cstdint>

struct FrameBuffer;

// Register 19 holds this while the device grants service access.
inline constexpr uint16_t ServiceAccessValue = 0x6B4D;
// Register 21 must hold this; otherwise the tool writes it (command 36).
inline constexpr uint16_t ConfigMarkValue = 24679;

// The status block of 24 registers read from register 1, decoded. One record
// for the whole program: whichever device answered last overwrites it.
struct DeviceStatus {
    uint8_t ModeFlags = 0;      // register 1, high byte
    uint8_t AlarmFlags = 0;     // register 1, low byte
    int16_t Ukz = 0;            // 2: dust channel signal
    int16_t HeaterPoint = 0;    // 3: heater switch-on point, whole °C
    int16_t Up_kz = 0;          // 4: dust channel threshold
    int16_t Ut = 0;             // 5: tenths
    int16_t Uik = 0;            // 6: IR signal
    int16_t Uuf = 0;            // 7: UV signal
    int16_t Up_ik = 0;          // 8: IR threshold
    int16_t Up_uf = 0;          // 9: UV threshold
    uint16_t ChannelFlags = 0;  // 10: channel enable bits 0-2
    uint8_t VersionBuild = 0;   // 11, low byte (the high byte means nothing)
    uint8_t VersionMajor = 0;   // 12, high byte
    uint8_t VersionMinor = 0;   // 12, low byte
    int16_t Ush_ik = 0;         // 13
    int16_t G_36 = 0;           // 14
    int16_t G_42 = 0;           // 15: written back by command 9
    uint16_t SERIAL = 0;        // 16: serial number
    int16_t U_supply = 0;       // 17: tenths of a volt
    int16_t U_400 = 0;          // 18: tenths of a volt
    uint16_t AccessState = 0;   // 19
    int16_t TestCounter = 0;    // 20
    uint16_t ConfigMark = 0;    // 21
    int16_t T_UV_FAULT = 0;     // 22: hours

    // ModeFlags
    bool Fast() const { return ModeFlags & 0x01; }
    bool Far() const { return ModeFlags & 0x02; }
    bool FireLatch() const { return ModeFlags & 0x04; }
    bool FireRelay() const { return ModeFlags & 0x08; }
    bool FaultRelay() const { return ModeFlags & 0x10; }
    bool HeaterEnabled() const { return ModeFlags & 0x20; }
    bool HeaterMark() const { return ModeFlags & 0x40; }
    bool FaultLatch() const { return ModeFlags & 0x80; }
    // AlarmFlags
    bool Fire() const { return AlarmFlags & 0x01; }
    bool Fault() const { return AlarmFlags & 0x02; }
    bool Dust() const { return AlarmFlags & 0x04; }
    // ChannelFlags
    bool DustChannel() const { return ChannelFlags & 0x0001; }
    bool IrChannel() const { return ChannelFlags & 0x0002; }
    bool UvChannel() const { return ChannelFlags & 0x0004; }
    // The three channel bits in the layout of ChannelMask.
    uint8_t channelBits() const { return uint8_t(ChannelFlags & 0x0007); }

    bool serviceAccess() const { return AccessState == ServiceAccessValue; }
    bool configMarkOk() const { return ConfigMark == ConfigMarkValue; }
};

// Reply offset of the high byte of status register n (1..24).
constexpr int statusRegisterOffset(int n) { return 3 + 2 * (n - 1); }

// The 24 status registers of a reply as they came, high byte first.
using StatusRegisters = std::array<uint16_t, 24>;
StatusRegisters statusRegisters(const FrameBuffer &buf);

// Decodes the reply area of buf at its fixed offsets. Checks nothing: a
// shorter CRC-correct reply is decoded from whatever the buffer holds there.
DeviceStatus decodeStatus(const FrameBuffer &buf);
