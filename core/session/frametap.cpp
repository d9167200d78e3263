#include "session/frametap.h"
#include "detector/replykind.h"
#include "link/linechannel.h"
#include "session/lineservice.h"

#include <QDateTime>
#include <cmath>

namespace {
void judgeReply(FrameRecord &r, const ExchangeResult &result)
{
    FrameBuffer f = result.frame;
    const uint8_t count = result.count;
    const bool exceptionShaped = count == ExceptionReplyLength && (f.at(1) & ExceptionBit);
    if (!result.intact) {
        r.expectedLength = answerLength(f.request());
        r.verdict = !exceptionShaped && count < r.expectedLength ? FrameVerdict::Cut : FrameVerdict::CrcError;
        return;
    }
    if (f.at(0) != f.request()[0]) { // another detector's frame
        r.verdict = FrameVerdict::Unexpected;
        return;
    }
    switch (classifyReply(f, count, f.request()[1] == FnReadHolding)) {
    case ReplyKind::Status:
        r.verdict = FrameVerdict::Status;
        break;
    case ReplyKind::Echo:
        r.verdict = FrameVerdict::Echo;
        break;
    case ReplyKind::Exception:
        r.verdict = FrameVerdict::Exception;
        r.exceptionCode = f.at(2);
        break;
    case ReplyKind::Unexpected:
        r.verdict = FrameVerdict::Unexpected;
        break;
    }
}
} // namespace

FrameRecord requestRecord(const ExchangeResult &result, double charMs)
{
    FrameRecord r;
    r.direction = FrameDirection::Request;
    r.bytes = QByteArray(reinterpret_cast<const char *>(result.frame.request()), RequestLength);
    r.address = result.frame.request()[0];
    r.function = result.frame.request()[1];
    r.endMs = result.onLineMs;
    r.startMs = result.onLineMs - RequestLength * charMs;
    r.charMs = charMs;
    return r;
}

FrameRecord replyRecord(const ExchangeResult &result, double charMs)
{
    FrameRecord r;
    r.direction = FrameDirection::Reply;
    r.charMs = charMs;
    r.address = result.frame.request()[0];
    r.function = result.frame.request()[1];
    if (result.count == 0) {
        r.verdict = FrameVerdict::Timeout;
        r.startMs = r.endMs = result.endedMs;
        return r;
    }
    r.bytes = QByteArray(reinterpret_cast<const char *>(result.frame.reply()), result.count);
    r.address = result.frame.at(0);
    r.function = result.count >= 2 ? result.frame.at(1) : -1;
    r.startMs = result.firstByteMs;
    r.endMs = result.lastByteMs;
    r.answerAfterMs = std::max(0.0, result.firstByteMs - result.onLineMs);
    r.spanMs = result.lastByteMs - result.firstByteMs;
    judgeReply(r, result);
    return r;
}

FrameTap::FrameTap(LineService &lineService, LineChannel &lineChannel, QObject *parent)
    : QObject(parent), line(lineService), channel(lineChannel)
{
}

void FrameTap::acquire()
{
    if (watchers++ > 0)
        return;
    wallAtZeroMs = QDateTime::currentMSecsSinceEpoch() - qint64(std::llround(channel.nowMs()));
    previousEndMs = -1;
    connect(&line, &LineService::exchanged, this, &FrameTap::onExchange);
    connect(&channel, &LineChannel::strayBytes, this, &FrameTap::onStray);
}

void FrameTap::release()
{
    if (watchers == 0 || --watchers > 0)
        return;
    disconnect(&line, nullptr, this, nullptr);
    disconnect(&channel, nullptr, this, nullptr);
}

void FrameTap::onExchange(const ExchangeResult &result)
{
    const double ch = channel.charMs();
    if (result.onLineMs > 0)
        publish(requestRecord(result, ch));
    if (result.outcome == ExchangeResult::Outcome::Reply)
        publish(replyRecord(result, ch));
}

void FrameTap::onStray(const QByteArray &bytes, double firstMs, double lastMs)
{
    FrameRecord r;
    r.direction = FrameDirection::Stray;
    r.verdict = FrameVerdict::Noise;
    r.bytes = bytes;
    r.startMs = firstMs;
    r.endMs = lastMs;
    r.charMs = channel.charMs();
    publish(r);
}

void FrameTap::publish(FrameRecord r)
{
    r.wallMs = wallAtZeroMs + qint64(std::llround(r.startMs));
    if (previousEndMs >= 0)
        r.sincePreviousMs = std::max(0.0, r.startMs - previousEndMs);
    previousEndMs = std::max(previousEndMs, r.endMs);
    emit frame(r);
}
