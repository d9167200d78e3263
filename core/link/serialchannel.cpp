#include "link/serialchannel.h"
#include "link/apperror.h"
#include "link/modemlines.h"
#include "link/portopenerror.h"
#include "link/linefd.h"
#include "process/epolldispatcher.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>

namespace {
const QString MsgSetCommState = QStringLiteral("Ошибка функции SetCommState");
const QString MsgPurge = QStringLiteral("Ошибка функции PurgeComm");
const QString MsgWrite = QStringLiteral("Ошибка записи в порт");
const QString MsgRead = QStringLiteral("Ошибка чтения из порта");
const QString MsgPropertyOpen = QStringLiteral("Нельзя менять свойство, пока порт открыт");
} // namespace

SerialChannel::SerialChannel(QObject *parent)
    : QObject(parent), systemLines(std::make_unique<SystemModemLines>()), lines(systemLines.get())
{
    clock.start();
    connectBound.setSingleShot(true);
    connectBound.setInterval(TcpConnectBoundMs);
    connect(&connectBound, &QTimer::timeout, this, [this] { failConnect(tcpConnectFailure(*target, std::nullopt)); });
    for (QTimer *t : {&readDeadline, &writeDeadline}) {
        t->setSingleShot(true);
        t->setTimerType(Qt::PreciseTimer);
    }
    connect(&readDeadline, &QTimer::timeout, this, &SerialChannel::onReadDeadline);
    connect(&writeDeadline, &QTimer::timeout, this, &SerialChannel::finishWrite);
    connect(&silenceWait, &FineTimer::timeout, this, &SerialChannel::sendNow);
    connect(&leaving, &FineTimer::timeout, this, &SerialChannel::onWireTimePassed);
    connect(&readHold, &FineTimer::timeout, this, &SerialChannel::finishRead);
    connect(&restDue, &FineTimer::timeout, this, &SerialChannel::onRestDue);
    connect(&answerStart, &FineTimer::timeout, this, &SerialChannel::onAnswerStartDue);
    for (QIODevice *device : {static_cast<QIODevice *>(&port), static_cast<QIODevice *>(&socket)}) {
        connect(device, &QIODevice::readyRead, this, &SerialChannel::onReadyRead);
        connect(device, &QIODevice::bytesWritten, this, &SerialChannel::onBytesWritten);
    }
    connect(&port, &QSerialPort::errorOccurred, this, &SerialChannel::onError);
    connect(&socket, &QTcpSocket::connected, this, &SerialChannel::onConnected);
    connect(&socket, &QTcpSocket::errorOccurred, this, &SerialChannel::onSocketError);
}

SerialChannel::~SerialChannel()
{
    // No signals to half-destroyed listeners while the port shuts down.
    port.disconnect(this);
    socket.disconnect(this);
}

QString SerialChannel::systemPortName(const QString &name)
{
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]*)$"));
    const auto m = com.match(name);
#ifdef Q_OS_WIN
    Q_UNUSED(m);
    return name;
#else
    if (m.hasMatch())
        return QStringLiteral("/dev/ttyS%1").arg(m.captured(1).toInt() - 1);
    if (name.startsWith(u'/'))
        return name;
    return QStringLiteral("/dev/") + name;
#endif
}

void SerialChannel::setPortName(const QString &newName)
{
    if (isOpen())
        throw AppError(MsgPropertyOpen);
    name = newName;
}

void SerialChannel::setBaudRate(qint32 newBaud)
{
    baud = newBaud;
    if (port.isOpen() && !port.setBaudRate(baud))
        throw AppError(MsgSetCommState);
}

bool SerialChannel::lineAbsent() const
{
#ifdef Q_OS_WIN
    return false;
#else
    return !isTcpName(name) && !QFileInfo::exists(systemPortName(name));
#endif
}

bool SerialChannel::open()
{
    if (isOpen())
        return true;
    if (opening())
        return false;
    target = tcpTarget(name);
    tcp = target.has_value();
    line = tcp ? static_cast<QIODevice *>(&socket) : static_cast<QIODevice *>(&port);
    if (!tcp) {
        openSerial();
        return true;
    }
    softDirection = false;
    askTransmitter = false; // the server's port is out of reach
    socket.abort();
    connectBound.start();
    if (neverResolves(target->host)) {
        // No resolver is asked: the answer is known (and no query leaves the machine).
        QTimer::singleShot(0, this, [this] {
            if (connectBound.isActive())
                failConnect(tcpConnectFailure(*target, QAbstractSocket::HostNotFoundError));
        });
        return false;
    }
    socket.connectToHost(target->host, target->port);
    return false;
}

