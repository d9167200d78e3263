#pragma once
#include "sim/fault.h"

#include <QByteArray>
#include <array>
#include <cstdint>

// Numbers of the status registers that function 3 reads (block 1..24).
namespace sreg {
inline constexpr int Flags = 1; // high byte mode bits, low byte alarm bits
inline constexpr int Ukz = 2;
inline constexpr int HeaterPoint = 3;
inline constexpr int DustThreshold = 4;
inline constexpr int Ut = 5;
inline constexpr int Uik = 6;
inline constexpr int Uuf = 7;
inline constexpr int IrThreshold = 8;
inline constexpr int UvThreshold = 9;
inline constexpr int Channels = 10;
inline constexpr int VersionBuild = 11;
inline constexpr int Version = 12;
inline constexpr int UshIk = 13;
inline constexpr int G36 = 14;
inline constexpr int G42 = 15;
inline constexpr int Serial = 16;
inline constexpr int Supply = 17;
inline constexpr int U400 = 18;
inline constexpr int Access = 19;
inline constexpr int TestCounter = 20;
inline constexpr int ConfigMark = 21;
inline constexpr int TUvFault = 22;
inline constexpr int First = 1;
inline constexpr int Last = 24;
} // namespace sreg

// Bits of the high byte of register 1.
namespace modebit {
inline constexpr uint8_t Fast = 0x01, Far = 0x02, FireLatch = 0x04, FireRelay = 0x08,
                         FaultRelay = 0x10, HeaterEnabled = 0x20, HeaterMark = 0x40, FaultLatch = 0x80;
}
// Bits of the low byte of register 1.
namespace alarmbit {
inline constexpr uint8_t Fire = 0x01, Fault = 0x02, Dust = 0x04;
}
// Bits of register 10.
namespace channelbit {
inline constexpr uint16_t Dust = 0x1, Ir = 0x2, Uv = 0x4;
}

// One simulated flame detector: its status block, its settings, and the
// answers it gives to read and write requests addressed to it.
class Detector {
public:
    static constexpr uint16_t DefaultPassword = 1234;
    static constexpr uint16_t AccessGranted = 0x6B4D;

    // `index` only staggers the signal curves of several detectors.
    Detector(uint8_t address, int baud, int index = 0);

    uint8_t address() const { return addr; }
    int baud() const { return rate; }
    void setAddress(uint8_t address) { addr = address; }
    void setBaud(int baud) { rate = baud; }

    // Status register n, 1..24; anything else reads 0 / is ignored. Changing
    // a signal, a threshold or the channel bits re-evaluates the alarm bits;
    // writing register 1 sets the bits as given.
    uint16_t reg(int n) const;
    void setRegister(int n, uint16_t value);
    uint8_t modeFlags() const { return uint8_t(reg(sreg::Flags) >> 8); }
    uint8_t alarmFlags() const { return uint8_t(reg(sreg::Flags) & 0xFF); }
    void setModeFlags(uint8_t bits);
    void setAlarmFlags(uint8_t bits);

    void setPassword(uint16_t value) { pass = value; }
    uint16_t password() const { return pass; }
    bool hartOn() const { return hart; }
    void setHartOn(bool on) { hart = on; }
    // Last value written to the calibration register (1..4), 0 before any.
    int calibrationStep() const { return calibration; }
    void setCalibrationStep(int step) { calibration = step; }

    // A fault that spoils this detector's replies; it wins over a global one.
    Fault &fault() { return own; }
    void setFault(const Fault &f) { own = f; }
    void clearFault() { own = {}; }

    // Power-on state: default status block, settings and password kept.
    void restoreDefaults();
    // Default thresholds, heater point, channels, modes and UV fault time.
    void resetSettings();
    void resetDustSettings();
    // Puts the IR, UV and dust signals where their curves are `seconds` after start.
    void advanceSignals(double seconds);
    // Sets or clears the fire and dust alarm bits from the signals.
    void evaluateAlarms();

    // The reply to a request with a good CRC addressed to this detector. A
    // write of a new address or speed takes effect after the reply is built,
    // so the echo still carries the old address.
    QByteArray handle(const QByteArray &request);

private:
    QByteArray readRegisters(const QByteArray &request) const;
    QByteArray writeRegister(const QByteArray &request);

    uint8_t addr;
    int rate;
    int index;
    std::array<uint16_t, sreg::Last + 1> regs{};
    uint16_t pass = DefaultPassword;
    bool hart = false;
    int calibration = 0;
    Fault own;
};

// Applies a write of `value` to write register `reg`; returns 0 when accepted,
// otherwise the Modbus exception code to answer with.
uint8_t applyWrite(Detector &d, uint16_t reg, uint16_t value);
