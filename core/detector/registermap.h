#pragma once
#include <array>
#include <cstdint>

// The detector's registers, written out once. Status decoding, the command
// table and the simulator take their numbers from here, so a change of the
// map is one row. The detector has two spaces: the status block that
// function 3 reads (registers 1..24) and the registers that function 6
// writes (0..24); the same number means different things in each.

// Status register 19 holds this while the device grants service access.
inline constexpr uint16_t ServiceAccessValue = 0x6B4D;
// Status register 21 must hold this; otherwise the tool writes it (command 36).
inline constexpr uint16_t ConfigMarkValue = 24679;

// Numbers of the status registers (the names of the detector's documentation
// in brackets where it has one).
namespace sreg {
inline constexpr int Flags = 1;          // high byte mode bits, low byte alarm bits
inline constexpr int Ukz = 2;            // dust signal (Ukz)
inline constexpr int HeaterPoint = 3;    // heater switch-on point, whole °C
inline constexpr int DustThreshold = 4;  // (Up_kz)
inline constexpr int Ut = 5;             // temperature, tenths of a degree (Ut)
inline constexpr int Uik = 6;            // IR signal (Uik)
inline constexpr int Uuf = 7;            // UV signal (Uuf)
inline constexpr int IrThreshold = 8;    // (Up_ik)
inline constexpr int UvThreshold = 9;    // (Up_uf)
inline constexpr int Channels = 10;      // channel enable bits 0-2
inline constexpr int VersionBuild = 11;  // low byte; the high byte means nothing
inline constexpr int Version = 12;       // high byte major, low byte minor
inline constexpr int UshIk = 13;         // IR noise (Ush_ik)
inline constexpr int G36 = 14;           // (G_36)
inline constexpr int G42 = 15;           // (G_42): written back by the UV calibration
inline constexpr int Serial = 16;
inline constexpr int Supply = 17;        // tenths of a volt (U_supply)
inline constexpr int U400 = 18;          // the +400 V reading, tenths of a volt (U_400)
inline constexpr int Access = 19;        // ServiceAccessValue while access is granted
inline constexpr int TestCounter = 20;
inline constexpr int ConfigMark = 21;    // ConfigMarkValue when configured
inline constexpr int TUvFault = 22;      // UV fault time, whole hours (T_UV_FAULT)
inline constexpr int First = 1;
inline constexpr int Last = 24;          // 23 and 24 are read but mean nothing
inline constexpr int Count = Last - First + 1;
} // namespace sreg

// Bits of the high byte of status register 1.
namespace modebit {
inline constexpr uint8_t Fast = 0x01, Far = 0x02, FireLatch = 0x04, FireRelay = 0x08,
                         FaultRelay = 0x10, HeaterEnabled = 0x20, HeaterMark = 0x40, FaultLatch = 0x80;
}
// Bits of the low byte of status register 1.
namespace alarmbit {
inline constexpr uint8_t Fire = 0x01, Fault = 0x02, Dust = 0x04;
}
// Bits of status register 10 (and of the channel mask the tool keeps).
namespace channelbit {
inline constexpr uint16_t Dust = 0x1, Ir = 0x2, Uv = 0x4;
}

// Numbers of the write registers.
namespace wreg {
inline constexpr uint16_t AddressAndSpeed = 0; // high byte the address, low byte the baud code
inline constexpr uint16_t FireReset = 1;
inline constexpr uint16_t HeaterPoint = 3;
inline constexpr uint16_t IrThreshold = 4;
inline constexpr uint16_t UvThreshold = 5;
inline constexpr uint16_t Channels = 6;        // 768 + enable bits; 256 restores the settings
inline constexpr uint16_t DustThreshold = 7;
inline constexpr uint16_t UvCalibration = 9;   // takes the detector's own G_42
inline constexpr uint16_t IrGainStep = 11;     // 1 up, 2 down
inline constexpr uint16_t UvGainStep = 12;     // 1 up, 2 down
inline constexpr uint16_t Calibration = 13;    // 1 on, 2 off, 3 test on, 4 test off
inline constexpr uint16_t Serial = 14;
inline constexpr uint16_t Modes = 15;          // 1..7 toggle one mode bit each
inline constexpr uint16_t DustAutoCalibration = 16;
inline constexpr uint16_t ConfigMark = 17;
inline constexpr uint16_t Password = 18;
inline constexpr uint16_t ResetCounters = 19;
inline constexpr uint16_t ResetDustSettings = 20;
inline constexpr uint16_t UvFaultTime = 22;
inline constexpr uint16_t Hart = 24;
} // namespace wreg

enum class RegisterType : uint8_t {
    Signed,   // a 16-bit two's complement number
    Unsigned, // a 16-bit number
    Bits,     // flags
    Bytes,    // two bytes of different meaning
};

// One status register: where decoding reads it, and which write register
// (if any) sets it.
struct StatusRegisterRow {
    int number;
    const char *name;
    RegisterType type;
    int writtenBy; // a write register that stores its value here, -1 none
};

inline constexpr std::array<StatusRegisterRow, 22> StatusRegisterMap{{
    {sreg::Flags, "Flags", RegisterType::Bits, -1},
    {sreg::Ukz, "Ukz", RegisterType::Signed, -1},
    {sreg::HeaterPoint, "HeaterPoint", RegisterType::Signed, wreg::HeaterPoint},
    {sreg::DustThreshold, "Up_kz", RegisterType::Signed, wreg::DustThreshold},
    {sreg::Ut, "Ut", RegisterType::Signed, -1},
    {sreg::Uik, "Uik", RegisterType::Signed, -1},
    {sreg::Uuf, "Uuf", RegisterType::Signed, -1},
    {sreg::IrThreshold, "Up_ik", RegisterType::Signed, wreg::IrThreshold},
    {sreg::UvThreshold, "Up_uf", RegisterType::Signed, wreg::UvThreshold},
    {sreg::Channels, "Channels", RegisterType::Bits, -1},
    {sreg::VersionBuild, "VersionBuild", RegisterType::Bytes, -1},
    {sreg::Version, "Version", RegisterType::Bytes, -1},
    {sreg::UshIk, "Ush_ik", RegisterType::Signed, -1},
    {sreg::G36, "G_36", RegisterType::Signed, -1},
    {sreg::G42, "G_42", RegisterType::Signed, wreg::UvCalibration},
    {sreg::Serial, "Serial", RegisterType::Unsigned, wreg::Serial},
    {sreg::Supply, "U_supply", RegisterType::Signed, -1},
    {sreg::U400, "U_400", RegisterType::Signed, -1},
    {sreg::Access, "Access", RegisterType::Unsigned, -1},
    {sreg::TestCounter, "TestCounter", RegisterType::Signed, -1},
    {sreg::ConfigMark, "ConfigMark", RegisterType::Unsigned, wreg::ConfigMark},
    {sreg::TUvFault, "T_UV_FAULT", RegisterType::Signed, wreg::UvFaultTime},
}};

// The status register a write register stores its value into, or -1 when a
// write there does something else (a command, a toggle, a step).
constexpr int statusRegisterWrittenBy(uint16_t writeRegister)
{
    for (const StatusRegisterRow &row : StatusRegisterMap)
        if (row.writtenBy == int(writeRegister))
            return row.number;
    return -1;
}
