#pragma once
#include "detector/registermap.h"
#include "sim/fault.h"

#include <QByteArray>
#include <array>
#include <cstdint>

// One simulated flame detector: its status block, its settings, and the
// answers it gives to read and write requests addressed to it.
class Detector {
public:
    static constexpr uint16_t DefaultPassword = 1234;

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
