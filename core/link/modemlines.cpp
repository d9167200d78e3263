#include "link/modemlines.h"
#include <QSerialPort>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

bool SystemModemLines::kernelDirection(QSerialPort &port)
{
#ifdef Q_OS_LINUX
    serial_rs485 rs{};
    if (::ioctl(int(port.handle()), TIOCGRS485, &rs) != 0)
        return false;
    rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    rs.flags &= ~SER_RS485_RTS_AFTER_SEND;
    // Some drivers accept the call but drop the mode: read it back.
    if (::ioctl(int(port.handle()), TIOCSRS485, &rs) != 0 || ::ioctl(int(port.handle()), TIOCGRS485, &rs) != 0)
        return false;
    return (rs.flags & SER_RS485_ENABLED) != 0;
#else
    Q_UNUSED(port);
    return false;
#endif
}

void SystemModemLines::lowLatency(QSerialPort &port)
{
#ifdef Q_OS_LINUX
    // USB adapters otherwise hold the tail of a reply for up to 16 ms.
    serial_struct ss{};
    if (::ioctl(int(port.handle()), TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
        ss.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(int(port.handle()), TIOCSSERIAL, &ss);
    }
#else
    Q_UNUSED(port);
#endif
}

bool SystemModemLines::setRts(QSerialPort &port, bool high)
{
    // A pseudo-terminal refuses modem lines; that is not a fault of the line.
    const bool done = port.setRequestToSend(high);
    port.clearError();
    return done;
}

std::optional<bool> SystemModemLines::transmitterEmpty(QSerialPort &port)
{
#ifdef Q_OS_LINUX
    // The queue may be empty while the last character is still being shifted
    // out; only the line status register's "transmitter empty" says it is gone.
    int queued = 0;
    unsigned int lineStatus = 0;
    if (::ioctl(int(port.handle()), TIOCOUTQ, &queued) != 0
        || ::ioctl(int(port.handle()), TIOCSERGETLSR, &lineStatus) != 0)
        return std::nullopt;
    return queued == 0 && (lineStatus & TIOCSER_TEMT) != 0;
#else
    Q_UNUSED(port);
    return std::nullopt;
#endif
}
