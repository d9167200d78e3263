#pragma once
#include <optional>

class QSerialPort;

// The calls that steer an RS-485 adapter: who switches the line's direction,
// and how soon the driver hands over received bytes. The channel makes them
// through this interface so that a test can see what a pseudo-terminal
// cannot show (it has no RTS).
class ModemLines {
public:
    virtual ~ModemLines() = default;
    // Asks the driver to raise RTS only while it sends. False where refused:
    // the channel then switches RTS itself around each request.
    virtual bool kernelDirection(QSerialPort &port) = 0;
    // Asks the driver to pass received bytes on at once; refusal is no fault.
    virtual void lowLatency(QSerialPort &port) = 0;
    // False on a line without RTS (a pseudo-terminal), which ignores it.
    virtual bool setRts(QSerialPort &port, bool high) = 0;
    // Whether the driver's queue and the transmitter are empty, where the
    // driver can tell; nothing where it cannot (the wire time then decides).
    virtual std::optional<bool> transmitterEmpty(QSerialPort &) { return std::nullopt; }
};

// The platform's own calls; the only place that knows the operating system.
class SystemModemLines : public ModemLines {
public:
    bool kernelDirection(QSerialPort &port) override;
    void lowLatency(QSerialPort &port) override;
    bool setRts(QSerialPort &port, bool high) override;
    std::optional<bool> transmitterEmpty(QSerialPort &port) override;
};
