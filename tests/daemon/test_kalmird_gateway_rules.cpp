// kalmird's gateway at its edges: what a guest may send with writes off and
// on, who may connect, how a client's framing is kept (the MBAP transaction
// id, an RTU stream after half a frame), a request whose client left, and
// ports two of kalmird's listeners would share; against the real kalmird,
// the simulator in wire-time mode and a real Mosquitto. The turns and the
// rules as pure logic close it.
#include "daemon/gateway/guestclock.h"
#include "daemon/gateway/guestpolicy.h"
#include "daemon/gateway/guestrules.h"
#include "daemon/gateway/rtuframes.h"
#include "sim/simulator.h"
#include "support/gatewayrig.h"
#include "support/guestwire.h"

#include <QFile>
#include <QTcpSocket>
#include <QtTest>
#include <csignal>

class TestKalmirdGatewayRules : public QObject {
    Q_OBJECT
private slots:
    void onlyReadsPassWhileWritesAreOff_data();
    void onlyReadsPassWhileWritesAreOff();
    void clientsAreHeldToTheirOwnTerms();
    void portsAreNeverShared();
    void theTurnsAndTheirBounds();
};

namespace {
// Three detectors at 19200 baud, frozen, in wire-time mode.
bool startThree(Simulator &sim)
{
    sim.setFrozen(true);
    sim.setWireTime(true);
    for (const uint8_t a : {1, 2, 5})
        sim.addDetector(a, 19200);
    return sim.start();
}

// Every byte that reached the line from frame `from` on, but the watch's
// status reads: the guests' requests, whether the simulator took them for
// requests or dropped them as no frame it knows.
QByteArray guestBytes(const QList<SimFrame> &frames, qsizetype from)
{
    QByteArray bytes;
    for (qsizetype i = from; i < frames.size(); ++i)
        if (frames[i].direction == SimFrame::Discarded
            || (frames[i].direction == SimFrame::Received && !GuestWire::isStatusRead(frames[i].bytes)))
            bytes += frames[i].bytes;
    return bytes;
}
} // namespace

void TestKalmirdGatewayRules::onlyReadsPassWhileWritesAreOff_data()
{
    QTest::addColumn<bool>("lineWrites");
    QTest::addColumn<bool>("gatewayWrites");
    QTest::newRow("the line's writes only") << true << false;
    QTest::newRow("the gateway's writes only") << false << true;
    QTest::newRow("both") << true << true;
}

void TestKalmirdGatewayRules::onlyReadsPassWhileWritesAreOff()
{
    QFETCH(bool, lineWrites);
    QFETCH(bool, gatewayWrites);
    const bool writes = lineWrites && gatewayWrites;
    Simulator sim;
    QVERIFY(startThree(sim));
    GatewayRig rig;
    rig.start(sim.slavePath(), 19200, QStringLiteral("[1, 2, 5]"), lineWrites ? QStringLiteral("writes = true\n") : QString(),
              QStringLiteral("max_status_age_ms = 1500\n") + (gatewayWrites ? QStringLiteral("writes = true\n") : QString()));
    QVERIFY2(rig.online({1, 2, 5}), rig.log());
    const qsizetype from = sim.frames().size();
    const double fromMs = sim.frames().last().time * 1000;

    enum Kind { Read, MayWrite, Never };
    const struct {
        uint8_t unit;
        QByteArray pdu;
        Kind kind;
    } requests[] = {
        {5, pdu({3, 0, 1, 0, 2}), Read},
        {5, pdu({4, 0, 1, 0, 2}), Read},
        {5, pdu({43, 14, 1, 0}), Read}, // read device identification
        {5, pdu({6, 0, 9, 0, 1}), MayWrite},
        {5, pdu({8, 0, 1, 0, 0}), MayWrite}, // diagnostics: restart communications
        {5, pdu({43, 13, 0}), MayWrite},
        // A function nobody knows, to a silent unit: it holds the line for
        // a read window, and no longer, and starts with statuses 1500 ms fresh.
        {7, pdu({65, 1, 2}), MayWrite},
        // Register 0, a detector's address and speed: never, listed or not.
        {5, pdu({6, 0, 0, 0, 9}), Never},
        {7, pdu({6, 0, 0, 0, 5}), Never},
        {9, pdu({16, 0, 0, 0, 1, 2, 0, 5}), Never},
    };
    MbapClient client(rig.modbusPort);
    QVERIFY(client.open());
    QByteArray expected;
    int refused = 0;
    for (const auto &r : requests) {
        client.send(r.unit, r.pdu);
        const auto answer = client.next(5000);
        QVERIFY(answer);
        const bool goes = r.kind == Read || (r.kind == MayWrite && writes);
        if (!goes) {
            QCOMPARE(answer->pdu, pdu({r.pdu[0] | 0x80, 0x01}));
            ++refused;
            continue;
        }
        expected += rtuframe::withCrc(char(r.unit) + r.pdu);
        if (r.unit == 7)
            QCOMPARE(answer->pdu, pdu({r.pdu[0] | 0x80, 0x0B})); // started, and nobody answered
    }
    const QList<SimFrame> frames = sim.frames();
    QCOMPARE(guestBytes(frames, from).toHex(' '), expected.toHex(' '));
    for (const uint8_t a : {1, 2, 5})
        QVERIFY2(largestStatusGap(frames, a, fromMs) <= 1500, qPrintable(QString::number(largestStatusGap(frames, a, fromMs))));
    QCOMPARE(rig.counts(int(std::size(requests))).value("refused").toInt(), refused);
    if (!writes)
        QVERIFY(rig.log().contains(" unit 5 fn 8: refused: only reads pass while writes are off\n"));
}