void SerialChannel::onConnected()
{
    if (!connectBound.isActive())
        return;
    connectBound.stop();
    // Requests are 8 bytes: they must leave at once, not wait to be merged.
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // A server that vanished without a word (power, cable) is noticed by the system.
    socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    socketUp = true;
    wakeThreshold = 1;
    discardInput();
    lastSeenMs = nowMs();
    emit opened();
}

void SerialChannel::failConnect(const QString &message)
{
    connectBound.stop();
    socket.abort();
    emit openFailed(message);
}

void SerialChannel::onSocketError(QAbstractSocket::SocketError error)
{
    if (connectBound.isActive())
        failConnect(tcpConnectFailure(*target, error, socket.errorString()));
    else if (socketUp)
        lineFailed(MsgRead); // the server closed the connection or the network failed
}

void SerialChannel::openSerial()
{
    const QString device = systemPortName(name);
    port.setPortName(device);
    if (!port.open(QIODevice::ReadWrite)) {
        const auto err = port.error();
        port.clearError();
        throw AppError(portOpenErrorMessage(portOpenFacts(err, device)));
    }
    const bool lineOk = port.setBaudRate(baud) && port.setDataBits(QSerialPort::Data8)
        && port.setParity(QSerialPort::NoParity) && port.setStopBits(QSerialPort::OneStop)
        && port.setFlowControl(QSerialPort::NoFlowControl);
    if (!lineOk) {
        port.close();
        port.clearError();
        throw AppError(MsgSetCommState);
    }
    // Devices without modem lines (pseudo-terminals) refuse DTR; that is not a fault.
    port.setDataTerminalReady(true);
    port.clearError();
    // Opening raises RTS, which would hold an RS-485 line: where the driver
    // does not switch direction itself, RTS stays low except while sending.
    // A line without RTS (a pseudo-terminal) has no direction to switch.
    softDirection = !lines->kernelDirection(port) && lines->setRts(port, false);
    askTransmitter = true;
    lines->lowLatency(port);
    port.clearError();
    // Bytes the driver collected before we opened belong to nobody.
    port.clear(QSerialPort::AllDirections);
    EpollDispatcher::setReaderDrains(port.handle());
    lineReader = nullptr; // the port's notifier is new with each opening
    wakeThreshold = 1; // the port opens with every byte waking it
    lastSeenMs = nowMs();
}

// Bytes in from the line that no read waits for. A socket's outgoing bytes
// are the server's once taken, so only the input is dropped there.
void SerialChannel::discardInput()
{
    reportStray();
    if (tcp)
        socket.skip(socket.bytesAvailable());
    else if (port.isOpen())
        port.clear(QSerialPort::AllDirections);
}

void SerialChannel::setModemLines(ModemLines *modemLines)
{
    lines = modemLines ? modemLines : systemLines.get();
}

void SerialChannel::close()
{
    connectBound.stop();
    if (!isOpen()) {
        socket.abort(); // a connect under way ends unreported
        return;
    }
    abortAll();
    if (tcp) {
        socketUp = false;
        socket.abort();
        return;
    }
    port.setDataTerminalReady(false);
    port.close();
    port.clearError();
}

void SerialChannel::purge()
{
    handedOver = false;
    if (tcp && isOpen()) {
        discardInput();
        return;
    }
    reportStray();
    if (!isOpen() || !port.clear(QSerialPort::AllDirections)) {
        port.clearError();
        throw AppError(MsgPurge);
    }
}

void SerialChannel::abortAll()
{
    const bool inProgress = readDest != nullptr || writePending > 0;
    readDeadline.stop();
    writeDeadline.stop();
    silenceWait.stop();
    leaving.stop();
    readHold.stop();
    answerStart.stop();
    readDest = nullptr;
    stopAwaitingRest();
    if (writePending > 0 && softDirection && isOpen())
        lines->setRts(port, false);
    writePending = 0;
    if (isOpen()) {
        setWakeThreshold(1);
        discardInput();
    }
    if (inProgress)
        emit aborted();
}

