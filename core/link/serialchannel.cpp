#include "link/serialchannel.h"
#include "link/apperror.h"
#include "link/portopenerror.h"

#include <QRegularExpression>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {
const QString MsgSetCommState = QStringLiteral("Ошибка функции SetCommState");
const QString MsgPurge = QStringLiteral("Ошибка функции PurgeComm");
const QString MsgWrite = QStringLiteral("Ошибка записи в порт");
const QString MsgRead = QStringLiteral("Ошибка чтения из порта");
const QString MsgPropertyOpen = QStringLiteral("Нельзя менять свойство, пока порт открыт");
} // namespace

SerialChannel::SerialChannel(QObject *parent) : QObject(parent)
{
    readDeadline.setSingleShot(true);
    readDeadline.setTimerType(Qt::PreciseTimer);
    writeDeadline.setSingleShot(true);
    connect(&readDeadline, &QTimer::timeout, this, &SerialChannel::finishRead);
    connect(&writeDeadline, &QTimer::timeout, this, &SerialChannel::finishWrite);
    connect(&port, &QSerialPort::readyRead, this, &SerialChannel::onReadyRead);
    connect(&port, &QSerialPort::bytesWritten, this, &SerialChannel::onBytesWritten);
    connect(&port, &QSerialPort::errorOccurred, this, &SerialChannel::onError);
}

SerialChannel::~SerialChannel()
{
    // No signals to half-destroyed listeners while the port shuts down.
    port.disconnect(this);
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
    if (isOpen() && !port.setBaudRate(baud))
        throw AppError(MsgSetCommState);
}

void SerialChannel::open()
{
    if (isOpen())
        return;
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
    applyRs485();
    // Bytes the driver collected before we opened belong to nobody.
    port.clear(QSerialPort::AllDirections);
}

void SerialChannel::applyRs485()
{
#ifdef Q_OS_LINUX
    // RTS only while sending, where the driver can do it; otherwise the
    // adapter switches direction itself.
    serial_rs485 rs{};
    if (::ioctl(int(port.handle()), TIOCGRS485, &rs) == 0) {
        rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs.flags &= ~SER_RS485_RTS_AFTER_SEND;
        ::ioctl(int(port.handle()), TIOCSRS485, &rs);
    }
#endif
}

void SerialChannel::close()
{
    if (!isOpen())
        return;
    abortAll();
    port.setDataTerminalReady(false);
    port.close();
    port.clearError();
}

void SerialChannel::purge()
{
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
    readDest = nullptr;
    writePending = 0;
    if (isOpen())
        port.clear(QSerialPort::AllDirections);
    if (inProgress)
        emit aborted();
}

void SerialChannel::write(const uint8_t *data, int count)
{
    if (!isOpen() || port.write(reinterpret_cast<const char *>(data), count) != count)
        throw AppError(MsgWrite);
    writePending = count;
    writeDeadline.start(timing.writeMsPerByte * count + timing.writeConstantMs);
}

void SerialChannel::onBytesWritten(qint64 n)
{
    if (writePending <= 0)
        return;
    writePending -= n;
    if (writePending <= 0)
        finishWrite();
}

void SerialChannel::finishWrite()
{
    writeDeadline.stop();
    writePending = 0;
    emit writeFinished();
}

void SerialChannel::beginRead(uint8_t *dest, int count)
{
    if (!isOpen())
        throw AppError(MsgRead);
    readDest = dest;
    readWanted = count;
    readGot = 0;
    readDeadline.start(timing.readMsPerByte * count + timing.readConstantMs);
    onReadyRead();
}

void SerialChannel::onReadyRead()
{
    if (!readDest)
        return; // left for the next purge
    const qint64 n = port.read(reinterpret_cast<char *>(readDest + readGot), readWanted - readGot);
    if (n > 0)
        readGot += int(n);
    if (readGot >= readWanted)
        finishRead();
}

void SerialChannel::finishRead()
{
    if (!readDest)
        return;
    readDeadline.stop();
    readDest = nullptr;
    emit readFinished(readGot);
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
    if (!isOpen())
        return;
    // A vanished far end repeats this error without end until the port is
    // closed: close at the first one and report once.
    const bool exchanging = readDest != nullptr || writePending > 0;
    readDeadline.stop();
    writeDeadline.stop();
    readDest = nullptr;
    writePending = 0;
    port.close();
    port.clearError();
    emit portFailed(message);
    if (!exchanging)
        emit lostWhileIdle(message);
}
