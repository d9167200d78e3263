#include "link/linechannel.h"
#include "link/tcpline.h"

#include <QFileInfo>
#include <algorithm>
#include <cmath>

using Kind = Failure::Kind;

LineChannel::LineChannel(QObject *parent) : QObject(parent)
{
    clock.start();
    for (QTimer *t : {&readDeadline, &writeDeadline}) {
        t->setSingleShot(true);
        t->setTimerType(Qt::PreciseTimer);
    }
    connect(&readDeadline, &QTimer::timeout, this, &LineChannel::onReadDeadline);
    connect(&writeDeadline, &QTimer::timeout, this, &LineChannel::finishWrite);
    connect(&silenceWait, &FineTimer::timeout, this, &LineChannel::sendNow);
    connect(&leaving, &FineTimer::timeout, this, &LineChannel::onWireTimePassed);
    connect(&readHold, &FineTimer::timeout, this, &LineChannel::finishRead);
    connect(&restDue, &FineTimer::timeout, this, &LineChannel::onRestDue);
    connect(&answerStart, &FineTimer::timeout, this, &LineChannel::onAnswerStartDue);
    connect(&lateWait, &FineTimer::timeout, this, &LineChannel::onLateWaitDue);
    for (LinePort *p : {static_cast<LinePort *>(&serial), static_cast<LinePort *>(&socket)}) {
        connect(&p->device(), &QIODevice::readyRead, this, &LineChannel::onReadyRead);
        connect(&p->device(), &QIODevice::bytesWritten, this, &LineChannel::onBytesWritten);
        connect(p, &LinePort::opened, this, &LineChannel::onOpened);
        connect(p, &LinePort::openFailed, this, &LineChannel::openFailed);
        connect(p, &LinePort::failed, this, &LineChannel::lineFailed);
    }
}

LineChannel::~LineChannel()
{
    // No signals to half-destroyed listeners while the ports shut down.
    serial.disconnect(this);
    socket.disconnect(this);
    serial.device().disconnect(this);
    socket.device().disconnect(this);
}

std::optional<Failure> LineChannel::setPortName(const QString &newName)
{
    if (isOpen())
        return Failure::of(Kind::PortOpenSetting);
    name = newName;
    return std::nullopt;
}

std::optional<Failure> LineChannel::setBaudRate(qint32 newBaud)
{
    baud = newBaud;
    if (!port->setBaudRate(baud))
        return Failure::of(Kind::PortSettings);
    return std::nullopt;
}

bool LineChannel::lineAbsent() const
{
#ifdef Q_OS_WIN
    return false;
#else
    return !isTcpName(name) && !QFileInfo::exists(systemPortName(name));
#endif
}

Result<bool> LineChannel::open()
{
    if (isOpen())
        return true;
    if (opening())
        return false;
    // The name is checked before the line it names is chosen: a bad
    // "tcp://" name fails here, with the port left as it was.
    if (auto bad = tcpNameFailure(name))
        return *bad;
    port = isTcpName(name) ? static_cast<LinePort *>(&socket) : static_cast<LinePort *>(&serial);
    const Result<bool> now = port->open(name, baud);
    if (now && *now)
        lastSeenMs = nowMs();
    return now;
}

void LineChannel::onOpened()
{
    lastSeenMs = nowMs();
    emit opened();
}

void LineChannel::close()
{
    if (isOpen())
        abortAll();
    port->close();
}

std::optional<Failure> LineChannel::purge()
{
    handedOver = false;
    reportStray();
    if (!port->purge())
        return Failure::of(Kind::PortPurge);
    return std::nullopt;
}

void LineChannel::abortAll()
{
    const bool inProgress = readDest != nullptr || writePending > 0;
    if (writePending > 0)
        port->setSending(false);
    stopExchange();
    if (isOpen()) {
        port->setWakeThreshold(1);
        reportStray();
        port->purge();
    }
    if (inProgress)
        emit aborted();
}

// Every timer of an exchange stops; the line is watched again.
void LineChannel::stopExchange()
{
    readDeadline.stop();
    writeDeadline.stop();
    silenceWait.stop();
    leaving.stop();
    readHold.stop();
    answerStart.stop();
    stopAwaitingRest();
    readDest = nullptr;
    writePending = 0;
    if (lateWait.isActive()) {
        lateWait.stop();
        lateWhole = nullptr;
        emit lateAnswerOver();
    }
}

