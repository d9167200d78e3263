#include "link/framerecord.h"

#include <array>

namespace {
struct VerdictInfo {
    FrameVerdict verdict;
    const char16_t *name;
};
constexpr std::array<VerdictInfo, 9> Verdicts{{
    {FrameVerdict::None, u""},
    {FrameVerdict::Status, u"статус"},
    {FrameVerdict::Echo, u"эхо"},
    {FrameVerdict::Exception, u"исключение"},
    {FrameVerdict::Unexpected, u"неожиданный"},
    {FrameVerdict::CrcError, u"ошибка CRC"},
    {FrameVerdict::Cut, u"обрыв"},
    {FrameVerdict::Timeout, u"тайм-аут"},
    {FrameVerdict::Noise, u"шум"},
}};
} // namespace

QString verdictName(FrameVerdict verdict)
{
    for (const VerdictInfo &v : Verdicts)
        if (v.verdict == verdict)
            return QString::fromUtf16(v.name);
    return {};
}

QString verdictText(const FrameRecord &r)
{
    const QString name = verdictName(r.verdict);
    if (r.verdict == FrameVerdict::Exception)
        return name + u' ' + QString::number(r.exceptionCode);
    if (r.verdict == FrameVerdict::Cut)
        return QStringLiteral("%1: %2 из %3").arg(name).arg(r.bytes.size()).arg(r.expectedLength);
    return name;
}

QString directionText(FrameDirection direction)
{
    switch (direction) {
    case FrameDirection::Request:
        return QStringLiteral("→");
    case FrameDirection::Reply:
        return QStringLiteral("←");
    case FrameDirection::Stray:
        break;
    }
    return QStringLiteral("~");
}

QString msText(double ms)
{
    if (ms < 0)
        return {};
    return QString::number(ms, 'f', 1).replace(u'.', u',');
}
