// A line behind a serial server: the window reaches the simulator (in
// wire-time mode) through the real ser2net in raw TCP mode on 127.0.0.1,
// directly and through relays that hand the replies over in pieces.
#include "support/pollrig.h"
#include "support/ser2net.h"
#include "support/simprocess.h"
#include "widgets/errorreport.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The window with detectors 1 and 2 behind ser2net, on the line's own timing.
struct ServerRig : PollRig {
    Ser2Net server{sim.slavePath(), 9600};
    QSignalSpy reported{&window->errors(), &ErrorReport::reported};

    ServerRig() : PollRig(RealLineTiming)
    {
        sim.setWireTime(true);
        device(1);
        device(2);
        if (!server.start())
            qFatal("ser2net did not start");
    }
    bool connectTo(const QString &url)
    {
        ui().cb1->setEditText(url);
        ui().Edit8->setText(QStringLiteral("0"));
        QTest::mouseClick(ui().Button1, Qt::LeftButton);
        return waitFor([this] { return session.lineChannel().isOpen() || !reported.isEmpty(); }, 5000)
               && session.lineChannel().isOpen();
    }
    // The reply log's status lines are the simulator's replies, byte for byte.
    bool statusLinesAreTheSimulatorsReplies()
    {
        QStringList sent;
        for (const SimFrame &f : sim.frames())
            if (f.direction == SimFrame::Sent && f.bytes.size() == 53)
                sent << decimalBytes(f.bytes.left(5) + f.bytes.mid(13, 6), QStringLiteral("  "));
        const QStringList shown = lines(ui().Memo2).filter(QRegularExpression(QStringLiteral("^\\d+  3  48  ")));
        return !shown.isEmpty() && shown == sent.mid(sent.size() - shown.size());
    }
};
// A listener that never accepts, its one-place queue already taken: the
// kernel drops further connects' SYNs, so they neither complete nor fail.
struct FullListener {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    quint16 port = 0;
    FullListener()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || ::listen(fd, 0) != 0
            || ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0
            || ::connect(filler, reinterpret_cast<sockaddr *>(&a), len) != 0)
            qFatal("full listener: %s", strerror(errno));
        port = ntohs(a.sin_port);
    }
    ~FullListener() { ::close(filler), ::close(fd); }
};
} // namespace

class SerialServerTest : public QObject {
    Q_OBJECT

private slots:
    // A search over the first addresses, two detectors polled, a command and a
    // speed change, each frame exact on the simulator's wire.
    void theWindowWorksThroughTheServer()
    {
        ServerRig rig;
        QVERIFY(rig.connectTo(rig.server.url()));
        QTest::mouseClick(rig.ui().Button9, Qt::LeftButton); // room for the two the search finds
        QTest::mouseClick(rig.ui().Button3, Qt::LeftButton);
        QVERIFY(PollRig::waitFor([&] { return rig.receivedCount() >= 4; }));
        QTest::mouseClick(rig.ui().Button3, Qt::LeftButton);
        QVERIFY(PollRig::waitFor([&] { return !rig.session.busSearch().running(); }));
        for (int i = 0; i < rig.receivedCount(); ++i)
            QCOMPARE(rig.received()[i], rtuFrame(uint8_t(i + 1), 3, 1, 24));
        QVERIFY(rig.session.devices().contains(1) && rig.session.devices().contains(2));

        rig.listOnly({1, 2});
        const int from = rig.receivedCount();
        QTest::mouseClick(rig.ui().Button23, Qt::LeftButton); // "Медленно", to detector 1
        QVERIFY(rig.startPolling() && rig.waitForStatusLines(0, 4));
        QVERIFY(rig.statusLinesAreTheSimulatorsReplies());
        QVERIFY(!PollRig::lines(rig.ui().Memo2).contains(QStringLiteral("TimeOuterror")));
        rig.ui().cb7->setCurrentIndex(4); // "19200"
        QTest::mouseClick(rig.ui().Button8, Qt::LeftButton);
        QVERIFY(PollRig::waitFor([&] { return rig.reported.count() == 1; }));
        QCOMPARE(rig.reported.first().first().toString(),
                 QStringLiteral("Прибор переключен на 19200 бод; установите эту скорость на порту сервера"));
        QVERIFY(rig.stopPolling());
        QCOMPARE(rig.ui().cb2->currentText(), QStringLiteral("9600"));
        QCOMPARE(rig.session.lineChannel().baudRate(), 9600);

        const QList<QByteArray> writes = rig.writesSince(from);
        QCOMPARE(writes.size(), 2);
        const uint8_t switched = uint8_t(writes.last()[0]);
        QCOMPARE(writes.last(), rtuFrame(switched, 6, 0, switched * 256 + 16));
        for (const QByteArray &f : rig.received(from))
            QVERIFY(f == rtuFrame(1, 3, 1, 24) || f == rtuFrame(2, 3, 1, 24) || writes.contains(f));
    }

