#pragma once
#include "link/lineport.h"
#include <QPointer>
#include <QSerialPort>
#include <QSocketNotifier>
#include <memory>

class ModemLines;

// A local serial port: 8N1, no flow control, DTR on while open. Where the
// driver cannot switch an RS-485 adapter's direction, RTS is raised here
// around each request.
class SerialLine : public LinePort {
    Q_OBJECT
public:
    explicit SerialLine(QObject *parent = nullptr);
    ~SerialLine() override;

    // "COM1".."COM5" map to the platform's device (on Linux COMn is
    // /dev/ttyS(n-1)); anything else is a path, or a device name under /dev.
    static QString systemPortName(const QString &name);
    // Called with each port's descriptor once it is open, for an event loop
    // that treats terminals in its own way; none by default.
    static void setOnOpened(void (*hook)(long long fd));

    // The modem-line calls to use (the platform's unless set); not owned.
    void setModemLines(ModemLines *lines);

    Result<bool> open(const QString &name, qint32 baud) override;
    void close() override;
    void closeLost() override;
    bool isOpen() const override { return port.isOpen(); }
    QIODevice &device() override { return port; }
    qint64 writeNow(const char *data, qint64 count) override;
    int waiting() const override;
    void dropInput() override;
    bool purge() override;
    bool setsLineSpeed() const override { return true; }
    bool setBaudRate(qint32 baud) override;

    bool switchesDirection() const override { return softDirection; }
    void setSending(bool on) override;
    bool asksTransmitter() const override { return askTransmitter; }
    std::optional<bool> transmitterEmpty() override;

    bool holdsWakeUps() const override { return true; }
    int wakeThreshold() const override { return threshold; }
    void setWakeThreshold(int bytes) override;
    void watch(bool on) override;

private:
    void onError(QSerialPort::SerialPortError error);

    QSerialPort port;
    std::unique_ptr<ModemLines> systemLines;
    ModemLines *lines = nullptr;
    bool softDirection = false;
    bool askTransmitter = true; // until the driver shows it cannot tell
    int threshold = 1;          // bytes that must wait before the line wakes us
    QPointer<QSocketNotifier> reader; // the port's own read notifier, once found
};
