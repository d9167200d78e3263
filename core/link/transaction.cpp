#include "link/transaction.h"
#include "link/apperror.h"
#include <QTimer>

Transaction::Transaction(SerialChannel &channel, FrameBuffer &exchangeBuffer, QObject *parent)
    : QObject(parent), serialChannel(channel), buf(exchangeBuffer)
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
    try {
        // Late bytes of an earlier exchange must not be read as this reply.
        serialChannel.purge();
        buf.buildRequest(address, function, reg, value);
        writing = true;
        serialChannel.write(buf.request(), RequestLength);
    } catch (const AppError &e) {
        writing = false;
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
    try {
        // A reply that is whole before 53 bytes ends the read at once.
        serialChannel.beginRead(buf.reply(), ExpectedReplyLength,
                      [this](int got) { return replyComplete(buf.request(), buf.reply(), got); });
    } catch (const AppError &e) {
        fail(e.message());
    }
}

void Transaction::onRead(int count)
{
    if (!running || writing)
        return;
    end();
    emit finished(uint8_t(count));
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
    end();
    emit failed(message);
}

void Transaction::end()
{
    running = false;
    writing = false;
}