    // A reply handed over one byte at a time, or split anywhere, reads as a whole one.
    void repliesInPiecesReadAsWholeOnes()
    {
        for (const auto pieces : {PieceRelay::Pieces::ByteByByte, PieceRelay::Pieces::RandomSplit}) {
            ServerRig rig;
            PieceRelay relay(rig.server.port(), pieces);
            QVERIFY(rig.connectTo(relay.url()));
            rig.listOnly({1});
            QTest::mouseClick(rig.ui().Button23, Qt::LeftButton);
            QVERIFY(rig.startPolling() && rig.waitForStatusLines(0, 10));
            QVERIFY(rig.stopPolling());
            QVERIFY(rig.statusLinesAreTheSimulatorsReplies());
            const QStringList memo = PollRig::lines(rig.ui().Memo2);
            QVERIFY(memo.filter(QStringLiteral("error")).isEmpty());
            QVERIFY(memo.contains(decimalBytes(rig.writesSince(0).first(), QStringLiteral("  ")))); // the echo
        }
    }

    void aLostServerIsALostPort()
    {
        ServerRig rig;
        QVERIFY(rig.connectTo(rig.server.url()));
        rig.listOnly({1});
        QVERIFY(rig.startPolling() && rig.waitForStatusLines(0, 2));
        rig.server.stop();
        QVERIFY(PollRig::waitFor([&] { return rig.session.awaitingPort(); }));
        QTest::qWait(2500); // two tries meet a refusal
        QCOMPARE(rig.reported.count(), 1);
        QCOMPARE(PollRig::lines(rig.ui().Memo2).filter(QStringLiteral("Порт потерян ")).size(), 1);
        QVERIFY(rig.server.start());
        const int lines = rig.statusLineCount();
        QVERIFY(rig.waitForStatusLines(lines, 2));
        QCOMPARE(PollRig::lines(rig.ui().Memo2).filter(QStringLiteral("Порт снова открыт ")).size(), 1);
        QCOMPARE(rig.ui().Button2->text(), QStringLiteral("Стоп"));
        QCOMPARE(rig.reported.count(), 1);

        // A server that goes while nothing is polled is found lost at once,
        // not at the next request.
        QVERIFY(rig.stopPolling());
        rig.server.stop();
        QVERIFY(PollRig::waitFor([&] { return rig.session.awaitingPort(); }, 2000));
        QCOMPARE(PollRig::lines(rig.ui().Memo2).filter(QStringLiteral("Порт потерян ")).size(), 2);
    }

    // The command line reaches a line behind a server too, and polls it.
    void theCommandLineConnectsThroughTheServer()
    {
        QTemporaryDir dir;
        QFile wire(dir.filePath(QStringLiteral("wire.log")));
        SimProcess sim({"--wire-time", "--device", "1", "--log", wire.fileName()});
        QVERIFY(sim.start());
        Ser2Net server(sim.slavePath(), 9600);
        QVERIFY(server.start());
        QProcess kalmir;
        kalmir.setWorkingDirectory(dir.path());
        kalmir.start(QStringLiteral(KALMIR_APP_BIN),
                     {"--port", server.url(), "--device", "1", "--connect", "--poll", "--quit-after", "2"});
        QVERIFY(kalmir.waitForFinished(10000));
        QCOMPARE(kalmir.exitCode(), 0);
        QVERIFY(wire.open(QIODevice::ReadOnly));
        QVERIFY(wire.readAll().count(" RX 01 03 00 01 00 18 14 00") >= 3);
        QVERIFY(sim.terminate());
    }

    void aServerNotThereConnectsNothing()
    {
        ServerRig rig;
        const quint16 closed = freeLocalPort();
        const FullListener stuck;
        const struct {
            QString url, message;
        } cases[] = {
            {QStringLiteral("tcp://127.0.0.1:%1").arg(closed),
             QStringLiteral("Нет связи с 127.0.0.1:%1: соединение отклонено").arg(closed)},
            {QStringLiteral("tcp://kalmir.invalid:4001"), QStringLiteral("Нет связи с kalmir.invalid:4001: узел не найден")},
            // A server whose queue is full never completes the connect.
            {QStringLiteral("tcp://127.0.0.1:%1").arg(stuck.port),
             QStringLiteral("Нет связи с 127.0.0.1:%1: нет ответа за 3 с").arg(stuck.port)},
        };
        for (const auto &c : cases) {
            rig.reported.clear();
            QVERIFY(!rig.connectTo(c.url));
            QTest::qWait(200);
            QCOMPARE(rig.reported.count(), 1);
            QCOMPARE(rig.reported.first().first().toString(), c.message);
            QCOMPARE(rig.ui().Button1->text(), QStringLiteral("Соединить"));
            QVERIFY(rig.ui().Button1->isEnabled() && !rig.session.awaitingPort());
        }
    }
};

POLLRIG_TEST_MAIN(SerialServerTest)
#include "test_serialserver.moc"
