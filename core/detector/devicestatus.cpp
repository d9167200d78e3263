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
    for (int n = 1; n <= int(registers.size()); ++n)
        registers[std::size_t(n - 1)] = word(buf, n);
    return registers;
}

DeviceStatus decodeStatus(const FrameBuffer &buf)
{
    DeviceStatus s;
    s.modeFlags = buf.at(statusRegisterOffset(1));
    s.alarmFlags = buf.at(statusRegisterOffset(1) + 1);
    s.dustSignal = signedWord(buf, 2);
    s.heaterPoint = signedWord(buf, 3);
    s.dustThreshold = signedWord(buf, 4);
    s.temperatureTenths = signedWord(buf, 5);
    s.irSignal = signedWord(buf, 6);
    s.uvSignal = signedWord(buf, 7);
    s.irThreshold = signedWord(buf, 8);
    s.uvThreshold = signedWord(buf, 9);
    s.channelFlags = word(buf, 10);
    s.versionBuild = buf.at(statusRegisterOffset(11) + 1);
    s.versionMajor = buf.at(statusRegisterOffset(12));
    s.versionMinor = buf.at(statusRegisterOffset(12) + 1);
    s.irNoise = signedWord(buf, 13);
    s.g36 = signedWord(buf, 14);
    s.g42 = signedWord(buf, 15);
    s.serialNumber = word(buf, 16);
    s.supplyTenths = signedWord(buf, 17);
    s.hv400Tenths = signedWord(buf, 18);
    s.accessState = word(buf, 19);
    s.testCounter = signedWord(buf, 20);
    s.configMark = word(buf, 21);
    s.uvFaultHours = signedWord(buf, 22);
    return s;
}