void TestKalmirdGatewayRules::clientsAreHeldToTheirOwnTerms()
{
    Simulator sim;
    QVERIFY(startThree(sim));
    const Detector &five = *sim.detector(5);
    GatewayRig rig;
    rig.start(sim.slavePath(), 19200, QStringLiteral("[1, 2, 5]"), {},
              QStringLiteral("allow = [\"127.0.0.1/32\"]\nidle_timeout_s = 10\n"));
    QVERIFY2(rig.online({1, 2, 5}), rig.log());
    const QByteArray registerOne = pdu({3, 2, five.reg(1) >> 8, five.reg(1) & 0xFF});

    // Outside allow: closed at accept (maybe before the connect is seen here).
    MbapClient stranger(rig.modbusPort);
    stranger.open(3000, QHostAddress(QStringLiteral("127.0.0.2")));
    QVERIFY(loopUntil([&] { return stranger.socket().state() == QAbstractSocket::UnconnectedState; }, 3000));
    QVERIFY(loopUntil([&] { return rig.log().contains("gateway north 127.0.0.2:"); }, 2000));
    QVERIFY2(QRegularExpression(QStringLiteral("gateway north 127\\.0\\.0\\.2:\\d+: refused, not in allow\n"))
                 .match(QString::fromUtf8(rig.log())).hasMatch(), rig.log());

    // A transaction id above 255 comes back whole.
    MbapClient guest(rig.modbusPort);
    QVERIFY(guest.open());
    guest.sendRaw(pdu({0xAB, 0xCD, 0, 0, 0, 6, 5, 3, 0, 1, 0, 1}));
    const auto answer = guest.next(3000);
    QVERIFY(answer);
    QCOMPARE(answer->transaction, 0xABCD);
    QCOMPARE(answer->pdu, registerOne);

    // RTU over TCP: half a frame, then whole ones: each of them is answered
    // at once, not at the idle time.
    QTcpSocket rtu;
    rtu.connectToHost(QHostAddress::LocalHost, rig.rtuPort);
    QVERIFY(loopUntil([&] { return rtu.state() == QAbstractSocket::ConnectedState; }, 3000));
    const QByteArray read = rtuframe::withCrc(pdu({5, 3, 0, 1, 0, 1}));
    QByteArray replies;
    QObject::connect(&rtu, &QTcpSocket::readyRead, [&] { replies += rtu.readAll(); });
    rtu.write(read.left(4));
    loopFor(100);
    for (int n = 1; n <= 2; ++n) {
        rtu.write(read);
        QVERIFY2(loopUntil([&] { return replies.size() >= 7 * n; }, 3000), qPrintable(QString::number(n)));
    }
    QCOMPARE(replies, rtuframe::withCrc(char(5) + registerOne).repeated(2));

    // A client that leaves before its request started: it never goes out,
    // and it is counted and logged as abandoned.
    const QByteArray toSeven = rtuframe::withCrc(pdu({7, 3, 0, 1, 0, 1}));
    const auto onWire = [&](const QByteArray &frame) {
        int n = 0;
        for (const SimFrame &f : sim.frames())
            n += f.direction == SimFrame::Received && f.bytes == frame;
        return n;
    };
    guest.send(7, pdu({3, 0, 1, 0, 1})); // a silent unit: the line is held for a read window
    QVERIFY(loopUntil([&] { return onWire(toSeven) == 1; }, 3000));
    MbapClient leaving(rig.modbusPort);
    QVERIFY(leaving.open());
    leaving.send(2, pdu({3, 0, 2, 0, 1}));
    leaving.socket().disconnectFromHost();
    QCOMPARE(guest.next(3000)->pdu, pdu({0x83, 0x0B}));
    const QJsonObject counts = rig.counts(5); // the stranger's never came in
    QCOMPARE(counts.value("abandoned").toInt(), 1);
    QCOMPARE(counts.value("ok").toInt(), 3);
    QCOMPARE(counts.value("timeouts").toInt(), 1);
    QCOMPARE(onWire(rtuframe::withCrc(pdu({2, 3, 0, 2, 0, 1}))), 0);
    QVERIFY2(rig.log().contains(" unit 2 fn 3: abandoned, the client left before it started\n"), rig.log());
}

