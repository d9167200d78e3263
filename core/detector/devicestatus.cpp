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
    s.ModeFlags = buf.at(statusRegisterOffset(1));
    s.AlarmFlags = buf.at(statusRegisterOffset(1) + 1);
    s.Ukz = signedWord(buf, 2);
    s.HeaterPoint = signedWord(buf, 3);
    s.Up_kz = signedWord(buf, 4);
    s.Ut = signedWord(buf, 5);
    s.Uik = signedWord(buf, 6);
    s.Uuf = signedWord(buf, 7);
    s.Up_ik = signedWord(buf, 8);
    s.Up_uf = signedWord(buf, 9);
    s.ChannelFlags = word(buf, 10);
    s.VersionBuild = buf.at(statusRegisterOffset(11) + 1);
    s.VersionMajor = buf.at(statusRegisterOffset(12));
    s.VersionMinor = buf.at(statusRegisterOffset(12) + 1);
    s.Ush_ik = signedWord(buf, 13);
    s.G_36 = signedWord(buf, 14);
    s.G_42 = signedWord(buf, 15);
    s.SERIAL = word(buf, 16);
    s.U_supply = signedWord(buf, 17);
    s.U_400 = signedWord(buf, 18);
    s.AccessState = word(buf, 19);
    s.TestCounter = signedWord(buf, 20);
    s.ConfigMark = word(buf, 21);
    s.T_UV_FAULT = signedWord(buf, 22);
    return s;
}
