#include "link/transaction.h"
#include "link/apperror.h"
#include <QTimer>
#include <utility>

Transaction::Transaction(SerialChannel &channel, QObject *parent) : QObject(parent), serialChannel(channel)
{
    connect(&serialChannel, &SerialChannel::writeFinished, this, &Transaction::onWritten);
    connect(&serialChannel, &SerialChannel::readFinished, this, &Transaction::onRead);
    connect(&serialChannel, &SerialChannel::portFailed, this, &Transaction::onPortFailed);
    connect(&serialChannel, &SerialChannel::aborted, this,
            [this] { onPortFailed(QStringLiteral("Ошибка чтения из порта")); });
}

bool Transaction::query(uint8_t address, uint8_t function, uint16_t reg, uint16_t value)
{
    if (running)
        return false;
    running = true;
    current = ExchangeResult{};
    current.startedMs = serialChannel.nowMs();
    boundMarginMs = std::exchange(answerMarginMs, -1.0);
    writing = true;
    try {
        // Late bytes of an earlier exchange must not be read as this reply.
        serialChannel.purge();
        current.frame.buildRequest(address, function, reg, value);
        serialChannel.write(current.frame.request(), RequestLength);
    } catch (const AppError &e) {
        // Deliver after the caller's own bookkeeping, like every other outcome.
        QTimer::singleShot(0, this, [this, msg = e.message()] { fail(msg); });
    }
    return true;
}

void Transaction::onWritten()
{
    if (!running || !writing)
        return;
    writing = false;
    current.onLineMs = serialChannel.requestOnLineMs();
    try {
        // A reply that is whole before 53 bytes ends the read at once.
        const FrameBuffer &f = current.frame;
        serialChannel.beginRead(current.frame.reply(), ExpectedReplyLength, [&f](int got) {
            return replyComplete(f.request(), f.reply(), got) ? 0 : replyBytesAwaited(f.request(), f.reply(), got);
        });
        if (boundMarginMs >= 0)
            serialChannel.boundAnswerStart(current.onLineMs + 3.5 * serialChannel.charMs() + boundMarginMs);
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
    current.endedMs = serialChannel.nowMs();
    if (count > 0) {
        current.firstByteMs = serialChannel.readFirstByteMs();
        current.lastByteMs = serialChannel.readLastByteMs();
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
    current.requestSent = !writing || serialChannel.requestHandedOver();
    running = false;
    writing = false;
    current.outcome = ExchangeResult::Outcome::PortFailed;
    current.error = message;
    current.endedMs = serialChannel.nowMs();
    emit finished(current);
}
