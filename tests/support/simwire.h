#pragma once
// The simulator's line as its suites drive it: request frames, seeded junk,
// one mbpoll call and a QSerialPort client on the slave side.
#include "link/frames.h"
#include "sim/simulator.h"
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTest>
inline const QByteArray StatusRead = QByteArray::fromHex("010300010018" "1400");

inline QByteArray request(uint8_t address, uint8_t function, uint16_t reg, uint16_t value)
{
    FrameBuffer b;
    b.buildRequest(address, function, reg, value);
    return QByteArray(reinterpret_cast<const char *>(b.request()), RequestLength);
}

inline QByteArray seededJunk(int count, quint32 seed)
{
    QRandomGenerator rng(seed);
    QByteArray junk;
    for (int i = 0; i < count; ++i)
        junk.append(char(rng.bounded(256)));
    return junk;
}

struct MbpollRun {
    int exitCode = -1;
    QString output;
    QMap<int, uint16_t> values; // reference -> value, as mbpoll printed them
};

// One mbpoll call, 8N1, one poll, register numbers as on the wire (-0).
// `values` after the port make it a write. The event loop turns meanwhile, so
// an in-process simulator answers.
inline MbpollRun mbpoll(const QString &port, int address, int baud, const QStringList &options,
                 const QStringList &values = {})
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QStringList args{"-m", "rtu", "-P", "none", "-d", "8", "-s", "1", "-0", "-1", "-o", "0.3",
                     "-a", QString::number(address), "-b", QString::number(baud), "-t", "4"};
    p.start(QStringLiteral("mbpoll"), args + options + QStringList{port} + values);
    QSignalSpy finished(&p, &QProcess::finished);
    MbpollRun run;
    if (!finished.wait(5000))
        return run;
    run.exitCode = p.exitCode();
    run.output = QString::fromLocal8Bit(p.readAll());
    static const QRegularExpression line(QStringLiteral("^\\[(\\d+)\\]:\\s+(\\d+)"),
                                         QRegularExpression::MultilineOption);
    for (auto m = line.globalMatch(run.output); m.hasNext();) {
        const auto hit = m.next();
        run.values[hit.captured(1).toInt()] = uint16_t(hit.captured(2).toUInt());
    }
    return run;
}

// The master's end as the service tool has it: a QSerialPort on the slave side.
class Client {
public:
    explicit Client(const QString &path, int baud = 9600)
    {
        port.setPortName(path);
        port.setBaudRate(baud);
        QObject::connect(&port, &QSerialPort::readyRead, [this] {
            chunks.append(port.readAll());
            received += chunks.last();
        });
        port.open(QIODevice::ReadWrite);
    }
    bool isOpen() const { return port.isOpen(); }
    void send(const QByteArray &bytes)
    {
        received.clear();
        chunks.clear();
        port.write(bytes);
        (void)QTest::qWaitFor([this] { return port.bytesToWrite() == 0; }, 1000);
    }
    // Sends and waits until at least `want` bytes are back (or the time is up).
    QByteArray exchange(const QByteArray &bytes, int want, int waitMs = 1000)
    {
        send(bytes);
        (void)QTest::qWaitFor([&] { return received.size() >= want; }, waitMs);
        return received;
    }
    // Sends and collects whatever comes back within `ms`.
    QByteArray listen(const QByteArray &bytes, int ms = 150)
    {
        send(bytes);
        QTest::qWait(ms);
        return received;
    }

    QSerialPort port;
    QByteArray received;
    QList<QByteArray> chunks;
};

inline QList<QByteArray> framesOf(const Simulator &sim, SimFrame::Direction direction)
{
    QList<QByteArray> out;
    for (const SimFrame &f : sim.frames())
        if (f.direction == direction)
            out.append(f.bytes);
    return out;
}
