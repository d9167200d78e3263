#include "polling/pollingcycle.h"
#include "link/serialchannel.h"
#include "link/transaction.h"
#include "polling/replykind.h"
#include "status/formats.h"

PollingCycle::PollingCycle(Transaction &tx, SerialChannel &channel, SharedState &state, QObject *parent)
    : QObject(parent), query(tx), bcp(channel), s(state)
{
    t2.setSingleShot(true);
    t2.setInterval(100);
    next.setSingleShot(true);
    next.setInterval(0);
    connect(&t2, &QTimer::timeout, this, &PollingCycle::endPass);
    connect(&next, &QTimer::timeout, this, [this] {
        s.averages.calc_av(s.status.Uik, s.status.Uuf);
        if (PollingActive)
            beginPass();
        else
            finish();
    });
    connect(&query, &Transaction::finished, this, &PollingCycle::onReply);
    connect(&query, &Transaction::failed, this, &PollingCycle::onFailed);
}

bool PollingCycle::start()
{
    if (running())
        return false;
    PollingActive = true;
    position = 0;
    beginPass();
    return true;
}

void PollingCycle::beginPass()
{
    if (position >= unsigned(s.deviceList.count()))
        position = 0;
    emit passStarted();
    sendPass();
}

void PollingCycle::sendPass()
{
    const uint8_t target = s.deviceList.address(int(position));
    kind = Kind::Status;
    sentCode = s.PendingCommand;
    sentStamp = s.CommandStamp;
    if (sentCode != 0) {
        try {
            sent = buildCommand(sentCode, commandInputs(target), s.ChannelMask);
        } catch (const CommandRefused &e) {
            s.clearCommand(sentCode, sentStamp);
            emit commandRefused(e.message());
            startDelay();
            return;
        } catch (const AppError &e) {
            finish(e.message()); // the code stays pending for the next run
            return;
        }
        if (sent.send)
            kind = Kind::Command;
        else
            s.clearCommand(sentCode, sentStamp); // no request exists: this pass reads the status instead
    }
    phase = Phase::Reply;
    const bool started = kind == Kind::Command ? query.query(target, FnWriteSingle, sent.reg, sent.value)
                                               : query.query(target, FnReadHolding, 1, 24);
    if (!started)
        finish(QStringLiteral("Линия занята: предыдущий обмен не завершен"));
}

void PollingCycle::onReply(uint8_t count)
{
    if (phase != Phase::Reply)
        return;
    const FrameBuffer &buf = s.ExchangeBuffer;
    emit requestLine(::requestLine(buf));
    if (count == 0) {
        emit replyLine(QStringLiteral("TimeOuterror"));
        emit replyLamp(false);
    } else if (!s.ExchangeBuffer.replyCrcOk(count)) {
        emit replyLamp(true);
        emit replyLine(crcErrorLine(buf));
        emit replyLamp(false);
    } else {
        emit replyLamp(true);
        if (kind == Kind::Command)
            handleCommandReply(count);
        else
            handleStatusReply(count);
        return;
    }
    // A failed pass drops its command; nothing is retried.
    if (kind == Kind::Command)
        s.clearCommand(sentCode, sentStamp);
    startDelay();
}

void PollingCycle::handleCommandReply(uint8_t count)
{
    const ReplyKind k = classifyReply(s.ExchangeBuffer, count, false);
    if (k != ReplyKind::Echo) {
        // Only the echo acknowledges a write; anything else is a refusal,
        // and none of the command's follow-up work may happen.
        emit replyLine(refusedReplyLine(k, s.ExchangeBuffer, count));
        s.clearCommand(sentCode, sentStamp);
        startDelay();
        return;
    }
    if (sentCode == 1) {
        s.deviceList.setAddress(0, sent.keptAddress);
        emit addressChanged(sent.keptAddress);
    } else if (sentCode == 2) {
        // The device answered at the old speed; from now on it talks at the new one.
        try {
            const auto choice = baudChoiceForCode(sent.keptBaud);
            bcp.close();
            bcp.setBaudRate(choice->baudRate);
            s.BaudCode = sent.keptBaud;
            emit baudChanged(sent.keptBaud);
            bcp.open();
        } catch (const AppError &e) {
            finish(e.message());
            return;
        }
    }
    emit replyLine(ackLine(s.ExchangeBuffer));
    s.clearCommand(sentCode, sentStamp);
    startDelay();
}

void PollingCycle::handleStatusReply(uint8_t count)
{
    const ReplyKind k = classifyReply(s.ExchangeBuffer, count, true);
    if (k != ReplyKind::Status) {
        // Decoding a short reply would show bytes of an earlier one as fresh.
        // The lamp stays lime: the reply's CRC was good, whatever it says.
        emit replyLine(refusedReplyLine(k, s.ExchangeBuffer, count));
        startDelay();
        return;
    }
    emit channelMaskShown(s.ChannelMask);
    try {
        if (display)
            display(uint8_t(position + 1));
    } catch (const AppError &e) {
        finish(e.message());
        return;
    }
    emit replyLine(statusLine(s.ExchangeBuffer));
    startDelay();
}

void PollingCycle::startDelay()
{
    phase = Phase::Delay;
    if (t2.interval() > 0)
        t2.start();
    else
        endPass();
}

void PollingCycle::endPass()
{
    ++position;
    phase = Phase::Next;
    next.start(); // let the window handle what is pending before the averages and the next pass
}

void PollingCycle::onFailed(const QString &message)
{
    if (phase == Phase::Reply)
        finish(message);
}

void PollingCycle::finish(const QString &error)
{
    t2.stop();
    next.stop();
    phase = Phase::Idle;
    if (error.isEmpty()) {
        emit ended();
    } else {
        PollingActive = false;
        emit failed(error);
    }
}
