#include "detector/replykind.h"
#include "link/frames.h"
#include "link/wirelines.h"
#include <algorithm>

namespace {
constexpr uint8_t StatusByteCount = 48;

// Another detector's frame (a late answer, a second master's) is never taken for this one's.
bool fromTarget(const FrameBuffer &buf)
{
    return buf.at(0) == buf.request()[0];
}

bool isStatus(const FrameBuffer &buf, uint8_t count)
{
    return count == ExpectedReplyLength && fromTarget(buf) && buf.at(1) == FnReadHolding
        && buf.at(2) == StatusByteCount;
}

bool isEcho(const FrameBuffer &buf, uint8_t count)
{
    return count == RequestLength
        && std::equal(buf.request(), buf.request() + RequestLength, buf.reply());
}

bool isException(const FrameBuffer &buf, uint8_t count)
{
    return count == ExceptionReplyLength && fromTarget(buf) && (buf.at(1) & ExceptionBit);
}
} // namespace

ReplyKind classifyReply(const FrameBuffer &buf, uint8_t count, bool wasStatusRead)
{
    if (wasStatusRead ? isStatus(buf, count) : isEcho(buf, count))
        return wasStatusRead ? ReplyKind::Status : ReplyKind::Echo;
    if (isException(buf, count))
        return ReplyKind::Exception;
    return ReplyKind::Unexpected;
}

QString refusedReplyLine(ReplyKind kind, const FrameBuffer &buf, uint8_t count)
{
    const QString bytes = bytesText(buf.reply(), count, u"  ");
    switch (kind) {
    case ReplyKind::Exception:
        return QStringLiteral("Исключение %1:  %2").arg(int(buf.at(2))).arg(bytes);
    case ReplyKind::Unexpected:
        return QStringLiteral("Неожиданный ответ:  %1").arg(bytes);
    case ReplyKind::Status:
    case ReplyKind::Echo:
        break;
    }
    return {};
}
