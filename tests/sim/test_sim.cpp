// The detector simulator's logic in process: its framer, fault counts,
// registers, mode commands, alarm latch and signals.
#include "detector/commandtable.h"
#include "detector/devicestatus.h"
#include "sim/cliopts.h"
#include "sim/simulator.h"
#include "support/simwire.h"

#include <QTest>

class TestSim : public QObject {
    Q_OBJECT

private slots:
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

    // The core builds each typed-value command and decodes the status block;
    // the simulator stores and serves them. Both read one register map: a
    // register moved on one side only shows here as a value read back from
    // the wrong field.
    void coreCommandsReadBackThroughDecoding()
    {
        struct Case {
            Command command;
            std::optional<int32_t> value; // none: the command builds its own
            int expected;
            int (*readBack)(const DeviceStatus &);
        };
        const Case cases[] = {
            {Command::WriteDustThreshold, 5100, 5100, [](const DeviceStatus &s) { return int(s.dustThreshold); }},
            {Command::WriteIrThreshold, 710, 710, [](const DeviceStatus &s) { return int(s.irThreshold); }},
            {Command::WriteUvThreshold, 430, 430, [](const DeviceStatus &s) { return int(s.uvThreshold); }},
            {Command::WriteSerialNumber, 65000, 65000, [](const DeviceStatus &s) { return int(s.serialNumber); }},
            {Command::WriteHeaterPoint, -7, -7, [](const DeviceStatus &s) { return int(s.heaterPoint); }},
            {Command::WriteUvFaultTime, 19, 19, [](const DeviceStatus &s) { return int(s.uvFaultHours); }},
            {Command::WriteConfigMark, {}, ConfigMarkValue, [](const DeviceStatus &s) { return int(s.configMark); }},
            // The two toggles start from the default (on) and end off.
            {Command::ToggleHeater, {}, 0, [](const DeviceStatus &s) { return int(s.heaterEnabled()); }},
            {Command::UvChannelOff, {}, 0, [](const DeviceStatus &s) { return int(s.uvChannel()); }},
        };
        for (const Case &c : cases) {
            Detector d(9, 9600);
            d.setRegister(sreg::ConfigMark, 0);
            uint8_t mask = uint8_t(d.reg(sreg::Channels));
            CommandInputs in;
            in.targetAddress = 9;
            in.value = c.value;
            const Result<BuiltCommand> built = buildCommand(c.command, in, mask);
            QVERIFY(built && built->send);
            const QByteArray write = request(9, FnWriteSingle, built->reg, built->value);
            QCOMPARE(d.handle(write), write);

            const QByteArray reply = d.handle(request(9, FnReadHolding, sreg::First, sreg::Count));
            FrameBuffer buf;
            std::copy(reply.begin(), reply.end(), buf.reply());
            QCOMPARE(c.readBack(decodeStatus(buf)), c.expected);
        }
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

};

QTEST_GUILESS_MAIN(TestSim)
#include "test_sim.moc"
