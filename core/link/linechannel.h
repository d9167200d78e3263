#pragma once
#include "link/finetimer.h"
#include "link/serialline.h"
#include "link/socketline.h"
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>

class ModemLines;

// The detector line and its timing rules, the same whether the line is a
// local serial port or a socket to a serial device server ("tcp://HOST:PORT"):
// a read of N bytes ends when N bytes are in, or readMsPerByte * N +
// readConstantMs after it began, with what arrived. Everything is
// signal-driven; nothing here blocks or spins.
//
// Wire time counts: a request goes out no sooner than 3.5 characters after
// the last byte seen on the line, it has left the port only its wire time
// after the driver took it, and the read window opens then. Over TCP the
// request is on the line its wire time after the socket took it; the
// server's port speed is the line's, set on the server.
class LineChannel : public QObject {
    Q_OBJECT
public:
    struct Timing {
        int readMsPerByte = 10;
        int readConstantMs = 1;
        int writeMsPerByte = 100;
        int writeConstantMs = 1000;
    };

    explicit LineChannel(QObject *parent = nullptr);
    ~LineChannel() override;

    // A local port's name as the system knows it; see SerialLine.
    static QString systemPortName(const QString &name) { return SerialLine::systemPortName(name); }

    // Refused while open.
    std::optional<Failure> setPortName(const QString &name);
    QString portName() const { return name; }
    // Applied at once to an open local port, which may refuse it.
    std::optional<Failure> setBaudRate(qint32 baud);
    qint32 baudRate() const { return baud; }
    void setTiming(const Timing &t) { timing = t; }
    const Timing &timingConstants() const { return timing; }

    // The modem-line calls of a local port (the platform's unless set); not owned.
    void setModemLines(ModemLines *lines) { serial.setModemLines(lines); }
    // One character (10 bits) at the current speed, in ms.
    double charMs() const { return 10000.0 / double(baud > 0 ? baud : 9600); }
    // True while RTS is switched here, the driver having refused to.
    bool switchesRts() const { return port->switchesDirection(); }
    // False for a line behind a server: its port speed is set on the server.
    bool setsLineSpeed() const { return port->setsLineSpeed(); }
    // True when the named local device is not there, so opening it is no use.
    bool lineAbsent() const;

    // Opens the line. True when it is open now; false while a TCP connect
    // runs, which ends in opened() or openFailed() (within TcpConnectBoundMs).
    // A failure when the line cannot be opened at once.
    Result<bool> open();
    void close();
    bool isOpen() const { return port->isOpen(); }
    bool opening() const { return port->opening(); }
    [[nodiscard]] std::optional<Failure> purge();
    void abortAll();

