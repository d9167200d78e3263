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
    d.setRegister(sreg::Access, v == d.password() ? ServiceAccessValue : 0);
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

// The registers that do more than store a value. A register that only
// stores is found in the register map, and refuses a value outside the
// range the command table gives the command that writes it (a threshold
// above 32767, for one), as the detector would, with "illegal data value".
struct WriteRule {
    uint16_t reg;
    Handler apply;
};

constexpr WriteRule Rules[] = {
    {wreg::AddressAndSpeed, writeAddressAndBaud},
    {wreg::FireReset, fireReset},
    {wreg::Channels, channelsOrReset},
    {wreg::IrGainStep, step<sreg::G36>},
    {wreg::UvGainStep, step<sreg::G42>},
    {wreg::Calibration, calibration},
    {wreg::Modes, toggleMode},
    {wreg::DustAutoCalibration, acceptOnly<1>},
    {wreg::Password, password},
    {wreg::ResetCounters, resetCounters},
    {wreg::ResetDustSettings, resetDust},
    {wreg::Hart, hartOn},
};

bool inCommandRange(uint16_t reg, uint16_t value)
{
    const Command typed = typedValueCommand(reg);
    return typed == Command::None || wireValueInRange(typed, value);
}

} // namespace

uint8_t applyWrite(Detector &d, uint16_t reg, uint16_t value)
{
    for (const WriteRule &rule : Rules)
        if (rule.reg == reg)
            return inCommandRange(reg, value) ? rule.apply(d, value) : BadValue;
    const int stored = statusRegisterWrittenBy(reg);
    if (stored < 0)
        return rtu::ExIllegalAddress;
    if (!inCommandRange(reg, value))
        return BadValue;
    d.setRegister(stored, value);
    return Ok;
}