void TestKalmirdGatewayRules::portsAreNeverShared()
{
    const quint16 port = freeLocalPort();
    const QString line = QStringLiteral("[[line]]\nname = \"%1\"\nport = \"/dev/%1\"\ndevices = [1]\n[line.gateway]\n%2\n");
    const struct {
        QString text;
        QByteArray says;
    } clashes[] = {
        {line.arg("a", "listen = \"%1\"") + line.arg("b", "rtu_listen = \"127.0.0.1:%1\""),
         ":12: line.gateway.rtu_listen: lines \"a\" and \"b\" would both listen on 127.0.0.1:%1\n"},
        {line.arg("a", "listen = \"0.0.0.0:%1\"") + line.arg("b", "listen = \"%1\""),
         ":12: line.gateway.listen: lines \"a\" and \"b\" would both listen on 127.0.0.1:%1\n"},
        {QStringLiteral("[http]\nlisten = \"127.0.0.1:%1\"\n") + line.arg("a", "rtu_listen = \"%1\""),
         ":8: line.gateway.rtu_listen: line \"a\"'s gateway and [http] would both listen on 127.0.0.1:%1\n"},
        {line.arg("a", "listen = \"127.0.0.1:%1\"\nrtu_listen = \"0.0.0.0:%1\""),
         ":6: line.gateway.rtu_listen: the same port as listen\n"},
    };
    QByteArray out, err;
    for (const auto &c : clashes) {
        DaemonProcess d(QStringLiteral("[mqtt]\n") + c.text.arg(port));
        QCOMPARE(d.run({QStringLiteral("--check")}, &out, &err), 2);
        QCOMPARE(err, "kalmird: " + d.configPath().toUtf8() + QByteArray(c.says).replace("%1", QByteArray::number(port)));
    }
    // Apart they pass: another port, another address, another kind of address.
    DaemonProcess apart(QStringLiteral("[mqtt]\n[http]\nlisten = \"127.0.0.1:%1\"\n").arg(port)
                        + line.arg("a", "listen = \"127.0.0.2:%1\"").arg(port)
                        + line.arg("b", "listen = \"%1\"\nrtu_listen = \"[::1]:%2\"").arg(port + 1).arg(port));
    QCOMPARE(apart.run({QStringLiteral("--check")}, &out, &err), 0);

    // On reload a line whose gateway would take a running one's port is
    // refused, and the running one goes on.
    Simulator sim;
    QVERIFY(startThree(sim));
    GatewayRig rig;
    rig.start(sim.slavePath(), 19200, QStringLiteral("[1, 2, 5]"), {}, {});
    QVERIFY2(rig.online({1, 2, 5}), rig.log());
    QFile file(rig.daemon->configPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray text = file.readAll() + "\n";
    file.close();
    const int at = int(text.count('\n')) + 5; // the new line's [line.gateway]
    text += line.arg("south", "listen = \"%1\"").arg(rig.modbusPort).toUtf8();
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size());
    file.close();
    ::kill(pid_t(rig.daemon->pid()), SIGHUP);
    const QByteArray refused = QStringLiteral("reload refused: %1:%2: line.gateway.listen: lines \"north\" and \"south\" "
                                              "would both listen on 127.0.0.1:%3; the running configuration stays\n")
                                   .arg(rig.daemon->configPath()).arg(at).arg(rig.modbusPort).toUtf8();
    QVERIFY2(loopUntil([&] { return rig.log().contains(refused); }, 5000), rig.log());
    MbapClient guest(rig.modbusPort);
    QVERIFY(guest.open());
    guest.send(5, pdu({3, 0, 1, 0, 1}));
    QCOMPARE(guest.next(3000)->pdu.size(), 4);
    QVERIFY(!rig.log().contains("cannot listen") && !rig.log().contains("reloaded"));
}

