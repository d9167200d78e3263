// The write registers of the detector and what each does to it.
#include "detector/commandtable.h"
#include "sim/detector.h"
#include "sim/rtu.h"

namespace {

using Handler = uint8_t (*)(Detector &, uint16_t);

constexpr uint8_t Ok = 0;
constexpr uint8_t BadValue = rtu::ExIllegalValue;

int baudOfCode(uint8_t code)
{
    switch (code) {
    case 1: case 2: case 4: case 8: case 16:
        return 1200 * code;
    default:
        return 0;
    }
}

// High byte the new address, low byte the speed code; the caller answers
// before the new address and speed count.
uint8_t writeAddressAndBaud(Detector &d, uint16_t v)
{
    const uint8_t address = uint8_t(v >> 8);
    const int baud = baudOfCode(uint8_t(v & 0xFF));
    if (!valueInRange(Command::WriteAddress, address) || baud == 0)
        return BadValue;
    d.setAddress(address);
    d.setBaud(baud);
    return Ok;
}

uint8_t fireReset(Detector &d, uint16_t v)
{
    if (v != 1)
        return BadValue;
    d.setAlarmFlags(d.alarmFlags() & uint8_t(~alarmbit::Fire));
    return Ok;
}

template <int StatusReg>
uint8_t store(Detector &d, uint16_t v)
{
    d.setRegister(StatusReg, v);
    return Ok;
}

// 768 + bits sets the channel bits; 256 brings back the default settings.
uint8_t channelsOrReset(Detector &d, uint16_t v)
{
    if (v >> 8 == 3) {
        d.setRegister(sreg::Channels, v & 0x7);
        return Ok;
    }
    if (v == 256) {
        d.resetSettings();
        return Ok;
    }
    return BadValue;
}

// 1 steps the value up, 2 down.
template <int StatusReg>
uint8_t step(Detector &d, uint16_t v)
{
    if (v != 1 && v != 2)
        return BadValue;
    d.setRegister(StatusReg, uint16_t(d.reg(StatusReg) + (v == 1 ? 1 : -1)));
    return Ok;
}

// 1 calibration on, 2 off, 3 test on (counted), 4 test off.
uint8_t calibration(Detector &d, uint16_t v)
{
    if (v < 1 || v > 4)
        return BadValue;
    d.setCalibrationStep(v);
    if (v == 3)
        d.setRegister(sreg::TestCounter, uint16_t(d.reg(sreg::TestCounter) + 1));
    return Ok;
}

// Values 1..7 toggle one mode bit each.
uint8_t toggleMode(Detector &d, uint16_t v)
{
    static constexpr uint8_t bits[] = {modebit::Fast,       modebit::Far,           modebit::FireLatch,
                                       modebit::FireRelay,  modebit::FaultRelay,    modebit::HeaterEnabled,
                                       modebit::FaultLatch};
    if (v < 1 || v > 7)
        return BadValue;
    d.setModeFlags(d.modeFlags() ^ bits[v - 1]);
    d.evaluateAlarms(); // a fire held only by the latch ends with it
    return Ok;
}

template <uint16_t Wanted>
uint8_t acceptOnly(Detector &, uint16_t v)
{
    return v == Wanted ? Ok : BadValue;
}

uint8_t password(Detector &d, uint16_t v)
{
    d.setRegister(sreg::Access, v == d.password() ? Detector::AccessGranted : 0);
    return Ok;
}

uint8_t resetCounters(Detector &d, uint16_t v)
{
    if (v != 0)
        return BadValue;
    d.setRegister(sreg::TestCounter, 0);
    return Ok;
}

uint8_t resetDust(Detector &d, uint16_t v)
{
    if (v != 0)
        return BadValue;
    d.resetDustSettings();
    return Ok;
}

uint8_t hartOn(Detector &d, uint16_t v)
{
    if (v != 1)
        return BadValue;
    d.setHartOn(true);
    return Ok;
}

// A register that takes a typed value refuses one outside the range the
// command table gives that value (a threshold above 32767, for one), as the
// detector would, with "illegal data value".
struct WriteRule {
    uint16_t reg;
    Handler apply;
    Command ranged = Command::None;
};

constexpr WriteRule Rules[] = {
    {0, writeAddressAndBaud},
    {1, fireReset},
    {3, store<sreg::HeaterPoint>, Command::WriteHeaterPoint},
    {4, store<sreg::IrThreshold>, Command::WriteIrThreshold},
    {5, store<sreg::UvThreshold>, Command::WriteUvThreshold},
    {6, channelsOrReset},
    {7, store<sreg::DustThreshold>, Command::WriteDustThreshold},
    {9, store<sreg::G42>}, // UV calibration with the G_42 value
    {11, step<sreg::G36>},
    {12, step<sreg::G42>},
    {13, calibration},
    {14, store<sreg::Serial>, Command::WriteSerialNumber},
    {15, toggleMode},
    {16, acceptOnly<1>}, // dust channel auto-calibration
    {17, store<sreg::ConfigMark>},
    {18, password, Command::EnterPassword},
    {19, resetCounters},
    {20, resetDust},
    {22, store<sreg::TUvFault>, Command::WriteUvFaultTime},
    {24, hartOn},
};

} // namespace

uint8_t applyWrite(Detector &d, uint16_t reg, uint16_t value)
{
    for (const WriteRule &rule : Rules) {
        if (rule.reg != reg)
            continue;
        if (rule.ranged != Command::None && !wireValueInRange(rule.ranged, value))
            return BadValue;
        return rule.apply(d, value);
    }
    return rtu::ExIllegalAddress;
}