std::optional<Failure> LineChannel::write(const uint8_t *data, int count)
{
    if (!isOpen() || count <= 0)
        return Failure::of(Kind::PortWrite);
    outgoing = QByteArray(reinterpret_cast<const char *>(data), count);
    writePending = count;
    handedOver = false;
    // A device finds where a frame begins by the silence before it.
    silenceSince = nowMs();
    const double wait = lastSeenMs + 3.5 * charMs() - silenceSince;
    if (wait > 0) {
        silenceWait.start(wait);
        return std::nullopt;
    }
    if (!handOver()) {
        writePending = 0;
        return Failure::of(Kind::PortWrite);
    }
    return std::nullopt;
}

// The silence has passed: what came in meanwhile is late bytes of an earlier
// exchange, not this reply.
void LineChannel::sendNow()
{
    if (writePending <= 0 || !isOpen())
        return;
    // Bytes the kernel holds and the loop has not handed over yet: the line
    // is not quiet; they wake the port, and the wait starts again.
    if (port->waiting() > 0 && nowMs() - silenceSince < timing.writeConstantMs) {
        silenceWait.start(3.5 * charMs());
        return;
    }
    reportStray();
    port->dropInput();
    if (!handOver())
        lineFailed(Failure::of(Kind::PortWrite));
}

// Gives the request to the driver. Between exchanges its queue is empty, so
// a plain non-blocking write takes the few bytes at once, and no loop turn
// is spent arming and waiting for a write notification. Whatever it does not
// take goes the Qt way, which also reports a failing port.
bool LineChannel::handOver()
{
    port->setSending(true);
    handedOver = true;
    writeDeadline.start(timing.writeMsPerByte * int(outgoing.size()) + timing.writeConstantMs);
    QIODevice &line = port->device();
    qint64 taken = 0;
    if (line.bytesToWrite() == 0)
        taken = port->writeNow(outgoing.constData(), outgoing.size());
    if (taken == outgoing.size()) {
        onDriverTookAll();
        return true;
    }
    writePending = outgoing.size() - taken;
    if (line.write(outgoing.constData() + taken, writePending) == writePending)
        return true;
    writeDeadline.stop();
    port->setSending(false);
    return false;
}

void LineChannel::onBytesWritten(qint64 n)
{
    if (writePending <= 0 || leaving.isActive())
        return;
    writePending -= n;
    if (writePending <= 0)
        onDriverTookAll();
}

// The driver has the bytes; they are on the line for their wire time. Where
// nothing is to be done when they are out (no RTS to drop, no transmitter to
// ask), the read may begin now: its window counts from then all the same,
// and a timer's wake-up is saved on every request.
void LineChannel::onDriverTookAll()
{
    writePending = 1; // still on its way until the last character is out
    const double wireMs = double(outgoing.size()) * charMs();
    onLineAtMs = nowMs() + wireMs;
    if (!port->switchesDirection() && !port->asksTransmitter()) {
        finishWrite();
        return;
    }
    leaving.start(wireMs);
}

// The request's wire time has passed. Where the driver can tell that its
// transmitter still holds bytes (a slow USB adapter), wait a character more;
// the write bound ends the wait in any case.
void LineChannel::onWireTimePassed()
{
    if (port->transmitterEmpty() == false) {
        leaving.start(charMs());
        return;
    }
    finishWrite();
}

void LineChannel::finishWrite()
{
    if (writePending <= 0)
        return;
    writeDeadline.stop();
    leaving.stop();
    silenceWait.stop();
    writePending = 0;
    port->setSending(false);
    onLineAtMs = std::max(onLineAtMs, nowMs());
    lastSeenMs = onLineAtMs;
    emit writeFinished();
}

std::optional<Failure> LineChannel::beginRead(uint8_t *dest, int count, std::function<int(int)> awaited, int windowBytes)
{
    if (!isOpen())
        return Failure::of(Kind::PortRead);
    readDest = dest;
    readWanted = count;
    readGot = 0;
    firstByteMs = lastByteMs = 0;
    readAwaited = std::move(awaited);
    ++readSerial;
    const double opens = std::max(nowMs(), onLineAtMs);
    readDeadline.start(int(std::ceil(opens - nowMs())) + timing.readMsPerByte * (windowBytes > 0 ? windowBytes : count)
                       + timing.readConstantMs);
    onReadyRead();
    return std::nullopt;
}

