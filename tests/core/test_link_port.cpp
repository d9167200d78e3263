// The serial channel on a real QSerialPort over a pseudo-terminal: opening
// and its failures, the failures' window texts, port names, the line's speed,
// a transaction against the simulator, and bytes that a handler took before
// the port or the channel saw them.
#include "link/linechannel.h"
#include "link/transaction.h"
#include "support/ptypeer.h"
#include "support/simrig.h"
#include <QSocketNotifier>
#include <QThread>
#include <QtTest>
#include <unistd.h>

namespace {
// Turns no event loop: the bytes stay with the kernel until the test lets the port see them.
bool waitingBytes(const SerialLine &line, int count)
{
    QElapsedTimer t;
    t.start();
    while (line.waiting() < count && t.elapsed() < 2000)
        QThread::usleep(200);
    return line.waiting() == count;
}

QString errorOf(const Result<bool> &r)
{
    return r ? QString() : windowText(r.failure());
}

QString errorOf(const std::optional<Failure> &f)
{
    return f ? windowText(*f) : QString();
}
} // namespace

class LinkPortTest : public QObject {
    Q_OBJECT

private slots:
    void openFailures()
    {
        PtyPeer peer;
        LineChannel first, second;
        first.setPortName(peer.slavePath());
        second.setPortName(peer.slavePath());
        first.open();
        QCOMPARE(errorOf(second.open()), QStringLiteral("Порт занят другой программой"));
        QVERIFY(!second.isOpen());
        QVERIFY(first.isOpen());

        LineChannel missing;
        missing.setPortName(QStringLiteral("/dev/kalmir-no-such-port"));
        QCOMPARE(errorOf(missing.open()), QStringLiteral("Попытка открыть несуществующий COM-порт"));
        QVERIFY(!missing.isOpen());

        QCOMPARE(errorOf(first.setPortName(QStringLiteral("COM2"))),
                 QStringLiteral("Нельзя менять свойство, пока порт открыт"));
        QCOMPARE(first.portName(), peer.slavePath());
        first.close();
        QVERIFY(errorOf(second.open()).isEmpty());
    }

    // Every kind of failure as the window shows it, with its facts in place.
    void windowTextOfEachKind()
    {
        using K = Failure::Kind;
        Failure server = Failure::of(K::ConnectFailed);
        server.address = QStringLiteral("[::1]:4001");
        server.osText = QStringLiteral("ошибка сокета");
        Failure file = Failure::withValue(K::FileIo, 28);
        file.path = QStringLiteral("/var/log/dev5.txt");
        file.osText = QStringLiteral("No space left on device");
        const QList<std::pair<Failure, QString>> rows{
            {Failure::of(K::PortWrite), QStringLiteral("Ошибка записи в порт")},
            {Failure::of(K::PortSettings), QStringLiteral("Ошибка функции SetCommState")},
            {Failure::of(K::LineBusy), QStringLiteral("Линия занята: предыдущий обмен не завершен")},
            {Failure::withText(K::LineName, "tcp://x"), QStringLiteral("Адрес линии должен иметь вид tcp://УЗЕЛ:ПОРТ: tcp://x")},
            {server, QStringLiteral("Нет связи с [::1]:4001: ошибка сокета")},
            {Failure::withValue(K::ValueOutOfRange, -1), QStringLiteral("Значение -1 вне допустимого диапазона: команда отменена")},
            {Failure::withText(K::SpeedNotListed, "1200"), QStringLiteral("Скорость \"1200\" не из списка 2400, 4800, 9600, 19200: команда отменена")},
            {Failure::withValue(K::G42Unknown, 5), QStringLiteral("Прибор 5 еще не ответил, G_42 неизвестен: команда отменена")},
            {Failure::withValue(K::ChannelsUnknown, 6), QStringLiteral("Прибор 6 еще не ответил, его каналы неизвестны: команда отменена")},
            {Failure::of(K::BroadcastAddress), QStringLiteral("Адрес 0 — широковещательный, прибору его не назначить: команда отменена")},
            {Failure::withValue(K::NotPolled, 7), QStringLiteral("Прибор 7 не опрашивается: команда отменена")},
            {file, QStringLiteral("I/O error 28\n/var/log/dev5.txt: No space left on device")},
        };
        for (const auto &[failure, text] : rows)
            QCOMPARE(windowText(failure), text);
    }