void SerialChannel::write(const uint8_t *data, int count)
{
    if (!isOpen() || count <= 0)
        throw AppError(MsgWrite);
    outgoing = QByteArray(reinterpret_cast<const char *>(data), count);
    writePending = count;
    handedOver = false;
    // A device finds where a frame begins by the silence before it.
    silenceSince = nowMs();
    const double wait = lastSeenMs + 3.5 * charMs() - silenceSince;
    if (wait > 0) {
        silenceWait.start(wait);
        return;
    }
    if (!handOver()) {
        writePending = 0;
        throw AppError(MsgWrite);
    }
}

// The silence has passed: what came in meanwhile is late bytes of an earlier
// exchange, not this reply.
void SerialChannel::sendNow()
{
    if (writePending <= 0 || !isOpen())
        return;
    if (tcp) {
        discardInput();
    } else {
        reportStray();
        port.clear(QSerialPort::Input);
    }
    if (!handOver())
        lineFailed(MsgWrite);
}

// Gives the request to the driver. Between exchanges its queue is empty, so
// a plain non-blocking write takes the few bytes at once, and no loop turn
// is spent arming and waiting for a write notification. Whatever it does not
// take goes the Qt way, which also reports a failing port.
bool SerialChannel::handOver()
{
    if (softDirection)
        lines->setRts(port, true);
    handedOver = true;
    writeDeadline.start(timing.writeMsPerByte * int(outgoing.size()) + timing.writeConstantMs);
    qint64 taken = 0;
    if (line->bytesToWrite() == 0)
        taken = linefd::writeNow(lineFd(), tcp, outgoing.constData(), outgoing.size());
    if (taken == outgoing.size()) {
        onDriverTookAll();
        return true;
    }
    writePending = outgoing.size() - taken;
    if (line->write(outgoing.constData() + taken, writePending) == writePending)
        return true;
    writeDeadline.stop();
    if (softDirection)
        lines->setRts(port, false);
    return false;
}

void SerialChannel::onBytesWritten(qint64 n)
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
void SerialChannel::onDriverTookAll()
{
    writePending = 1; // still on its way until the last character is out
    const double wireMs = double(outgoing.size()) * charMs();
    onLineAtMs = nowMs() + wireMs;
    if (!softDirection && !askTransmitter) {
        finishWrite();
        return;
    }
    leaving.start(wireMs);
}

// The request's wire time has passed. Where the driver can tell that its
// transmitter still holds bytes (a slow USB adapter), wait a character more;
// the write bound ends the wait in any case.
void SerialChannel::onWireTimePassed()
{
    if (askTransmitter && port.isOpen()) {
        const std::optional<bool> empty = lines->transmitterEmpty(port);
        askTransmitter = empty.has_value(); // a driver that cannot tell never will
        if (empty == false) {
            leaving.start(charMs());
            return;
        }
    }
    finishWrite();
}

void SerialChannel::finishWrite()
{
    if (writePending <= 0)
        return;
    writeDeadline.stop();
    leaving.stop();
    silenceWait.stop();
    writePending = 0;
    if (softDirection && isOpen())
        lines->setRts(port, false);
    onLineAtMs = std::max(onLineAtMs, nowMs());
    lastSeenMs = onLineAtMs;
    emit writeFinished();
}

void SerialChannel::beginRead(uint8_t *dest, int count, std::function<int(int)> awaited)
{
    if (!isOpen())
        throw AppError(MsgRead);
    readDest = dest;
    readWanted = count;
    readGot = 0;
    firstByteMs = lastByteMs = 0;
    readAwaited = std::move(awaited);
    ++readSerial;
    const double opens = std::max(nowMs(), onLineAtMs);
    readDeadline.start(int(std::ceil(opens - nowMs())) + timing.readMsPerByte * count + timing.readConstantMs);
    onReadyRead();
}

