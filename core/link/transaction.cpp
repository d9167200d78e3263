#include "link/transaction.h"
#include <QTimer>
#include <algorithm>

Transaction::Transaction(LineChannel &channel, QObject *parent) : QObject(parent), lineChannel(channel)
{
    connect(&lineChannel, &LineChannel::writeFinished, this, &Transaction::onWritten);
    connect(&lineChannel, &LineChannel::readFinished, this, &Transaction::onRead);
    connect(&lineChannel, &LineChannel::portFailed, this, &Transaction::onPortFailed);
    connect(&lineChannel, &LineChannel::aborted, this,
            [this] { onPortFailed(Failure::of(Failure::Kind::PortRead)); });
}

bool Transaction::begin()
{
    if (running)
        return false;
    running = true;
    current = ExchangeResult{};
    current.startedMs = lineChannel.nowMs();
    boundMarginMs = -1;
    raw.clear();
    writing = true;
    return true;
}

bool Transaction::query(uint8_t address, uint8_t function, uint16_t reg, uint16_t value, double answerMarginMs)
{
    if (!begin())
        return false;
    boundMarginMs = answerMarginMs;
    // Late bytes of an earlier exchange must not be read as this reply.
    if (auto failure = lineChannel.purge()) {
        failLater(*failure);
        return true;
    }
    framer->buildRequest(current.frame, address, function, reg, value);
    if (auto failure = lineChannel.write(current.frame.request(), RequestLength))
        failLater(*failure);
    return true;
}

// Delivered after the caller's own bookkeeping, like every other outcome.
void Transaction::failLater(const Failure &failure)
{
    QTimer::singleShot(0, this, [this, failure] { fail(failure); });
}

bool Transaction::queryFrame(const QByteArray &request)
{
    if (request.size() < 2 || request.size() > MaxGuestRequest || !begin())
        return false;
    raw = framer->close(request);
    std::copy_n(raw.constData(), std::min<qsizetype>(raw.size(), RequestLength), current.frame.bytes.begin());
    std::optional<Failure> failure = lineChannel.purge();
    if (!failure)
        failure = lineChannel.write(reinterpret_cast<const uint8_t *>(raw.constData()), int(raw.size()));
    if (failure)
        failLater(*failure);
    return true;
}

void Transaction::onWritten()
{
    if (!running || !writing)
        return;
    writing = false;
    current.onLineMs = lineChannel.requestOnLineMs();
    // A reply that is whole before 53 bytes ends the read at once.
    const FrameBuffer &f = current.frame;
    const bool guest = !raw.isEmpty();
    const int longest = guest ? std::max<int>(ExpectedReplyLength, longestAnswer(f.request())) : ExpectedReplyLength;
    const int window = guest ? answerWindowBytes(f.request()) : ExpectedReplyLength;
    if (auto failure = lineChannel.beginRead(
            current.frame.reply(), longest,
            [&f, guest, fr = framer](int got) { return fr->awaited(f.request(), f.reply(), got, guest); }, window)) {
        fail(*failure);
        return;
    }
    if (boundMarginMs >= 0)
        lineChannel.boundAnswerStart(current.onLineMs + 3.5 * lineChannel.charMs() + boundMarginMs);
}

void Transaction::onRead(int count)
{
    if (!running || writing)
        return;
    running = false;
    current.count = uint8_t(count);
    current.intact = framer->intact(current.frame.reply(), count);
    current.endedMs = lineChannel.nowMs();
    if (count > 0) {
        current.firstByteMs = lineChannel.readFirstByteMs();
        current.lastByteMs = lineChannel.readLastByteMs();
    }
    emit finished(current);
}

void Transaction::onPortFailed(const Failure &failure)
{
    if (running)
        fail(failure);
}

void Transaction::fail(const Failure &failure)
{
    if (!running)
        return;
    // A request the line has taken, even in part, may have reached the device.
    current.requestSent = !writing || lineChannel.requestHandedOver();
    running = false;
    writing = false;
    current.outcome = ExchangeResult::Outcome::PortFailed;
    current.error = failure;
    current.endedMs = lineChannel.nowMs();
    emit finished(current);
}
