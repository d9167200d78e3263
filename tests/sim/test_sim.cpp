// The detector simulator, checked against an independent Modbus master
// (mbpoll) and a real QSerialPort on its pseudo-terminal.
#include "link/frames.h"
#include "sim/cliopts.h"
#include "sim/simulator.h"
#include "support/simprocess.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QByteArray StatusRead = QByteArray::fromHex("010300010018" "1400");

QByteArray request(uint8_t address, uint8_t function, uint16_t reg, uint16_t value)
{
    FrameBuffer b;
    b.buildRequest(address, function, reg, value);
    return QByteArray(reinterpret_cast<const char *>(b.request()), RequestLength);
}

QByteArray seededJunk(int count, quint32 seed)
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
MbpollRun mbpoll(const QString &port, int address, int baud, const QStringList &options,
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

QList<QByteArray> framesOf(const Simulator &sim, SimFrame::Direction direction)
{
    QList<QByteArray> out;
    for (const SimFrame &f : sim.frames())
        if (f.direction == direction)
            out.append(f.bytes);
    return out;
}

} // namespace

class TestSim : public QObject {
    Q_OBJECT

private:
    // A started, frozen simulator with one detector at address 1, 9600 baud.
    void startOne(Simulator &sim)
    {
        sim.setFrozen(true);
        sim.addDetector(1);
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("mbpoll")).isEmpty(),
                 "mbpoll is missing; scripts/setup installs it");
    }

    void framerFindsRequestsAmongJunk()
    {
        const QByteArray a = StatusRead;
        const QByteArray b = request(2, 6, 4, 700);
        rtu::RequestFramer framer;
        // A false start (address, function, a register byte) before the frame.
        const QByteArray junk = QByteArray::fromHex("FF0103") + QByteArray::fromHex("0103");
        auto pieces = framer.feed(junk + a + QByteArray::fromHex("FA") + b);
        QCOMPARE(pieces.size(), 4);
        QCOMPARE(pieces[0].request, false);
        QCOMPARE(pieces[0].bytes, junk);
        QCOMPARE(pieces[1].bytes, a);
        QCOMPARE(pieces[2].request, false);
        QCOMPARE(pieces[3].bytes, b);
        QVERIFY(!framer.hasPartial());

        // One byte at a time: the frame appears with its last byte.
        for (int i = 0; i < a.size() - 1; ++i)
            QVERIFY(framer.feed(a.mid(i, 1)).isEmpty());
        pieces = framer.feed(a.right(1));
        QCOMPARE(pieces.size(), 1);
        QCOMPARE(pieces[0].bytes, a);

        // Half a frame stays until the line goes quiet.
        framer.feed(b.left(5));
        QVERIFY(framer.hasPartial());
        QCOMPARE(framer.flushPartial(), b.left(5));
        QVERIFY(framer.feed(b).size() == 1);
    }

    void framerSurvivesRandomBytes()
    {
        rtu::RequestFramer framer;
        const QByteArray junk = seededJunk(20000, 7);
        qsizetype accounted = 0;
        for (qsizetype at = 0; at < junk.size(); at += 37) {
            for (const auto &piece : framer.feed(junk.mid(at, 37))) {
                accounted += piece.bytes.size();
                if (piece.request) {
                    QCOMPARE(piece.bytes.size(), 8);
                    QVERIFY(rtu::crcOk(piece.bytes));
                }
            }
        }
        accounted += framer.flushPartial().size();
        QCOMPARE(accounted, junk.size());
        const auto after = framer.feed(StatusRead);
        QCOMPARE(after.size(), 1);
        QCOMPARE(after[0].bytes, StatusRead);
    }

    // The spoiling itself is checked on the line (faultsOnTheLine); here the
    // edges and the counting.
    void faultsCountDown()
    {
        const QByteArray reply = Detector(1, 9600).handle(StatusRead);
        QCOMPARE(applyFault(FaultKind::Truncate, 99, reply).bytes, reply.left(52)); // never the whole reply
        const Outgoing drop = applyFault(FaultKind::Drop, 0, reply);
        QVERIFY(drop.dropLine && drop.bytes.isEmpty());

        Fault twice{FaultKind::BadCrc, 0, 2};
        twice.consume();
        QVERIFY(twice.active());
        twice.consume();
        QVERIFY(!twice.active());
        Fault endless{FaultKind::Silence, 0, -1};
        for (int i = 0; i < 5; ++i)
            endless.consume();
        QVERIFY(endless.active());
    }

    void faultOptionsParse()
    {
        auto s = parseFaultOption(QStringLiteral("2/crc*3"));
        QVERIFY(s);
        QCOMPARE(s->address, 2);
        QCOMPARE(s->fault.kind, FaultKind::BadCrc);
        QCOMPARE(s->fault.count, 3);
        s = parseFaultOption(QStringLiteral("slow:1500"));
        QVERIFY(s && s->address == 0 && s->fault.kind == FaultKind::Slow && s->fault.arg == 1500 &&
                s->fault.count == -1);
        s = parseFaultOption(QStringLiteral("drop:250*1"));
        QVERIFY(s && s->fault.kind == FaultKind::Drop && s->fault.arg == 250 && s->fault.count == 1);
        for (const char *bad : {"", "fire", "crc*0", "300/crc", "crc:", "/silence", "slow:-5"})
            QVERIFY2(!parseFaultOption(QString::fromLatin1(bad)), bad);
    }

    void writeRegisters_data()
    {
        QTest::addColumn<int>("reg");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("statusReg");
        QTest::addColumn<int>("expected");
        QTest::newRow("heater point") << 3 << 40 << int(sreg::HeaterPoint) << 40;
        QTest::newRow("IR threshold") << 4 << 750 << int(sreg::IrThreshold) << 750;
        QTest::newRow("IR threshold at the top") << 4 << 32767 << int(sreg::IrThreshold) << 32767;
        QTest::newRow("heater point below zero") << 3 << 65531 << int(sreg::HeaterPoint) << 65531;
        QTest::newRow("UV threshold") << 5 << 420 << int(sreg::UvThreshold) << 420;
        QTest::newRow("channel bits") << 6 << 768 + 5 << int(sreg::Channels) << 5;
        QTest::newRow("channel bits, upper bits ignored") << 6 << 768 + 0xFA << int(sreg::Channels) << 2;
        QTest::newRow("dust threshold") << 7 << 5000 << int(sreg::DustThreshold) << 5000;
        QTest::newRow("UV calibration value") << 9 << 321 << int(sreg::G42) << 321;
        QTest::newRow("G_36 up") << 11 << 1 << int(sreg::G36) << 101;
        QTest::newRow("G_36 down") << 11 << 2 << int(sreg::G36) << 99;
        QTest::newRow("G_42 up") << 12 << 1 << int(sreg::G42) << 101;
        QTest::newRow("G_42 down") << 12 << 2 << int(sreg::G42) << 99;
        QTest::newRow("test on counts") << 13 << 3 << int(sreg::TestCounter) << 1;
        QTest::newRow("serial number") << 14 << 65000 << int(sreg::Serial) << 65000;
        QTest::newRow("config mark") << 17 << 1234 << int(sreg::ConfigMark) << 1234;
        QTest::newRow("right password") << 18 << 1234 << int(sreg::Access) << 0x6B4D;
        QTest::newRow("wrong password") << 18 << 1235 << int(sreg::Access) << 0;
        QTest::newRow("UV fault hours") << 22 << 12 << int(sreg::TUvFault) << 12;
    }

    void writeRegisters()
    {
        QFETCH(int, reg);
        QFETCH(int, value);
        QFETCH(int, statusReg);
        QFETCH(int, expected);
        Detector d(9, 9600);
        const QByteArray write = request(9, 6, uint16_t(reg), uint16_t(value));
        QCOMPARE(d.handle(write), write);
        QCOMPARE(int(d.reg(statusReg)), expected);
    }

    void refusedWrites_data()
    {
        QTest::addColumn<int>("reg");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("code");
        for (int reg : {2, 8, 10, 21, 23, 25, 100})
            QTest::addRow("register %d", reg) << reg << 1 << 2;
        QTest::newRow("speed code 3") << 0 << (5 << 8 | 3) << 3;
        QTest::newRow("address 0") << 0 << 8 << 3;
        QTest::newRow("address 248") << 0 << (248 << 8 | 8) << 3;
        QTest::newRow("fire reset 0") << 1 << 0 << 3;
        QTest::newRow("channel high byte 2") << 6 << 512 + 7 << 3;
        QTest::newRow("G_36 step 3") << 11 << 3 << 3;
        QTest::newRow("calibration 5") << 13 << 5 << 3;
        QTest::newRow("mode 8") << 15 << 8 << 3;
        QTest::newRow("mode 0") << 15 << 0 << 3;
        QTest::newRow("counters reset 1") << 19 << 1 << 3;
        QTest::newRow("HART 0") << 24 << 0 << 3;
        // A threshold out of the command table's range: -1 on the line.
        for (int reg : {4, 5, 7})
            QTest::addRow("threshold 65535 to %d", reg) << reg << 65535 << 3;
        QTest::newRow("IR threshold 32768") << 4 << 32768 << 3;
    }

    void refusedWrites()
    {
        QFETCH(int, reg);
        QFETCH(int, value);
        QFETCH(int, code);
        Detector d(4, 9600);
        Detector untouched(4, 9600);
        const QByteArray reply = d.handle(request(4, 6, uint16_t(reg), uint16_t(value)));
        QCOMPARE(reply, rtu::exceptionReply(4, 6, uint8_t(code)));
        QCOMPARE(reply.toHex().left(6), QByteArray("04860") + QByteArray::number(code));
        QCOMPARE(d.address(), uint8_t(4));
        QCOMPARE(d.baud(), 9600);
        for (int n = sreg::First; n <= sreg::Last; ++n)
            QCOMPARE(d.reg(n), untouched.reg(n));
    }

    void readRanges()
    {
        Detector d(1, 9600);
        const QByteArray part = d.handle(request(1, 3, 16, 3)); // serial, supply, +400 V
        QCOMPARE(part.toHex(), QByteArray("010306" "1f40" "00f0" "0fa0") + part.right(2).toHex());
        QVERIFY(rtu::crcOk(part));
        QCOMPARE(d.handle(request(1, 3, 24, 1)).size(), 7);
        QCOMPARE(d.handle(request(1, 3, 0, 1)), rtu::exceptionReply(1, 3, 2));
        QCOMPARE(d.handle(request(1, 3, 1, 25)), rtu::exceptionReply(1, 3, 2));
        QCOMPARE(d.handle(request(1, 3, 24, 2)), rtu::exceptionReply(1, 3, 2));
        QCOMPARE(d.handle(request(1, 3, 1, 0)), rtu::exceptionReply(1, 3, 3));
        QCOMPARE(d.handle(request(1, 4, 1, 1)), rtu::exceptionReply(1, 4, 1));
    }

    void modeCommandsToggleOneBitEach()
    {
        Detector d(1, 9600);
        const uint8_t bits[] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x80};
        for (int cmd = 1; cmd <= 7; ++cmd) {
            const uint8_t before = d.modeFlags();
            d.handle(request(1, 6, 15, uint16_t(cmd)));
            QCOMPARE(uint8_t(d.modeFlags() ^ before), bits[cmd - 1]);
            d.handle(request(1, 6, 15, uint16_t(cmd)));
            QCOMPARE(d.modeFlags(), before);
        }
        d.handle(request(1, 6, 24, 1));
        QVERIFY(d.hartOn());
        d.handle(request(1, 6, 13, 1));
        QCOMPARE(d.calibrationStep(), 1);
    }

    void settingsResets()
    {
        Detector d(1, 9600);
        const Detector factory(1, 9600);
        for (const auto &[reg, value] : {std::pair{3, 50}, {4, 900}, {5, 800}, {6, 768 + 1}, {7, 100}, {22, 30}})
            d.handle(request(1, 6, uint16_t(reg), uint16_t(value)));
        d.handle(request(1, 6, 15, 1)); // fast
        d.handle(request(1, 6, 14, 4321));
        d.handle(request(1, 6, 20, 0)); // dust settings only
        QCOMPARE(d.reg(sreg::DustThreshold), factory.reg(sreg::DustThreshold));
        QCOMPARE(d.reg(sreg::IrThreshold), uint16_t(900));
        d.handle(request(1, 6, 6, 256));
        for (int n : {sreg::HeaterPoint, sreg::IrThreshold, sreg::UvThreshold, sreg::Channels, sreg::TUvFault})
            QCOMPARE(d.reg(n), factory.reg(n));
        QCOMPARE(d.modeFlags(), factory.modeFlags());
        QCOMPARE(d.reg(sreg::Serial), uint16_t(4321)); // not a setting
        d.handle(request(1, 6, 13, 3));
        d.handle(request(1, 6, 13, 3));
        QCOMPARE(d.reg(sreg::TestCounter), uint16_t(2));
        d.handle(request(1, 6, 19, 0));
        QCOMPARE(d.reg(sreg::TestCounter), uint16_t(0));
    }

    void fireAlarmFollowsThresholdAndLatch()
    {
        Detector d(1, 9600);
        const auto fire = [&] { return bool(d.alarmFlags() & alarmbit::Fire); };
        QVERIFY(!fire());
        d.setRegister(sreg::Uik, 600); // at the IR threshold
        QVERIFY(fire());
        d.setRegister(sreg::Uik, 100);
        QVERIFY(!fire());

        d.handle(request(1, 6, 15, 3)); // fire latch on
        d.setRegister(sreg::Uuf, 501);
        d.setRegister(sreg::Uuf, 100);
        QVERIFY2(fire(), "a latched fire stays after the signal falls");
        d.handle(request(1, 6, 1, 1));
        QVERIFY(!fire());

        d.handle(request(1, 6, 6, 768 + 1)); // only the dust channel
        d.setRegister(sreg::Uik, 2000);
        d.setRegister(sreg::Uuf, 2000);
        QVERIFY(!fire());
        QVERIFY(!(d.alarmFlags() & alarmbit::Dust));
        d.setRegister(sreg::Ukz, 7000);
        QVERIFY(d.alarmFlags() & alarmbit::Dust);
        d.handle(request(1, 6, 6, 768 + 2)); // IR back on
        QVERIFY(fire());
    }

    void signalsMoveUnlessFrozen()
    {
        Detector d(1, 9600);
        int low = 1 << 20, high = -(1 << 20);
        for (int s = 0; s < 120; ++s) {
            d.advanceSignals(s);
            for (int n : {sreg::Uik, sreg::Uuf}) {
                low = qMin(low, int(int16_t(d.reg(n))));
                high = qMax(high, int(int16_t(d.reg(n))));
            }
        }
        QVERIFY2(low > 50 && high < 700 && high - low > 100, qPrintable(QStringLiteral("%1..%2").arg(low).arg(high)));

        Simulator sim;
        sim.setFrozen(true);
        Detector &still = sim.addDetector(1);
        QVERIFY(sim.start());
        const uint16_t ir = still.reg(sreg::Uik);
        QTest::qWait(3 * Simulator::SignalTickMs);
        QCOMPARE(still.reg(sreg::Uik), ir);
        sim.setFrozen(false);
        QTRY_VERIFY_WITH_TIMEOUT(still.reg(sreg::Uik) != ir, 5000);
    }

    void mbpollReadsStatusBlock()
    {
        Simulator sim;
        sim.setFrozen(true);
        sim.addDetector(1).setRegister(sreg::UshIk, 12345);
        sim.addDetector(2).setRegister(sreg::UshIk, 54321);
        QVERIFY(sim.start());
        const MbpollRun run = mbpoll(sim.slavePath(), 1, 9600, {"-r", "1", "-c", "24"});
        QVERIFY2(run.exitCode == 0, qPrintable(run.output));
        QCOMPARE(run.values.size(), 24);
        for (int n = 1; n <= 24; ++n)
            QCOMPARE(run.values.value(n), sim.detector(1)->reg(n));
        QCOMPARE(run.values[13], uint16_t(12345));
        QCOMPARE(run.values[11] & 0xFF, 103);  // version 1.2.103
        QCOMPARE(run.values[12], uint16_t(0x0102));
        QCOMPARE(run.values[16], uint16_t(8000));
        QCOMPARE(run.values[21], uint16_t(24679));
        QCOMPARE(framesOf(sim, SimFrame::Received).first(), StatusRead);

        const MbpollRun second = mbpoll(sim.slavePath(), 2, 9600, {"-r", "12", "-c", "3"});
        QVERIFY2(second.exitCode == 0, qPrintable(second.output));
        QCOMPARE(second.values.keys(), QList<int>({12, 13, 14}));
        QCOMPARE(second.values[13], uint16_t(54321));
    }

    void mbpollWriteChangesRegisterAndIsEchoed()
    {
        Simulator sim;
        startOne(sim);
        const MbpollRun run = mbpoll(sim.slavePath(), 1, 9600, {"-r", "4"}, {"777"});
        QVERIFY2(run.exitCode == 0, qPrintable(run.output));
        QCOMPARE(sim.detector(1)->reg(sreg::IrThreshold), uint16_t(777));
        const QByteArray sent = request(1, 6, 4, 777);
        QCOMPARE(framesOf(sim, SimFrame::Received), QList<QByteArray>{sent});
        QCOMPARE(framesOf(sim, SimFrame::Sent), QList<QByteArray>{sent});
        QCOMPARE(mbpoll(sim.slavePath(), 1, 9600, {"-r", "8"}).values.value(8), uint16_t(777));
    }

    void mbpollAddressAndSpeedChange()
    {
        Simulator sim;
        startOne(sim);
        // A speed code that does not exist is refused and changes nothing.
        MbpollRun run = mbpoll(sim.slavePath(), 1, 9600, {"-r", "0"}, {QString::number(5 << 8 | 3)});
        QVERIFY(run.exitCode != 0);
        QVERIFY2(run.output.contains(QLatin1String("Illegal data value")), qPrintable(run.output));
        QCOMPARE(sim.detector(1)->baud(), 9600);

        run = mbpoll(sim.slavePath(), 1, 9600, {"-r", "0"}, {QString::number(5 << 8 | 16)});
        QVERIFY2(run.exitCode == 0, qPrintable(run.output)); // echoed at address 1, 9600
        QCOMPARE(framesOf(sim, SimFrame::Sent).last(), request(1, 6, 0, 5 << 8 | 16));
        QCOMPARE(sim.detectors().first()->address(), uint8_t(5));
        QCOMPARE(sim.detectors().first()->baud(), 19200);

        QVERIFY(mbpoll(sim.slavePath(), 1, 9600, {"-r", "16"}).exitCode != 0);
        QVERIFY(mbpoll(sim.slavePath(), 5, 9600, {"-r", "16"}).exitCode != 0);
        run = mbpoll(sim.slavePath(), 5, 19200, {"-r", "16"});
        QVERIFY2(run.exitCode == 0, qPrintable(run.output));
        QCOMPARE(run.values.value(16), uint16_t(8000));
    }

    void wrongSpeedOrAddressGetsNoAnswer()
    {
        Simulator sim;
        startOne(sim);
        QVERIFY(mbpoll(sim.slavePath(), 1, 19200, {"-r", "1", "-c", "24"}).exitCode != 0);
        QVERIFY(mbpoll(sim.slavePath(), 7, 9600, {"-r", "1", "-c", "24"}).exitCode != 0);
        QCOMPARE(framesOf(sim, SimFrame::Received).size(), 2);
        QVERIFY(framesOf(sim, SimFrame::Sent).isEmpty());

        Client fast(sim.slavePath(), 19200);
        QCOMPARE(sim.lineBaud(), 19200);
        QVERIFY(fast.listen(StatusRead).isEmpty());
        fast.port.close();

        Client client(sim.slavePath());
        QVERIFY(client.isOpen());
        QCOMPARE(sim.lineBaud(), 9600);
        QVERIFY(client.listen(request(0, 6, 4, 100)).isEmpty()); // broadcast
        QCOMPARE(client.exchange(StatusRead, 53).size(), 53);
    }

    void exceptionForUndefinedRegisters()
    {
        Simulator sim;
        startOne(sim);
        MbpollRun run = mbpoll(sim.slavePath(), 1, 9600, {"-r", "2"}, {"5"});
        QVERIFY(run.exitCode != 0);
        QVERIFY2(run.output.contains(QLatin1String("Illegal data address")), qPrintable(run.output));
        run = mbpoll(sim.slavePath(), 1, 9600, {"-r", "20", "-c", "6"});
        QVERIFY2(run.output.contains(QLatin1String("Illegal data address")), qPrintable(run.output));
        const auto sent = framesOf(sim, SimFrame::Sent);
        QCOMPARE(sent.size(), 2);
        QCOMPARE(sent[0], QByteArray::fromHex("018602C3A1"));
        QCOMPARE(sent[1].left(3), QByteArray::fromHex("018302"));
    }

    void garbageDoesNotStopAnswers()
    {
        Simulator sim;
        startOne(sim);
        {
            Client client(sim.slavePath());
            // Junk and a request in one write: the request is found inside it.
            const QByteArray reply = client.exchange(seededJunk(300, 11) + StatusRead, 53);
            QCOMPARE(reply.size(), 53);
            QVERIFY(rtu::crcOk(reply));
            client.send(seededJunk(500, 12)); // junk left alone on the line
        }
        const MbpollRun run = mbpoll(sim.slavePath(), 1, 9600, {"-r", "1", "-c", "24"});
        QVERIFY2(run.exitCode == 0, qPrintable(run.output));
        QCOMPARE(run.values.value(16), uint16_t(8000));
        QVERIFY(!framesOf(sim, SimFrame::Discarded).isEmpty());
    }

    void faultsOnTheLine()
    {
        Simulator sim;
        startOne(sim);
        Client client(sim.slavePath());
        QByteArray good = client.exchange(StatusRead, 53);
        QCOMPARE(good.size(), 53);

        sim.setFault({FaultKind::Silence, 0, 1});
        QVERIFY(client.listen(StatusRead).isEmpty());
        QCOMPARE(client.exchange(StatusRead, 53), good);

        // The detector's own fault wins; the global one waits its turn.
        sim.detector(1)->setFault({FaultKind::BadCrc, 0, 1});
        sim.setFault({FaultKind::Truncate, 5, 1});
        QByteArray reply = client.exchange(StatusRead, 53);
        QCOMPARE(reply.size(), 53);
        QVERIFY(!rtu::crcOk(reply));
        QCOMPARE(client.listen(StatusRead), good.left(5));
        QCOMPARE(client.exchange(StatusRead, 53), good);

        sim.setFault({FaultKind::Exception, 4, -1});
        QCOMPARE(client.exchange(StatusRead, 5), rtu::exceptionReply(1, 3, 4));
        QCOMPARE(client.exchange(request(1, 6, 4, 650), 5), rtu::exceptionReply(1, 6, 4));
        QCOMPARE(sim.detector(1)->reg(sreg::IrThreshold), uint16_t(600)); // refused: nothing changed
        sim.clearFaults();
        good = client.exchange(StatusRead, 53);
        QVERIFY(good.size() == 53 && rtu::crcOk(good));

        sim.setFault({FaultKind::Noise, 3, 1});
        reply = client.exchange(StatusRead, 56);
        QCOMPARE(reply.size(), 56);
        QCOMPARE(reply.right(53), good);
        sim.setFault({FaultKind::Trailing, 4, 1});
        QCOMPARE(client.exchange(StatusRead, 57).left(53), good);
    }

    void slowReplyArrivesInPieces()
    {
        Simulator sim;
        startOne(sim);
        Client client(sim.slavePath());
        const QByteArray good = client.exchange(StatusRead, 53);
        sim.setFault({FaultKind::Slow, 300, 1});
        const QByteArray slow = client.exchange(StatusRead, 53, 3000);
        QCOMPARE(slow, good);
        QVERIFY2(client.chunks.size() > 3, qPrintable(QString::number(client.chunks.size())));
    }

    void repliesWaitWhileTheClientReadsNothing()
    {
        Simulator sim;
        startOne(sim);
        // A bare descriptor that does not read until everything was asked:
        // the replies overflow what the pseudo-terminal holds.
        const int fd = ::open(sim.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        const int requests = 400;
        const QByteArray all = StatusRead.repeated(requests);
        QCOMPARE(::write(fd, all.constData(), size_t(all.size())), all.size());
        QTRY_COMPARE(framesOf(sim, SimFrame::Sent).size(), requests);
        QByteArray got;
        const bool complete = QTest::qWaitFor(
            [&] {
                char buf[4096];
                ssize_t n;
                while ((n = ::read(fd, buf, sizeof buf)) > 0)
                    got.append(buf, n);
                return got.size() >= 53 * requests;
            },
            5000);
        ::close(fd);
        QVERIFY2(complete, qPrintable(QString::number(got.size())));
        QCOMPARE(got.size(), 53 * requests);
        for (int i = 0; i < requests; ++i)
            QVERIFY(rtu::crcOk(got.mid(53 * i, 53)));
    }

    void clientMayCloseAndReopen()
    {
        Simulator sim;
        startOne(sim);
        for (int round = 0; round < 3; ++round) {
            Client client(sim.slavePath());
            QVERIFY(client.isOpen());
            QCOMPARE(client.exchange(StatusRead, 53).size(), 53);
        }
    }

    void dropLine()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("detector"));
        Simulator sim;
        sim.setFrozen(true);
        sim.addDetector(1);
        QVERIFY(sim.start(link));
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.slavePath());
        QSignalSpy dropped(&sim, &Simulator::lineDropped);
        QSignalSpy opened(&sim, &Simulator::lineOpened);
        {
            Client client(link);
            QSignalSpy failed(&client.port, &QSerialPort::errorOccurred);
            sim.setFault({FaultKind::Drop, 200, 1});
            client.send(StatusRead);
            QTRY_COMPARE(dropped.size(), 1);
            QVERIFY(!sim.isRunning());
            QVERIFY(!QFileInfo::exists(link));
            QTRY_VERIFY(!failed.isEmpty()); // the client's port notices the far end is gone
            client.port.close();
        }
        QTRY_COMPARE(opened.size(), 1);
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.slavePath());
        Client again(link);
        QCOMPARE(again.exchange(StatusRead, 53).size(), 53);

        sim.dropLine();
        QVERIFY(!sim.isRunning());
        QTest::qWait(300);
        QCOMPARE(opened.size(), 1); // no reopening unless asked
    }

    void frameLog()
    {
        QTemporaryDir dir;
        const QString logPath = dir.filePath(QStringLiteral("wire.log"));
        Simulator sim;
        startOne(sim);
        QVERIFY(sim.setLogFile(logPath));
        QSignalSpy received(&sim, &Simulator::frameReceived);
        QSignalSpy sent(&sim, &Simulator::frameSent);
        Client client(sim.slavePath());

        const QByteArray write = request(1, 6, 5, 450);
        QCOMPARE(client.exchange(QByteArray::fromHex("FEFE") + write, 8), write);
        client.send(write.left(3)); // never finished: dropped after the silence gap
        QTRY_COMPARE(sim.frames().size(), 4);

        const QList<SimFrame> frames = sim.frames();
        QCOMPARE(frames[0].direction, SimFrame::Discarded);
        QCOMPARE(frames[0].bytes, QByteArray::fromHex("FEFE"));
        QCOMPARE(frames[1].direction, SimFrame::Received);
        QCOMPARE(frames[2].direction, SimFrame::Sent);
        QCOMPARE(frames[1].bytes, write);
        QCOMPARE(frames[2].bytes, write);
        QCOMPARE(frames[3].direction, SimFrame::Discarded);
        QCOMPARE(frames[3].bytes, write.left(3));
        for (int i = 1; i < frames.size(); ++i)
            QVERIFY(frames[i].time >= frames[i - 1].time);
        QVERIFY(frames[3].time - frames[2].time >= Simulator::SilenceGapMs / 1000.0);
        QCOMPARE(received.size(), 1);
        QCOMPARE(received[0][0].toByteArray(), write);
        QCOMPARE(sent.size(), 1);

        QFile file(logPath);
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        const QStringList lines = QString::fromLatin1(file.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 4);
        static const QRegularExpression shape(QStringLiteral("^(\\d+\\.\\d{3}) (RX|TX|JUNK)((?: [0-9A-F]{2})+)$"));
        const char *tags[] = {"JUNK", "RX", "TX", "JUNK"};
        for (int i = 0; i < 4; ++i) {
            const auto m = shape.match(lines[i]);
            QVERIFY2(m.hasMatch(), qPrintable(lines[i]));
            QCOMPARE(m.captured(2), QLatin1String(tags[i]));
            QCOMPARE(QByteArray::fromHex(m.captured(3).toLatin1()), frames[i].bytes);
        }
        QVERIFY(lines[1].endsWith(QLatin1String(" RX 01 06 00 05 01 C2 ") + lines[1].right(5)));

        sim.clearFrames();
        QVERIFY(sim.frames().isEmpty());
    }

    void commandLineProgram()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("ttyKALMIR"));
        const QString logPath = dir.filePath(QStringLiteral("wire.log"));
        SimProcess proc({"--link", link, "--device", "3:19200", "--device", "4", "--log", logPath, "--frozen",
                         "--fault", "3/exception:6*1", "--password", "77"});
        QVERIFY2(proc.start(), proc.errorOutput().constData());
        QCOMPARE(QFileInfo(link).symLinkTarget(), proc.slavePath());

        MbpollRun run = mbpoll(link, 3, 19200, {"-r", "16"});
        QVERIFY(run.exitCode != 0); // the one spoiled reply
        run = mbpoll(link, 3, 19200, {"-r", "16"});
        QVERIFY2(run.exitCode == 0, qPrintable(run.output));
        QCOMPARE(run.values.value(16), uint16_t(8000));
        QVERIFY(mbpoll(link, 4, 9600, {"-r", "18"}, {"77"}).exitCode == 0);
        QCOMPARE(mbpoll(link, 4, 9600, {"-r", "19"}).values.value(19), uint16_t(0x6B4D));

        QVERIFY(proc.terminate());
        QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
        QFile log(logPath);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QCOMPARE(text.count(" RX "), 4);
        QCOMPARE(text.count(" TX "), 4);
        QVERIFY(text.contains(" TX 03 83 06 "));
    }

    void commandLineRejectsBadOptions()
    {
        for (const QStringList &args : {QStringList{"--device", "0"}, QStringList{"--device", "1:1234"},
                                        QStringList{"--fault", "bogus"}, QStringList{"--fault", "9/crc"},
                                        QStringList{"--password", "70000"}, QStringList{"stray"}}) {
            QProcess p;
            p.start(QStringLiteral(KALMIR_SIM_BIN), args);
            QSignalSpy finished(&p, &QProcess::finished);
            QVERIFY(finished.wait(5000));
            QCOMPARE(p.exitCode(), 2);
            QVERIFY(p.readAllStandardOutput().isEmpty()); // no slave path for a caller to trust
        }
        const Result<SimOptions> o = parseSimOptions({"kalmir-sim"});
        QVERIFY(o && o->devices.size() == 1 && o->devices[0].address == 1 && o->devices[0].baud == 9600);
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "test_sim.moc"