void LineChannel::onReadyRead()
{
    QIODevice &line = port->device();
    if (line.bytesAvailable() > 0) {
        lastSeenMs = std::max(nowMs(), onLineAtMs);
        if (!readDest && strayFirstMs < 0)
            strayFirstMs = nowMs() - double(line.bytesAvailable()) * charMs();
        strayLastMs = nowMs();
    }
    if (silenceWait.isActive() && nowMs() - silenceSince < timing.writeConstantMs)
        silenceWait.start(3.5 * charMs()); // the line is not quiet yet
    if (lateWait.isActive())
        onLateBytes();
    if (!readDest || readHold.isActive())
        return; // left for the next purge
    const qint64 n = line.read(reinterpret_cast<char *>(readDest + readGot), readWanted - readGot);
    if (n > 0) {
        noteArrival(n);
        readGot += int(n);
    }
    const int awaited = readAwaited ? readAwaited(readGot) : readWanted - readGot;
    // A frame counts as complete only when nothing follows it in the same batch.
    const bool early = n > 0 && awaited == 0 && line.bytesAvailable() == 0;
    if (readGot >= readWanted || early) {
        // No answer ends before its request has left: where the line has no
        // wire time (a pseudo-terminal), the read is held until then.
        if (onLineAtMs > nowMs())
            readHold.start(onLineAtMs - nowMs());
        else
            finishRead();
        return;
    }
    const int rest = std::min(readWanted - readGot, std::max(awaited, 1));
    port->setWakeThreshold(rest);
    if (readGot > 0) // the reply has begun: when its rest is due is known
        awaitRest(rest);
}

// A terminal wakes each of its watchers in the kernel for every character
// that comes in, whatever its wake threshold: watched, a 53-byte reply costs
// 53 wake-ups. While the rest of a reply of known length is on its way the
// port is not watched; a timer looks again when the rest should be in.
void LineChannel::awaitRest(int bytes)
{
    constexpr int WorthAPause = 3; // characters; fewer cost less watched
    if (!port->holdsWakeUps() || bytes < WorthAPause)
        return;
    port->watch(false);
    restDue.start(bytes * charMs());
}

void LineChannel::stopAwaitingRest()
{
    if (restDue.isActive()) {
        restDue.stop();
        port->watch(true);
    }
}

void LineChannel::onRestDue()
{
    port->watch(true);
    if (readDest)
        readWhatWaits(); // the rest, if any, wakes the watch
}

// Bytes the kernel holds that have not woken the channel (below the wake
// threshold, or while unwatched) are read now; this may end the read.
void LineChannel::readWhatWaits()
{
    if (port->waiting() > 0)
        port->device().waitForReadyRead(0);
}

// The window has run out: bytes that came in below the wake threshold are
// still with the kernel; they belong to this read.
void LineChannel::onReadDeadline()
{
    const quint64 serialNo = readSerial;
    if (port->wakeThreshold() > 1) {
        port->setWakeThreshold(1);
        readWhatWaits();
    }
    if (readSerial == serialNo)
        finishRead();
}

void LineChannel::finishRead()
{
    if (!readDest)
        return;
    readDeadline.stop();
    readHold.stop();
    answerStart.stop();
    stopAwaitingRest();
    readDest = nullptr;
    readAwaited = nullptr;
    if (port->device().bytesAvailable() > 0) // beyond what the read asked for
        strayFirstMs = nowMs() - double(port->device().bytesAvailable()) * charMs();
    port->setWakeThreshold(1); // between reads every byte counts for the silence before a request
    emit readFinished(readGot);
}

void LineChannel::lineFailed(const Failure &failure)
{
    // A vanished far end repeats this error without end until the port is
    // closed: close at the first one and report once.
    const bool exchanging = readDest != nullptr || writePending > 0;
    stopExchange();
    port->closeLost();
    emit portFailed(failure);
    if (!exchanging)
        emit lostWhileIdle(failure);
}
