// The detector simulator on its pseudo-terminal, checked against an
// independent Modbus master (mbpoll) and a real QSerialPort; its frame log
// and command line.
#include "sim/cliopts.h"
#include "sim/simulator.h"
#include "support/simprocess.h"
#include "support/simwire.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <unistd.h>

class TestSimLine : public QObject {
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

QTEST_GUILESS_MAIN(TestSimLine)
#include "test_sim_line.moc"
