#pragma once
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QTimer>
#include "link/finetimer.h"
#include <cstdint>
#include <functional>
#include <memory>

class ModemLines;

// The serial port: 8N1, no flow control, DTR on while open, and the
// read rule of the detector line: a read of N bytes ends when N bytes are in,
// or readMsPerByte * N + readConstantMs after it began, with what arrived.
// Everything is signal-driven; nothing here blocks or spins.
//
// Wire time counts: a request goes out no sooner than 3.5 characters after
// the last byte seen on the line, it has left the port only its wire time
// after the driver took it, and the read window opens then. Where the driver
// cannot switch an RS-485 adapter's direction, RTS is raised around each
// request here.
class SerialChannel : public QObject {
    Q_OBJECT
public:
    struct Timing {
        int readMsPerByte = 10;
        int readConstantMs = 1;
        int writeMsPerByte = 100;
        int writeConstantMs = 1000;
    };

    explicit SerialChannel(QObject *parent = nullptr);
    ~SerialChannel() override;

    // "COM1".."COM5" are the names of the port list; they map to the
    // platform's device (on Linux COMn is /dev/ttyS(n-1)). Anything else is
    // opened as typed: a path, or a device name under /dev.
    static QString systemPortName(const QString &name);

    void setPortName(const QString &name); // refused while open
    QString portName() const { return name; }
    void setBaudRate(qint32 baud);          // applied at once when open
    qint32 baudRate() const { return baud; }
    void setTiming(const Timing &t) { timing = t; }
    const Timing &timingConstants() const { return timing; }

    // The modem-line calls to use (the platform's unless set); not owned.
    void setModemLines(ModemLines *lines);
    // One character (10 bits) at the current speed, in ms.
    double charMs() const { return 10000.0 / double(baud > 0 ? baud : 9600); }
    // True while RTS is switched here, the driver having refused to.
    bool switchesRts() const { return softDirection; }

    void open();
    void close();
    bool isOpen() const { return port.isOpen(); }
    void purge();
    void abortAll();

    // Starts sending once the line has been quiet for 3.5 characters;
    // writeFinished() follows when the bytes have left the port (the driver
    // took them and their wire time has passed) or the write bound ran out.
    void write(const uint8_t *data, int count);
    // Starts a read of up to `count` bytes into `dest`; readFinished(n)
    // follows. `complete(n)`, if given, may end it early: it is asked each
    // time the bytes in stop coming in a batch.
    void beginRead(uint8_t *dest, int count, std::function<bool(int)> complete = {});
    bool reading() const { return readDest != nullptr; }

signals:
    void writeFinished();
    void readFinished(int count);
    // The port met a read, write or resource error: it has been closed.
    void portFailed(const QString &message);
    // A read or write in progress was cancelled by abortAll() or close().
    void aborted();
    // The port failed while no exchange was under way, so no transaction
    // will report it: it has been closed.
    void lostWhileIdle(const QString &message);

private:
    void onReadyRead();
    void onBytesWritten(qint64 n);
    void onError(QSerialPort::SerialPortError error);
    void finishRead();
    void onWireTimePassed();
    void finishWrite();
    void sendNow();
    void onDriverTookAll();
    double nowMs() const { return double(clock.nsecsElapsed()) / 1e6; }

    QSerialPort port;
    QString name = QStringLiteral("COM1");
    qint32 baud = 115200;
    Timing timing;

    uint8_t *readDest = nullptr;
    int readWanted = 0;
    int readGot = 0;
    QTimer readDeadline;

    std::function<bool(int)> readComplete;

    // 0 idle; otherwise a request is on its way (waiting for silence, with
    // the driver, or on the wire).
    qint64 writePending = 0;
    QByteArray outgoing;
    QTimer writeDeadline;
    FineTimer silenceWait; // the gap before a request
    FineTimer leaving;     // the request's wire time after the driver took it
    double silenceSince = 0;
    QElapsedTimer clock;
    double lastSeenMs = -1e9; // the last byte seen on the line, ours included

    std::unique_ptr<ModemLines> systemLines;
    ModemLines *lines = nullptr;
    bool softDirection = false;
};
