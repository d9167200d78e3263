#include "sim/simulator.h"

#include <QSocketNotifier>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <unistd.h>

Simulator::Simulator(QObject *parent) : QObject(parent)
{
    clock.start();
    silenceTimer.setSingleShot(true);
    silenceTimer.setTimerType(Qt::PreciseTimer);
    silenceTimer.setInterval(SilenceGapMs);
    reopenTimer.setSingleShot(true);
    log.setClock(clock);
    connect(&arrivalTimer, &FineTimer::timeout, this, &Simulator::deliverArrivals);
    tickTimer.setInterval(SignalTickMs);
    connect(&silenceTimer, &QTimer::timeout, this, &Simulator::onSilence);
    connect(&paceTimer, &FineTimer::timeout, this, &Simulator::flushOutput);
    connect(&tickTimer, &QTimer::timeout, this, &Simulator::onTick);
    connect(&reopenTimer, &QTimer::timeout, this, [this] {
        if (!start(reopenLink))
            qWarning("kalmir-sim: cannot reopen the line: %s", qPrintable(error));
    });
}

Simulator::~Simulator()
{
    closeLine();
}

bool Simulator::start(const QString &linkPath)
{
    stop();
    if (!line.open() || (!linkPath.isEmpty() && !line.link(linkPath))) {
        error = line.errorString();
        line.close();
        return false;
    }
    readNotifier = new QSocketNotifier(line.masterFd(), QSocketNotifier::Read, this);
    writeNotifier = new QSocketNotifier(line.masterFd(), QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(readNotifier, &QSocketNotifier::activated, this, &Simulator::onReadable);
    connect(writeNotifier, &QSocketNotifier::activated, this, &Simulator::onWritable);
    if (!frozen)
        tickTimer.start();
    emit lineOpened(line.slavePath());
    return true;
}

void Simulator::stop()
{
    reopenTimer.stop();
    closeLine();
}

// Safe to call from inside a notifier's own slot: the notifiers go later.
void Simulator::closeLine()
{
    for (QSocketNotifier *n : {readNotifier, writeNotifier}) {
        if (n) {
            n->setEnabled(false);
            n->deleteLater();
        }
    }
    readNotifier = writeNotifier = nullptr;
    output.clear();
    arrivals.clear();
    arrivalTimer.stop();
    paceTimer.stop();
    silenceTimer.stop();
    tickTimer.stop();
    framer.flushPartial();
    line.close();
}

Detector &Simulator::addDetector(uint8_t address, int baud)
{
    devices.push_back(std::make_unique<Detector>(address, baud, int(devices.size())));
    Detector &d = *devices.back();
    if (!frozen)
        d.advanceSignals(clock.elapsed() / 1000.0);
    return d;
}

QList<Detector *> Simulator::detectors() const
{
    QList<Detector *> list;
    for (const auto &d : devices)
        list.append(d.get());
    return list;
}

Detector *Simulator::detector(uint8_t address) const
{
    for (const auto &d : devices)
        if (d->address() == address)
            return d.get();
    return nullptr;
}

void Simulator::setFrozen(bool on)
{
    frozen = on;
    if (frozen)
        tickTimer.stop();
    else if (isRunning())
        tickTimer.start();
}

void Simulator::setPassword(uint16_t password)
{
    for (const auto &d : devices)
        d->setPassword(password);
}

void Simulator::clearFaults()
{
    global = {};
    for (const auto &d : devices)
        d->clearFault();
}

void Simulator::dropLine(int reopenAfterMs)
{
    const QString link = line.linkPath();
    closeLine();
    emit lineDropped();
    if (reopenAfterMs > 0) {
        reopenLink = link;
        reopenTimer.start(reopenAfterMs);
    }
}

bool Simulator::setLogFile(const QString &path)
{
    if (log.setFile(path))
        return true;
    error = log.errorString();
    return false;
}

void Simulator::onReadable()
{
    char chunk[512];
    for (;;) {
        const ssize_t n = ::read(line.masterFd(), chunk, sizeof chunk);
        if (n > 0 && wire) {
            takeOnWire(QByteArray(chunk, n));
            if (!isRunning())
                return;
            continue;
        }
        if (n > 0) {
            takePieces(framer.feed(QByteArray(chunk, n)));
            if (!isRunning())
                return; // a fault dropped the line
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN) {
            // Not expected while the slave side is held open here.
            qWarning("kalmir-sim: reading the line failed: %s", n == 0 ? "end of file" : std::strerror(errno));
            readNotifier->setEnabled(false);
        }
        break;
    }
    if (framer.hasPartial())
        silenceTimer.start();
    else
        silenceTimer.stop();
}

void Simulator::onSilence()
{
    const QByteArray partial = framer.flushPartial();
    if (!partial.isEmpty())
        log.add(SimFrame::Discarded, partial);
}

void Simulator::takePieces(const QList<rtu::RequestFramer::Piece> &pieces)
{
    for (const auto &piece : pieces) {
        if (!isRunning())
            return;
        if (piece.request) {
            handleRequest(piece.bytes);
        } else {
            log.add(SimFrame::Discarded, piece.bytes);
        }
    }
}

Detector *Simulator::answerer(const QByteArray &request) const
{
    const uint8_t address = uint8_t(request[0]);
    if (address == 0)
        return nullptr; // broadcasts get no answer
    const int baud = line.baud();
    for (const auto &d : devices)
        if (d->address() == address && d->baud() == baud)
            return d.get();
    return nullptr;
}

void Simulator::handleRequest(const QByteArray &request)
{
    if (wire)
        log.add(SimFrame::Received, request, requestEndMs - request.size() * charMs(), requestEndMs);
    else
        log.add(SimFrame::Received, request);
    emit frameReceived(request);
    Detector *d = answerer(request);
    if (!d)
        return;
    Fault &fault = d->fault().active() ? d->fault() : global;
    // A device that answers with an exception has refused the request: it
    // changes nothing. Every other fault spoils the reply of a request the
    // device did carry out.
    const bool refused = fault.active() && fault.kind == FaultKind::Exception;
    const QByteArray reply = refused ? QByteArray(request) : d->handle(request);
    if (!fault.active()) {
        queue(reply, 0);
        return;
    }
    const Fault used = fault;
    fault.consume();
    const Outgoing out = applyFault(used.kind, used.arg, reply);
    if (out.dropLine)
        dropLine(used.arg);
    else if (!out.bytes.isEmpty())
        queue(out.bytes, out.spreadMs, out.delayMs);
}

void Simulator::queue(const QByteArray &bytes, int spreadMs, int delayMs)
{
    if (wire) {
        queueOnWire(bytes, spreadMs, delayMs);
        return;
    }
    log.add(SimFrame::Sent, bytes);
    emit frameSent(bytes);
    double due = std::max(nowMs() + delayMs, output.empty() ? 0.0 : output.back().dueMs);
    if (spreadMs <= 0 || bytes.size() < 2) {
        output.push_back({bytes, due});
    } else {
        const double gap = double(spreadMs) / double(bytes.size() - 1);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            output.push_back({bytes.mid(i, 1), due + i * gap});
    }
    flushOutput();
}

void Simulator::onWritable()
{
    writeNotifier->setEnabled(false);
    flushOutput();
}

void Simulator::flushOutput()
{
    while (!output.empty() && isRunning()) {
        Chunk &c = output.front();
        const double now = nowMs();
        if (c.dueMs > now) {
            paceTimer.start(c.dueMs - now);
            return;
        }
        const ssize_t n = ::write(line.masterFd(), c.bytes.constData(), size_t(c.bytes.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            qWarning("kalmir-sim: writing the line failed: %s", std::strerror(errno));
            output.clear();
            return;
        }
        if (n > 0)
            c.bytes.remove(0, n);
        if (!c.bytes.isEmpty()) {
            writeNotifier->setEnabled(true); // the pty is full; go on when it drains
            return;
        }
        const bool ended = c.endsFrame;
        output.pop_front();
        if (ended)
            emit frameWritten();
    }
}

void Simulator::onTick()
{
    const double seconds = clock.elapsed() / 1000.0;
    for (const auto &d : devices)
        d->advanceSignals(seconds);
}

// ---- wire time ----

void Simulator::setWireTime(bool on, int turnaroundMs)
{
    wire = on;
    turnaround = std::max(turnaroundMs, 0);
}

double Simulator::charMs() const
{
    const int baud = line.baud();
    return baud > 0 ? 10000.0 / baud : 0.0;
}

// The pseudo-terminal hands over the master's bytes at once; on a line each
// takes a character time after the one before. Every piece the framer cuts
// is handled when its last character would have arrived.
void Simulator::takeOnWire(const QByteArray &bytes)
{
    const double ch = charMs();
    double end = std::max(nowMs(), inFreeMs);
    for (const char byte : bytes) {
        end += ch;
        for (const auto &piece : framer.feed(QByteArray(1, byte)))
            arrivals.push_back({piece, end});
    }
    inFreeMs = end;
    deliverArrivals();
}

void Simulator::deliverArrivals()
{
    while (!arrivals.empty() && isRunning()) {
        const double now = nowMs();
        if (arrivals.front().lastMs > now) {
            arrivalTimer.start(arrivals.front().lastMs - now);
            return;
        }
        const Arrival a = arrivals.front();
        arrivals.pop_front();
        if (a.piece.request) {
            requestEndMs = a.lastMs;
            handleRequest(a.piece.bytes);
        } else {
            log.add(SimFrame::Discarded, a.piece.bytes, a.lastMs - a.piece.bytes.size() * charMs(), a.lastMs);
        }
    }
}

// A reply starts 3.5 characters (plus the turnaround) after the request ended
// and each character is due at the client when its last bit is in.
void Simulator::queueOnWire(const QByteArray &bytes, int spreadMs, int delayMs)
{
    const double ch = charMs();
    const double start = std::max(requestEndMs + 3.5 * ch + turnaround + delayMs, outFreeMs);
    const double gap = spreadMs > 0 && bytes.size() > 1 ? double(spreadMs) / double(bytes.size() - 1) : 0.0;
    double due = start;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        due = std::max(due + ch, start + ch + i * gap);
        output.push_back({bytes.mid(i, 1), due, i == bytes.size() - 1});
    }
    outFreeMs = due;
    log.add(SimFrame::Sent, bytes, start, due);
    emit frameSent(bytes);
    flushOutput();
}