    // Starts sending once the line has been quiet for 3.5 characters;
    // writeFinished() follows when the bytes have left the port (the driver
    // took them and their wire time has passed) or the write bound ran out.
    [[nodiscard]] std::optional<Failure> write(const uint8_t *data, int count);
    // Starts a read of up to `count` bytes into `dest`; readFinished(n)
    // follows. Its window counts from now, or from when the last request is
    // on the line if that is later. `awaited(n)`, if given, tells how many more bytes the first n
    // need before they could be whole (0: whole now, which ends the read when
    // nothing follows them in the same batch). The channel is woken only once
    // that many are in, not for every byte. The window is that of a read of
    // `windowBytes` when given, else of `count`.
    [[nodiscard]] std::optional<Failure> beginRead(uint8_t *dest, int count, std::function<int(int)> awaited = {},
                                                   int windowBytes = 0);
    bool reading() const { return readDest != nullptr; }
    // When the last request's last character is (or will be) on the line.
    double requestOnLineMs() const { return onLineAtMs; }
    // Whether some of the request written since the last purge was handed to the line.
    bool requestHandedOver() const { return handedOver; }
    // When the last read's first and last characters were in (0: none came):
    // the first batch is dated back by its characters, a later one forward
    // from the one before, as a line without gaps would bring them.
    double readFirstByteMs() const { return firstByteMs; }
    double readLastByteMs() const { return lastByteMs; }
    // Ends the read under way, with nothing, at `atMs` if no answer has begun
    // by then; an answer that has begun is read on as any (the fast search).
    void boundAnswerStart(double atMs);
    // After a read that found nothing: listens for a late answer before the
    // line takes another request. Over (lateAnswerOver()) once what came is
    // whole by `whole` and the line has been quiet for 3.5 characters since
    // its last byte; after boundMs if nothing came; never later than boundMs
    // from now. A pause inside a frame (a USB adapter holding bytes) does not
    // end it. What came is left for the next purge, which drops it as stray
    // bytes. Cut short, and over all the same, when the line closes or fails.
    void awaitLateAnswer(double boundMs, std::function<bool(const QByteArray &)> whole);
    bool awaitingLateAnswer() const { return lateWait.isActive(); }
    // The clock of the channel's times, in ms.
    double nowMs() const { return double(clock.nsecsElapsed()) / 1e6; }

signals:
    void opened();
    void openFailed(const Failure &failure);
    void writeFinished();
    void readFinished(int count);
    // The port met a read, write or resource error: it has been closed.
    void portFailed(const Failure &failure);
    // A read or write in progress was cancelled by abortAll() or close().
    void aborted();
    // The port failed while no exchange was under way, so no transaction
    // will report it: it has been closed.
    void lostWhileIdle(const Failure &failure);
    // Bytes that came while no read waited for them, as they are dropped;
    // looked for only while something listens.
    void strayBytes(const QByteArray &bytes, double firstMs, double lastMs);
    // The wait that awaitLateAnswer() began is over.
    void lateAnswerOver();

private:
    void onOpened();
    void onReadyRead();
    void onBytesWritten(qint64 n);
    void lineFailed(const Failure &failure);
    void stopExchange();
    void finishRead();
    void noteArrival(qint64 n);
    void reportStray();
    void onAnswerStartDue();
    void onLateBytes();
    void onLateWaitDue();
    void onReadDeadline();
    void readWhatWaits();
    void awaitRest(int bytes);
    void onRestDue();
    void stopAwaitingRest();
    void onWireTimePassed();
    void finishWrite();
    void sendNow();
    bool handOver();
    void onDriverTookAll();

    SerialLine serial;
    SocketLine socket;
    LinePort *port = &serial; // the one of the two the name chose
    QString name = QStringLiteral("COM1");
    qint32 baud = 115200;
    Timing timing;

    uint8_t *readDest = nullptr;
    int readWanted = 0;
    int readGot = 0;
    QTimer readDeadline;
    std::function<int(int)> readAwaited;
    quint64 readSerial = 0; // counts reads begun

    // 0 idle; otherwise a request is on its way (waiting for silence, with
    // the driver, or on the wire).
    qint64 writePending = 0;
    QByteArray outgoing;
    bool handedOver = false;
    QTimer writeDeadline;
    FineTimer silenceWait; // the gap before a request
    FineTimer leaving;     // the request's wire time after the driver took it
    FineTimer readHold;    // a whole reply that came before its request had left
    FineTimer restDue;     // when the rest of a reply should be in, the line unwatched meanwhile
    FineTimer answerStart; // the fast search's bound on the start of an answer
    FineTimer lateWait;    // see awaitLateAnswer()
    double lateBoundMs = 0;
    std::function<bool(const QByteArray &)> lateWhole;
    double firstByteMs = 0, lastByteMs = 0; // see readFirstByteMs()
    double strayFirstMs = -1, strayLastMs = -1; // bytes no read took
    double silenceSince = 0;
    QElapsedTimer clock;
    double lastSeenMs = -1e9; // the last byte seen on the line, ours included
    double onLineAtMs = 0;    // see requestOnLineMs()
};