// What the whole runs cannot pin down to the millisecond: the turns, the
// share window's edge, the freshness sum and the frame lengths.
void TestKalmirdGatewayRules::theTurnsAndTheirBounds()
{
    GuestPolicy policy(0.5, 1000);
    LineFacts idle;
    for (const int client : {3, 1, 2})
        policy.add({client, pdu({1, 3}), 0, 100, 400});
    QList<int> order;
    while (const auto r = policy.take(idle))
        order << r->client;
    QCOMPARE(order, (QList<int>{1, 2, 3}));
    policy.add({1, pdu({1, 3}), 0, 100, 400});
    policy.add({3, pdu({1, 3}), 0, 100, 400});
    QCOMPARE(policy.take(idle)->client, 1); // after 3 the ring starts again

    // The share: 5000 ms of any 10 s, a guest counted at its cost.
    policy.ran(0, 4000);
    idle.nowMs = 5000;
    QCOMPARE(policy.usedMs(5000), 4000.0);
    QCOMPARE(policy.take(idle)->client, 3); // 4000 + 400
    policy.add({2, pdu({1, 3}), 0, 100000, 1001});
    QVERIFY(!policy.take(idle)); // 4000 + 1001
    idle.nowMs = 10001;          // the window begins at 1 ms: 3999 + 1001
    QCOMPARE(policy.take(idle)->client, 2);

    // Freshness: oldest first, each read an own exchange later, one probe in full.
    LineFacts f;
    f.nowMs = 10000;
    f.ownExchangeMs = 50;
    f.lastGoodMs = {9900, 9500};
    QVERIFY(policy.keepsFresh(f, 400));  // 9500: 10000 + 400 + 50 - 9500 = 950
    QVERIFY(!policy.keepsFresh(f, 451)); // 1001
    f.probeMs = 100;
    QVERIFY(!policy.keepsFresh(f, 400));
    f.lastGoodMs = {9960, 9960};
    QVERIFY(policy.keepsFresh(f, 400)); // 10000 + 400 + 100 + 50 + 50 - 9960 = 640
    // A silent target costs its read window and the one after, for a late answer.
    QCOMPARE(guestclock::worstMs(8, 53, 0.5), (3.5 + 8) * 0.5 + 2 * 531.0);

    // Whole RTU frames by their function codes.
    const struct {
        QByteArray in;
        int length;
    } frames[] = {
        {pdu({1}), 0}, {pdu({1, 3}), 8}, {pdu({1, 16, 0, 0, 0, 2}), 0}, {pdu({1, 16, 0, 0, 0, 2, 4}), 13},
        {pdu({1, 15, 0, 0, 0, 9, 2}), 11}, {pdu({1, 22}), 10}, {pdu({1, 23, 0, 1, 0, 2, 0, 3, 0, 1}), 0},
        {pdu({1, 23, 0, 1, 0, 2, 0, 3, 0, 1, 2}), 15}, {pdu({1, 7}), 4}, {pdu({1, 43, 14, 1, 0}), 0},
        {rtuframe::withCrc(pdu({1, 43, 14, 1, 0})), 7},
    };
    for (const auto &f : frames)
        QCOMPARE(rtuframe::requestLength(f.in), f.length);

    // What never reaches the line, and with which exception.
    const struct {
        QByteArray request;
        bool writes;
        int code; // 0: it may go
    } rules[] = {
        {pdu({0, 3, 0, 1, 0, 1}), true, 0x0A},      {pdu({248, 3, 0, 1, 0, 1}), true, 0x0A},
        {pdu({247, 3, 0, 1, 0, 1}), false, 0},      {pdu({5, 4, 0, 0, 0, 1}), false, 0},
        {pdu({5, 43, 14, 1, 0}), false, 0},         {pdu({5, 43, 13, 0}), false, 0x01},
        {pdu({5, 43, 13, 0}), true, 0},             {pdu({5, 8, 0, 0, 0, 0}), false, 0x01},
        {pdu({5, 8, 0, 0, 0, 0}), true, 0},         {pdu({5, 1, 0, 0, 0, 1}), false, 0x01},
        {pdu({5, 6, 0, 9, 0, 1}), false, 0x01},     {pdu({5, 6, 0, 9, 0, 1}), true, 0},
        {pdu({5, 6, 0, 0, 0, 1}), true, 0x01},      {pdu({200, 6, 0, 0, 0, 1}), true, 0x01},
        {pdu({5, 16, 0, 0, 0, 1, 2, 0, 1}), true, 0x01},
        {pdu({5, 23, 0, 0, 0, 1, 0, 0, 0, 1, 2, 0, 1}), true, 0x01},
        {pdu({5, 23, 0, 0, 0, 1, 0, 4, 0, 1, 2, 0, 1}), true, 0},
        {pdu({5, 22, 0, 0}), true, 0x01},
    };
    for (const auto &r : rules) {
        const auto no = refusal(r.request, r.writes);
        QCOMPARE(no ? int(no->code) : 0, r.code);
    }
}

QTEST_GUILESS_MAIN(TestKalmirdGatewayRules)
#include "test_kalmird_gateway_rules.moc"