void SerialChannel::onReadyRead()
{
    if (line->bytesAvailable() > 0) {
        lastSeenMs = std::max(nowMs(), onLineAtMs);
        if (!readDest && strayFirstMs < 0)
            strayFirstMs = nowMs() - double(line->bytesAvailable()) * charMs();
        strayLastMs = nowMs();
    }
    if (silenceWait.isActive() && nowMs() - silenceSince < timing.writeConstantMs)
        silenceWait.start(3.5 * charMs()); // the line is not quiet yet
    if (!readDest || readHold.isActive())
        return; // left for the next purge
    const qint64 n = line->read(reinterpret_cast<char *>(readDest + readGot), readWanted - readGot);
    if (n > 0) {
        noteArrival(n);
        readGot += int(n);
    }
    const int awaited = readAwaited ? readAwaited(readGot) : readWanted - readGot;
    // A frame counts as complete only when nothing follows it in the same batch.
    const bool early = n > 0 && awaited == 0 && line->bytesAvailable() == 0;
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
    setWakeThreshold(rest);
    if (readGot > 0) // the reply has begun: when its rest is due is known
        awaitRest(rest);
}

// A terminal wakes each of its watchers in the kernel for every character
// that comes in, whatever its wake threshold: watched, a 53-byte reply costs
// 53 wake-ups. While the rest of a reply of known length is on its way the
// port is not watched; a timer looks again when the rest should be in.
void SerialChannel::awaitRest(int bytes)
{
    constexpr int WorthAPause = 3; // characters; fewer cost less watched
    if (tcp || bytes < WorthAPause)
        return;
    watchLine(false);
    restDue.start(bytes * charMs());
}

void SerialChannel::stopAwaitingRest()
{
    if (restDue.isActive()) {
        restDue.stop();
        watchLine(true);
    }
}

void SerialChannel::onRestDue()
{
    watchLine(true);
    if (readDest && linefd::waiting(lineFd()) > 0)
        line->waitForReadyRead(0); // reads what came; the rest, if any, wakes the watch
}

// QSerialPort has no call to stop watching its descriptor while it is open;
// its read notifier is its child. Where none is found the line stays watched.
void SerialChannel::watchLine(bool on)
{
    if (!lineReader && !on)
        for (QSocketNotifier *n : port.findChildren<QSocketNotifier *>(Qt::FindDirectChildrenOnly))
            if (n->type() == QSocketNotifier::Read && n->socket() == port.handle())
                lineReader = n;
    if (lineReader)
        lineReader->setEnabled(on);
}

// The window has run out: bytes that came in below the wake threshold are
// still with the kernel; they belong to this read.
void SerialChannel::onReadDeadline()
{
    const quint64 serial = readSerial;
    if (wakeThreshold > 1) {
        setWakeThreshold(1);
        if (linefd::waiting(lineFd()) > 0)
            line->waitForReadyRead(0); // reads them now; may end the read itself
    }
    if (readSerial == serial)
        finishRead();
}

void SerialChannel::finishRead()
{
    if (!readDest)
        return;
    readDeadline.stop();
    readHold.stop();
    answerStart.stop();
    stopAwaitingRest();
    readDest = nullptr;
    readAwaited = nullptr;
    if (line->bytesAvailable() > 0) // beyond what the read asked for
        strayFirstMs = nowMs() - double(line->bytesAvailable()) * charMs();
    if (isOpen())
        setWakeThreshold(1); // between reads every byte counts for the silence before a request
    emit readFinished(readGot);
}

void SerialChannel::setWakeThreshold(int bytes)
{
    if (bytes == wakeThreshold || !isOpen() || tcp)
        return;
    wakeThreshold = bytes;
    linefd::setWakeThreshold(port.handle(), bytes);
}

qint64 SerialChannel::lineFd() const
{
    return tcp ? qint64(socket.socketDescriptor()) : qint64(port.handle());
}

void SerialChannel::onError(QSerialPort::SerialPortError error)
{
    QString message;
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::ResourceError:
        message = MsgRead;
        break;
    case QSerialPort::WriteError:
        message = MsgWrite;
        break;
    default:
        return; // open failures are reported by open(); the rest is not fatal
    }
    if (port.isOpen())
        lineFailed(message);
}

void SerialChannel::lineFailed(const QString &message)
{
    // A vanished far end repeats this error without end until the port is
    // closed: close at the first one and report once.
    const bool exchanging = readDest != nullptr || writePending > 0;
    readDeadline.stop();
    writeDeadline.stop();
    silenceWait.stop();
    leaving.stop();
    readHold.stop();
    restDue.stop();
    answerStart.stop();
    readDest = nullptr;
    writePending = 0;
    if (tcp) {
        socketUp = false;
        socket.abort();
    } else {
        port.close();
        port.clearError();
    }
    emit portFailed(message);
    if (!exchanging)
        emit lostWhileIdle(message);
}

