// The channel's bookkeeping for those who watch the line: when a reply's
// characters came, bytes no read took, and the fast search's bound on the
// start of an answer.
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