    void againstTheSimulator()
    {
        SimRig rig(60);
        rig.sim.addDetector(1);
        QSignalSpy done(&rig.tx, &Transaction::finished);
        auto run = [&](uint8_t fn, uint16_t reg, uint16_t value) {
            done.clear();
            if (!rig.tx.query(1, fn, reg, value) || !done.wait(5000))
                return -1;
            return replyCount(done.first());
        };
        QCOMPARE(run(3, 1, 24), 53);
        QVERIFY(rig.frame.replyCrcOk(53));
        QCOMPARE(run(6, 4, 650), 8);
        QVERIFY(rig.frame.replyCrcOk(8));

        rig.sim.setFault({FaultKind::Truncate, 10, 1});
        QCOMPARE(run(3, 1, 24), 10);
        QVERIFY(!rig.frame.replyCrcOk(10));
        rig.sim.setFault({FaultKind::Noise, 3, 1});
        QCOMPARE(run(3, 1, 24), 53); // the read stops at 53: the real CRC is cut off
        QVERIFY(!rig.frame.replyCrcOk(53));
        rig.sim.setFault({FaultKind::Trailing, 7, 1});
        QCOMPARE(run(3, 1, 24), 53);
        QVERIFY(rig.frame.replyCrcOk(53));
        QCOMPARE(run(3, 1, 24), 53); // the trailing bytes were purged
        QVERIFY(rig.frame.replyCrcOk(53));

        rig.sim.setFault({FaultKind::Drop, 0, 1});
        done.clear();
        QVERIFY(rig.tx.query(1, 3, 1, 24));
        QVERIFY(done.wait(5000));
        QTest::qWait(200);
        QCOMPARE(done.count(), 1);
        QCOMPARE(replyCount(done.first()), -3);
        QVERIFY(!rig.channel.isOpen());
    }

    void portNames()
    {
        QCOMPARE(LineChannel::systemPortName("COM1"), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(LineChannel::systemPortName("COM5"), QStringLiteral("/dev/ttyS4"));
        QCOMPARE(LineChannel::systemPortName("ttyUSB0"), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(LineChannel::systemPortName("/dev/pts/3"), QStringLiteral("/dev/pts/3"));
        QCOMPARE(LineChannel::systemPortName("COM"), QStringLiteral("/dev/COM"));
    }

    void baudRateReachesTheLine()
    {
        PtyPeer peer;
        LineChannel channel;
        channel.setPortName(peer.slavePath());
        channel.setBaudRate(1200);
        channel.open();
        QCOMPARE(peer.baudRate(), 1200);
        channel.setBaudRate(19200); // applied at once while open
        QCOMPARE(peer.baudRate(), 19200);
    }

    // Bytes wake the port's notifier and a handler called before it in the
    // same turn of the event loop purges them (as the silence before a
    // request does): the port's read finds nothing (EAGAIN). That is no loss;
    // a far end that goes is one.
    void aReadThatFindsNothingIsNoLoss()
    {
        PtyPeer peer;
        int ends[2];
        QVERIFY(::pipe(ends) == 0);
        QSocketNotifier first(ends[0], QSocketNotifier::Read); // made before the port's own: called first
        SerialLine line;
        QVERIFY(line.open(peer.slavePath(), 9600));
        QSignalSpy failed(&line, &LinePort::failed);
        int purged = 0;
        connect(&first, &QSocketNotifier::activated, [&] {
            char c;
            purged += int(::read(ends[0], &c, 1)) == 1 && line.purge();
        });
        for (int i = 1; i <= 5; ++i) {
            peer.send("\x55");
            QVERIFY(waitingBytes(line, 1));
            QCOMPARE(::write(ends[1], "x", 1), 1);
            QCoreApplication::processEvents(); // one turn: the purge, then the port's notifier
            QCOMPARE(purged, i);
            QCOMPARE(failed.count(), 0);
        }
        QSignalSpy arrived(&line.device(), &QIODevice::readyRead);
        peer.send("ab");
        QVERIFY(arrived.wait(2000));
        QCOMPARE(line.device().readAll(), QByteArray("ab"));
        peer.close();
        QVERIFY(failed.wait(2000));
        line.closeLost();
        ::close(ends[0]);
        ::close(ends[1]);
    }

    // Bytes that came when a request's wait for silence ran out, before the
    // loop handed them over, mean the line is not quiet: they are dropped as
    // stray bytes and the request waits 3.5 characters more instead of
    // going into them.
    void aRequestWaitsForBytesTheLoopHasNotSeenYet()
    {
        PtyPeer peer;
        LineChannel channel;
        channel.setPortName(peer.slavePath());
        channel.setBaudRate(1200); // 3.5 characters: 29 ms
        QVERIFY(channel.open());
        QSignalSpy stray(&channel, &LineChannel::strayBytes);
        QSignalSpy written(&channel, &LineChannel::writeFinished);
        const QByteArray request = QByteArray::fromHex("010300010018" "1400");
        QVERIFY(!channel.write(reinterpret_cast<const uint8_t *>(request.constData()), 8)); // the line opened just now
        QThread::msleep(40); // the wait runs out unseen...
        peer.send("\x55");  // ...and a byte comes
        QThread::msleep(50); // with the kernel by then
        QCoreApplication::processEvents(); // the timer first (made before the port), then the port
        QVERIFY(written.wait(2000));
        QCOMPARE(stray.count(), 1);
        QCOMPARE(stray.first().first().toByteArray(), QByteArray("\x55"));
        QVERIFY(QTest::qWaitFor([&] { return peer.received() == request; }, 2000));
    }
};


QTEST_GUILESS_MAIN(LinkPortTest)
#include "test_link_port.moc"
