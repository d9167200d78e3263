// The channel's bookkeeping for those who watch the line: when a reply's
// characters came, bytes no read took, the fast search's bound on the
// start of an answer, and the wait for a late one.
#include "link/linechannel.h"

#include <QMetaMethod>
#include <algorithm>

// Wire times of the reply's characters: a batch's last one came when the
// batch was taken, unless the line was not watched meanwhile; then no sooner
// than the characters before it allow.
void LineChannel::noteArrival(qint64 n)
{
    const double now = nowMs();
    const double ch = charMs();
    if (readGot == 0) {
        firstByteMs = std::max(now - double(n) * ch, onLineAtMs);
        lastByteMs = std::max(now, firstByteMs + double(n) * ch);
    } else {
        lastByteMs = std::min(now, lastByteMs + double(n) * ch);
    }
}

void LineChannel::reportStray()
{
    static const QMetaMethod signal = QMetaMethod::fromSignal(&LineChannel::strayBytes);
    const double first = strayFirstMs, last = strayLastMs;
    strayFirstMs = strayLastMs = -1;
    if (!isSignalConnected(signal) || !isOpen() || port->device().bytesAvailable() <= 0)
        return;
    const QByteArray bytes = port->device().readAll();
    const double now = nowMs();
    const double start = first >= 0 ? first : now - double(bytes.size()) * charMs();
    emit strayBytes(bytes, start, std::max(last, start + double(bytes.size()) * charMs()));
}

void LineChannel::boundAnswerStart(double atMs)
{
    if (readDest)
        answerStart.start(std::max(0.0, atMs - nowMs()));
}

void LineChannel::onAnswerStartDue()
{
    const quint64 serial = readSerial;
    if (readDest && readGot == 0 && port->holdsWakeUps())
        readWhatWaits(); // a first character that has not woken us yet
    if (readSerial == serial && readDest && readGot == 0)
        finishRead();
}

void LineChannel::awaitLateAnswer(double boundMs, std::function<bool(const QByteArray &)> whole)
{
    if (!isOpen() || readDest || writePending > 0)
        return;
    lateBoundMs = nowMs() + boundMs;
    lateWhole = std::move(whole);
    lateWait.start(boundMs);
}

// Bytes came: once they make a whole frame the wait ends after 3.5 quiet
// characters; a part of one waits for its rest, within the bound.
void LineChannel::onLateBytes()
{
    constexpr qint64 LongestFrame = 256;
    const double left = std::max(0.0, lateBoundMs - nowMs());
    const bool whole = !lateWhole || lateWhole(port->device().peek(LongestFrame));
    lateWait.start(whole ? std::min(left, 3.5 * charMs()) : left);
}

void LineChannel::onLateWaitDue()
{
    // Bytes not yet handed over mean the line is not quiet: they wake the port.
    if (port->waiting() > 0 && nowMs() < lateBoundMs) {
        lateWait.start(std::min(lateBoundMs - nowMs(), 3.5 * charMs()));
        return;
    }
    lateWhole = nullptr;
    emit lateAnswerOver();
}
