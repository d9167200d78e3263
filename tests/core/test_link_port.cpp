// The serial channel on a real QSerialPort over a pseudo-terminal: opening
// and its failures, the failures' window texts, port names, the line's speed
// and a transaction against the simulator.
#include "link/linechannel.h"
#include "link/transaction.h"
#include "support/ptypeer.h"
#include "support/simrig.h"
#include <QtTest>

namespace {
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
};

QTEST_GUILESS_MAIN(LinkPortTest)
#include "test_link_port.moc"
