#include "link/transaction.h"
#include "link/apperror.h"
#include "link/crc.h"
#include <QTimer>
#include <algorithm>

Transaction::Transaction(LineChannel &channel, QObject *parent) : QObject(parent), lineChannel(channel)
{
    connect(&lineChannel, &LineChannel::writeFinished, this, &Transaction::onWritten);
    connect(&lineChannel, &LineChannel::readFinished, this, &Transaction::onRead);
    connect(&lineChannel, &LineChannel::portFailed, this, &Transaction::onPortFailed);
    connect(&lineChannel, &LineChannel::aborted, this,
            [this] { onPortFailed(linetext::ReadFailed); });
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
    try {
        // Late bytes of an earlier exchange must not be read as this reply.
        lineChannel.purge();
        current.frame.buildRequest(address, function, reg, value);
        lineChannel.write(current.frame.request(), RequestLength);
    } catch (const AppError &e) {
        // Deliver after the caller's own bookkeeping, like every other outcome.
        QTimer::singleShot(0, this, [this, msg = e.message()] { fail(msg); });
    }
    return true;
}

bool Transaction::queryFrame(const QByteArray &request)
{
    if (request.size() < 2 || request.size() > MaxGuestRequest || !begin())
        return false;
    raw = request;
    const auto *body = reinterpret_cast<const uint8_t *>(request.constData());
    const uint16_t crc = crc16Modbus(body, std::size_t(request.size()));
    raw.append(char(crc & 0xFF));
    raw.append(char(crc >> 8));
    std::copy_n(raw.constData(), std::min<qsizetype>(raw.size(), RequestLength), current.frame.bytes.begin());
    try {
        lineChannel.purge();
        lineChannel.write(reinterpret_cast<const uint8_t *>(raw.constData()), int(raw.size()));
    } catch (const AppError &e) {
        QTimer::singleShot(0, this, [this, msg = e.message()] { fail(msg); });
    }
    return true;
}

void Transaction::onWritten()
{
    if (!running || !writing)
        return;
    writing = false;
    current.onLineMs = lineChannel.requestOnLineMs();
    try {
        // A reply that is whole before 53 bytes ends the read at once.
        const FrameBuffer &f = current.frame;
        if (!raw.isEmpty()) {
            const uint8_t fn = f.request()[1];
            const int longest = std::max<int>(ExpectedReplyLength, longestAnswer(f.request()));
            lineChannel.beginRead(current.frame.reply(), longest,
                                  [&f, fn](int got) { return answerBytesAwaited(fn, f.reply(), got); });
        } else {
            lineChannel.beginRead(current.frame.reply(), ExpectedReplyLength, [&f](int got) {
                return replyComplete(f.request(), f.reply(), got) ? 0 : replyBytesAwaited(f.request(), f.reply(), got);
            });
        }
        if (boundMarginMs >= 0)
            lineChannel.boundAnswerStart(current.onLineMs + 3.5 * lineChannel.charMs() + boundMarginMs);
    } catch (const AppError &e) {
        fail(e.message());
    }
}

void Transaction::onRead(int count)
{
    if (!running || writing)
        return;
    running = false;
    current.count = uint8_t(count);
    current.endedMs = lineChannel.nowMs();
    if (count > 0) {
        current.firstByteMs = lineChannel.readFirstByteMs();
        current.lastByteMs = lineChannel.readLastByteMs();
    }
    emit finished(current);
}

void Transaction::onPortFailed(const QString &message)
{
    if (running)
        fail(message);
}

void Transaction::fail(const QString &message)
{
    if (!running)
        return;
    // A request the line has taken, even in part, may have reached the device.
    current.requestSent = !writing || lineChannel.requestHandedOver();
    running = false;
    writing = false;
    current.outcome = ExchangeResult::Outcome::PortFailed;
    current.error = message;
    current.endedMs = lineChannel.nowMs();
    emit finished(current);
}
