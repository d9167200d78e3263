#include "detector/devicestatus.h"
#include "link/frames.h"

namespace {
uint16_t word(const FrameBuffer &buf, int reg)
{
    const int at = statusRegisterOffset(reg);
    return uint16_t(buf.at(at) << 8 | buf.at(at + 1));
}

int16_t signedWord(const FrameBuffer &buf, int reg)
{
    return int16_t(word(buf, reg));
}
} // namespace

StatusRegisters statusRegisters(const FrameBuffer &buf)
{
    StatusRegisters registers{};
    for (int n = sreg::First; n <= sreg::Last; ++n)
        registers[std::size_t(n - sreg::First)] = word(buf, n);
    return registers;
}

DeviceStatus decodeStatus(const FrameBuffer &buf)
{
    DeviceStatus s;
    s.modeFlags = buf.at(statusRegisterOffset(sreg::Flags));
    s.alarmFlags = buf.at(statusRegisterOffset(sreg::Flags) + 1);
    s.dustSignal = signedWord(buf, sreg::Ukz);
    s.heaterPoint = signedWord(buf, sreg::HeaterPoint);
    s.dustThreshold = signedWord(buf, sreg::DustThreshold);
    s.temperatureTenths = signedWord(buf, sreg::Ut);
    s.irSignal = signedWord(buf, sreg::Uik);
    s.uvSignal = signedWord(buf, sreg::Uuf);
    s.irThreshold = signedWord(buf, sreg::IrThreshold);
    s.uvThreshold = signedWord(buf, sreg::UvThreshold);
    s.channelFlags = word(buf, sreg::Channels);
    s.versionBuild = buf.at(statusRegisterOffset(sreg::VersionBuild) + 1);
    s.versionMajor = buf.at(statusRegisterOffset(sreg::Version));
    s.versionMinor = buf.at(statusRegisterOffset(sreg::Version) + 1);
    s.irNoise = signedWord(buf, sreg::UshIk);
    s.g36 = signedWord(buf, sreg::G36);
    s.g42 = signedWord(buf, sreg::G42);
    s.serialNumber = word(buf, sreg::Serial);
    s.supplyTenths = signedWord(buf, sreg::Supply);
    s.hv400Tenths = signedWord(buf, sreg::U400);
    s.accessState = word(buf, sreg::Access);
    s.testCounter = signedWord(buf, sreg::TestCounter);
    s.configMark = word(buf, sreg::ConfigMark);
    s.uvFaultHours = signedWord(buf, sreg::TUvFault);
    return s;
}
