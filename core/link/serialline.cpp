#include "link/serialline.h"
#include "link/linefd.h"
#include "link/modemlines.h"
#include "link/portopenerror.h"

#include <QRegularExpression>

namespace {
void (*openedHook)(long long) = nullptr;
} // namespace

SerialLine::SerialLine(QObject *parent)
    : LinePort(parent), systemLines(std::make_unique<SystemModemLines>()), lines(systemLines.get())
{
    connect(&port, &QSerialPort::errorOccurred, this, &SerialLine::onError);
}

SerialLine::~SerialLine()
{
    // No signals to half-destroyed listeners while the port shuts down.
    port.disconnect();
}

QString SerialLine::systemPortName(const QString &name)
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

void SerialLine::setOnOpened(void (*hook)(long long fd))
{
    openedHook = hook;
}

void SerialLine::setModemLines(ModemLines *modemLines)
{
    lines = modemLines ? modemLines : systemLines.get();
}

Result<bool> SerialLine::open(const QString &name, qint32 baud)
{
    const QString device = systemPortName(name);
    port.setPortName(device);
    if (!port.open(QIODevice::ReadWrite)) {
        const auto err = port.error();
        port.clearError();
        return portOpenFailure(portOpenFacts(err, device));
    }
    if (!port.setBaudRate(baud) || !port.setDataBits(QSerialPort::Data8) || !port.setParity(QSerialPort::NoParity)
        || !port.setStopBits(QSerialPort::OneStop) || !port.setFlowControl(QSerialPort::NoFlowControl)) {
        port.close();
        port.clearError();
        return Failure::of(Failure::Kind::PortSettings);
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
    if (openedHook)
        openedHook(port.handle());
    reader = nullptr; // the port's notifier is new with each opening
    threshold = 1;    // the port opens with every byte waking it
    return true;
}

void SerialLine::close()
{
    if (!port.isOpen())
        return;
    port.setDataTerminalReady(false);
    port.close();
    port.clearError();
}

void SerialLine::closeLost()
{
    port.close();
    port.clearError();
}

qint64 SerialLine::writeNow(const char *data, qint64 count)
{
    return linefd::writeNow(port.handle(), false, data, count);
}

int SerialLine::waiting() const
{
    return linefd::waiting(port.handle());
}

void SerialLine::dropInput()
{
    if (port.isOpen())
        port.clear(QSerialPort::Input);
}

bool SerialLine::purge()
{
    if (port.isOpen() && port.clear(QSerialPort::AllDirections))
        return true;
    port.clearError();
    return false;
}

bool SerialLine::setBaudRate(qint32 baud)
{
    return !port.isOpen() || port.setBaudRate(baud);
}

void SerialLine::setSending(bool on)
{
    if (softDirection && port.isOpen())
        lines->setRts(port, on);
}

std::optional<bool> SerialLine::transmitterEmpty()
{
    if (!askTransmitter || !port.isOpen())
        return std::nullopt;
    const std::optional<bool> empty = lines->transmitterEmpty(port);
    askTransmitter = empty.has_value(); // a driver that cannot tell never will
    return empty;
}

void SerialLine::setWakeThreshold(int bytes)
{
    if (bytes == threshold || !port.isOpen())
        return;
    threshold = bytes;
    linefd::setWakeThreshold(port.handle(), bytes);
}

// QSerialPort has no call to stop watching its descriptor while it is open;
// its read notifier is its child. Where none is found the line stays watched.
void SerialLine::watch(bool on)
{
    if (!reader && !on)
        for (QSocketNotifier *n : port.findChildren<QSocketNotifier *>(Qt::FindDirectChildrenOnly))
            if (n->type() == QSocketNotifier::Read && n->socket() == port.handle())
                reader = n;
    if (reader)
        reader->setEnabled(on);
}

void SerialLine::onError(QSerialPort::SerialPortError error)
{
    Failure failure;
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::ResourceError:
        // The port's notifier can be woken for bytes that are gone by the
        // time it reads: a handler that ran before it in the same turn of
        // the event loop purged the port (the silence before a request) or
        // read it (the rest of a reply). Its read then finds nothing
        // (EAGAIN), which the port reports as an error; the line is fine
        // as long as it shows no hang-up or error.
        if (port.isOpen() && !linefd::broken(port.handle())) {
            port.clearError();
            return;
        }
        failure.kind = Failure::Kind::PortRead;
        break;
    case QSerialPort::WriteError:
        failure.kind = Failure::Kind::PortWrite;
        break;
    default:
        return; // open failures are reported by open(); the rest is not fatal
    }
    failure.osText = port.errorString();
    if (port.isOpen())
        emit failed(failure);
}
