#include "sim/fault.h"
#include "sim/rtu.h"

#include <QRegularExpression>
#include <array>

namespace {

struct KindInfo {
    FaultKind kind;
    const char *name;
    int defaultArg;
};

constexpr std::array<KindInfo, 10> Kinds{{
    {FaultKind::Silence, "silence", 0},
    {FaultKind::BadCrc, "crc", 0},
    {FaultKind::Truncate, "truncate", 5},
    {FaultKind::Exception, "exception", rtu::ExDeviceFailure},
    {FaultKind::Noise, "noise", 4},
    {FaultKind::Slow, "slow", 1000},
    {FaultKind::Trailing, "trailing", 3},
    {FaultKind::Drop, "drop", 0},
    {FaultKind::Late, "late", 100},
    {FaultKind::Foreign, "foreign", 99},
}};

// A fixed byte pattern, so that a spoiled reply is the same on every run.
QByteArray filler(int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes.append(char(0xA5 + 0x3B * i));
    return bytes;
}

} // namespace

void Fault::consume()
{
    if (count > 0 && --count == 0)
        kind = FaultKind::None;
}

int defaultArg(FaultKind kind)
{
    for (const KindInfo &k : Kinds)
        if (k.kind == kind)
            return k.defaultArg;
    return 0;
}

QString faultKindName(FaultKind kind)
{
    for (const KindInfo &k : Kinds)
        if (k.kind == kind)
            return QString::fromLatin1(k.name);
    return QStringLiteral("none");
}

Outgoing applyFault(FaultKind kind, int arg, const QByteArray &reply)
{
    if (arg <= 0)
        arg = defaultArg(kind);
    Outgoing out{reply};
    switch (kind) {
    case FaultKind::None:
        break;
    case FaultKind::Silence:
        out.bytes.clear();
        break;
    case FaultKind::BadCrc:
        out.bytes[reply.size() - 1] = char(reply[reply.size() - 1] ^ 0xFF);
        out.bytes[reply.size() - 2] = char(reply[reply.size() - 2] ^ 0xFF);
        break;
    case FaultKind::Truncate:
        out.bytes.truncate(qMin<qsizetype>(arg, reply.size() - 1));
        break;
    case FaultKind::Exception:
        out.bytes = rtu::exceptionReply(uint8_t(reply[0]), uint8_t(reply[1]) & 0x7F, uint8_t(arg));
        break;
    case FaultKind::Noise:
        out.bytes.prepend(filler(arg));
        break;
    case FaultKind::Slow:
        out.spreadMs = arg;
        break;
    case FaultKind::Trailing:
        out.bytes.append(filler(arg));
        break;
    case FaultKind::Drop:
        out.bytes.clear();
        out.dropLine = true;
        break;
    case FaultKind::Late:
        out.delayMs = arg;
        break;
    case FaultKind::Foreign:
        out.bytes = reply.left(reply.size() - 2);
        out.bytes[0] = char(arg);
        out.bytes = rtu::withCrc(out.bytes);
        break;
    }
    return out;
}

std::optional<FaultOption> parseFaultOption(const QString &text)
{
    static const QRegularExpression re(
        QStringLiteral("^(?:(\\d{1,3})/)?([a-z]+)(?::(\\d{1,6}))?(?:\\*(\\d{1,6}))?$"));
    const QRegularExpressionMatch m = re.match(text.trimmed().toLower());
    if (!m.hasMatch())
        return std::nullopt;
    FaultOption option;
    option.address = m.captured(1).isEmpty() ? 0 : m.captured(1).toInt();
    if (option.address > 247)
        return std::nullopt;
    for (const KindInfo &k : Kinds)
        if (m.captured(2) == QLatin1String(k.name))
            option.fault.kind = k.kind;
    if (option.fault.kind == FaultKind::None)
        return std::nullopt;
    option.fault.arg = m.captured(3).isEmpty() ? 0 : m.captured(3).toInt();
    option.fault.count = m.captured(4).isEmpty() ? -1 : m.captured(4).toInt();
    if (option.fault.count == 0)
        return std::nullopt;
    return option;
}
