#include "sim/detector.h"
#include "sim/rtu.h"
#include "link/frames.h"

#include <QRandomGenerator>
#include <cmath>

namespace {

struct RegValue {
    int reg;
    uint16_t value;
};

// The settings a settings reset brings back.
constexpr uint8_t DefaultModes = modebit::FireRelay | modebit::FaultRelay | modebit::HeaterEnabled;
constexpr RegValue DefaultSettings[] = {
    {sreg::HeaterPoint, 25},   {sreg::DustThreshold, 6000}, {sreg::IrThreshold, 600},
    {sreg::UvThreshold, 500},  {sreg::Channels, 7},          {sreg::TUvFault, 8},
};

// The rest of the block as a detector leaves the factory.
constexpr RegValue DefaultReadings[] = {
    {sreg::Flags, uint16_t(DefaultModes << 8)},
    {sreg::Ukz, 2000},        {sreg::Ut, 235},          {sreg::Uik, 350},
    {sreg::Uuf, 300},         {sreg::VersionBuild, 103}, {sreg::Version, 0x0102},
    {sreg::UshIk, 120},       {sreg::G36, 100},          {sreg::G42, 100},
    {sreg::Serial, 8000},     {sreg::Supply, 240},       {sreg::U400, 4000},
    {sreg::Access, 0},        {sreg::TestCounter, 0},    {sreg::ConfigMark, ConfigMarkValue},
};

// A slow curve around `mean`, plus a little noise.
uint16_t wave(double seconds, double mean, double swing, double period, double phase, int noise)
{
    const double x = mean + swing * std::sin(2 * M_PI * seconds / period + phase);
    return uint16_t(std::lround(x) + QRandomGenerator::global()->bounded(-noise, noise + 1));
}

bool isSignalOrLimit(int n)
{
    return n == sreg::Ukz || n == sreg::DustThreshold || n == sreg::Uik || n == sreg::Uuf ||
           n == sreg::IrThreshold || n == sreg::UvThreshold || n == sreg::Channels;
}

} // namespace

Detector::Detector(uint8_t address, int baud, int index) : addr(address), rate(baud), index(index)
{
    restoreDefaults();
}

uint16_t Detector::reg(int n) const
{
    return n >= sreg::First && n <= sreg::Last ? regs[n] : 0;
}

void Detector::setRegister(int n, uint16_t value)
{
    if (n < sreg::First || n > sreg::Last)
        return;
    regs[n] = value;
    if (isSignalOrLimit(n))
        evaluateAlarms();
}

void Detector::setModeFlags(uint8_t bits)
{
    regs[sreg::Flags] = uint16_t(bits << 8 | alarmFlags());
}

void Detector::setAlarmFlags(uint8_t bits)
{
    regs[sreg::Flags] = uint16_t(modeFlags() << 8 | bits);
}

void Detector::restoreDefaults()
{
    regs.fill(0);
    for (const RegValue &rv : DefaultReadings)
        regs[rv.reg] = rv.value;
    resetSettings();
    hart = false;
    calibration = 0;
}

void Detector::resetSettings()
{
    for (const RegValue &rv : DefaultSettings)
        regs[rv.reg] = rv.value;
    setModeFlags(DefaultModes);
    evaluateAlarms();
}

void Detector::resetDustSettings()
{
    setRegister(sreg::DustThreshold, 6000);
}

void Detector::advanceSignals(double seconds)
{
    const double phase = 1.7 * index;
    regs[sreg::Uik] = wave(seconds, 350, 200, 40, phase, 4);
    regs[sreg::Uuf] = wave(seconds, 300, 150, 55, phase + 0.9, 4);
    regs[sreg::Ukz] = wave(seconds, 2000, 100, 90, phase, 10);
    evaluateAlarms();
}

void Detector::evaluateAlarms()
{
    const uint16_t ch = regs[sreg::Channels];
    const auto above = [this](int signal, int limit) {
        return int16_t(regs[signal]) >= int16_t(regs[limit]);
    };
    const bool fire = ((ch & channelbit::Ir) && above(sreg::Uik, sreg::IrThreshold)) ||
                      ((ch & channelbit::Uv) && above(sreg::Uuf, sreg::UvThreshold));
    const bool dust = (ch & channelbit::Dust) && above(sreg::Ukz, sreg::DustThreshold);

    uint8_t alarms = alarmFlags();
    if (fire)
        alarms |= alarmbit::Fire;
    else if (!(modeFlags() & modebit::FireLatch))
        alarms &= uint8_t(~alarmbit::Fire);
    alarms = dust ? (alarms | alarmbit::Dust) : (alarms & uint8_t(~alarmbit::Dust));
    setAlarmFlags(alarms);
}

QByteArray Detector::handle(const QByteArray &request)
{
    switch (uint8_t(request[1])) {
    case FnReadHolding:
        return readRegisters(request);
    case FnWriteSingle:
        return writeRegister(request);
    default:
        return rtu::exceptionReply(addr, uint8_t(request[1]), rtu::ExIllegalFunction);
    }
}

QByteArray Detector::readRegisters(const QByteArray &request) const
{
    const int start = rtu::word(request, 2);
    const int count = rtu::word(request, 4);
    if (count < 1 || count > 125)
        return rtu::exceptionReply(addr, FnReadHolding, rtu::ExIllegalValue);
    if (start < sreg::First || start + count - 1 > sreg::Last)
        return rtu::exceptionReply(addr, FnReadHolding, rtu::ExIllegalAddress);
    QByteArray body;
    body.append(char(addr));
    body.append(char(FnReadHolding));
    body.append(char(2 * count));
    for (int n = start; n < start + count; ++n) {
        body.append(char(regs[n] >> 8));
        body.append(char(regs[n] & 0xFF));
    }
    return rtu::withCrc(body);
}

QByteArray Detector::writeRegister(const QByteArray &request)
{
    const uint8_t oldAddress = addr;
    const uint8_t code = applyWrite(*this, rtu::word(request, 2), rtu::word(request, 4));
    if (code != 0)
        return rtu::exceptionReply(oldAddress, FnWriteSingle, code);
    return request;
}
