#pragma once
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QTimer>
#include <cstdint>

// The serial port `bcp`: 8N1, no flow control, DTR on while open, and the
// read rule of the detector line: a read of N bytes ends when N bytes are in,
// or readMsPerByte * N + readConstantMs after it began, with what arrived.
// Everything is signal-driven; nothing here blocks or spins.
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

    void open();
    void close();
    bool isOpen() const { return port.isOpen(); }
    void purge();
    void abortAll();

    // Starts sending; writeFinished() follows when every byte has gone to the
    // driver or the write bound has run out.
    void write(const uint8_t *data, int count);
    // Starts a read of up to `count` bytes into `dest`; readFinished(n) follows.
    void beginRead(uint8_t *dest, int count);
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
    void finishWrite();
    void applyRs485();

    QSerialPort port;
    QString name = QStringLiteral("COM1");
    qint32 baud = 115200;
    Timing timing;

    uint8_t *readDest = nullptr;
    int readWanted = 0;
    int readGot = 0;
    QTimer readDeadline;

    qint64 writePending = 0;
    QTimer writeDeadline;
};
