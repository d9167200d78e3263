// kalmird's gateway: Modbus TCP clients (Debian's mbpoll, and clients of
// our own at full rate) and the window on the RTU port reach the detectors
// of a watched line through the real kalmird, the simulator in wire-time
// mode on the line and a real Mosquitto beside it; the simulator's wire log
// shows what went out.
#include "daemon/gateway/guestclock.h"
#include "daemon/gateway/guestpolicy.h"
#include "daemon/gateway/guestrules.h"
#include "daemon/gateway/rtuframes.h"
#include "chart/chartwindow.h"
#include "link/linechannel.h"
#include "support/gatewayrig.h"
#include "support/guestwire.h"
#include "support/pollrig.h"

#include <QRandomGenerator>
#include <QtTest>

class TestKalmirdGateway : public QObject {
    Q_OBJECT
private slots:
    void mbpollReachesTheDetectorsThroughTheWatch();
    void aFloodOfGuestsNeverBlindsTheWatch();
    void theWindowWorksThroughTheRtuPort();
    void connectionsAreKeptInBounds();
    void theTurnsAndTheirBounds();
};

void TestKalmirdGateway::mbpollReachesTheDetectorsThroughTheWatch()
{
    Simulator sim;
    sim.setFrozen(true);
    sim.setWireTime(true);
    for (const uint8_t a : {1, 2, 5})
        sim.addDetector(a, 19200);
    QVERIFY(sim.start());
    // Values of its own in the registers a wrong one would show in.
    for (const int n : {sreg::Uik, sreg::Uuf, sreg::Ukz, sreg::Serial, sreg::VersionBuild})
        sim.detector(5)->setRegister(n, uint16_t(500 + n));
    GatewayRig rig;
    rig.start(sim.slavePath(), 19200, QStringLiteral("[1, 2, 5]"), {}, QStringLiteral("max_status_age_ms = 1500\n"));
    QVERIFY2(rig.online({1, 2, 5}), rig.log());
    const double from = sim.frames().last().time * 1000;

    // Reads equal the simulator's registers, at PDU addresses.
    const QByteArray read = mbpoll(rig.modbusPort, {"-a", "5", "-0", "-r", "1", "-c", "24"});
    for (int n = 1; n <= 24; ++n)
        QVERIFY2(read.contains(QStringLiteral("[%1]: \t%2\n").arg(n).arg(sim.detector(5)->reg(n)).toUtf8()), read);
    // A unit that never answers, a broadcast, a write with writes off.
    const struct {
        QStringList arguments, values;
        QByteArray says;
    } refusals[] = {
        {{"-a", "7", "-r", "1"}, {}, "Target device failed to respond"},
        {{"-a", "0", "-r", "1"}, {}, "Gateway path unavailable"},
        {{"-a", "5", "-r", "3"}, {"7"}, "Illegal function"},
        // The detector's own refusal is passed on, and is no fact of the watch's.
        {{"-a", "5", "-0", "-r", "30"}, {}, "Illegal data address"},
    };
    for (const auto &r : refusals) {
        const QByteArray said = mbpoll(rig.modbusPort, r.arguments, r.values);
        QVERIFY2(said.contains(r.says), said + rig.log());
    }

    const QJsonObject counts = rig.counts(5);
    QCOMPARE(counts.value("ok").toInt(), 1);
    QCOMPARE(counts.value("timeouts").toInt(), 1);
    QCOMPARE(counts.value("refused").toInt(), 2);
    QCOMPARE(counts.value("exceptions").toInt(), 1);
    QCOMPARE(counts.value("expired").toInt() + counts.value("late").toInt(), 0);
    const QByteArray log = rig.log();
    QVERIFY2(QRegularExpression(QStringLiteral("kalmird: gateway north 127\\.0\\.0\\.1:\\d+ unit 7 fn 3: time-out\n"))
                 .match(QString::fromUtf8(log)).hasMatch(), log);
    QVERIFY(log.contains(" unit 0 fn 3: broadcast refused\n") && log.contains(" unit 5 fn 6: write refused: writes are off\n"));

    // On the wire: the guests' requests that may go out (the read of the
    // status block is the watch's own frame), nothing to address 0, no
    // write; every detector's status no older than the bound.
    const QList<SimFrame> frames = sim.frames();
    QList<QByteArray> guests;
    for (const SimFrame &f : frames)
        if (f.direction == SimFrame::Received && !GuestWire::isStatusRead(f.bytes))
            guests << f.bytes;
    QCOMPARE(guests, (QList<QByteArray>{rtuframe::withCrc(pdu({7, 3, 0, 0, 0, 1})),
                                        rtuframe::withCrc(pdu({5, 3, 0, 30, 0, 1}))}));
    for (const uint8_t a : {1, 2, 5})
        QVERIFY2(largestStatusGap(frames, a, from) <= 1500, qPrintable(QString::number(largestStatusGap(frames, a, from))));
    QCOMPARE(json(rig.sub->latest("kalmir/north/5/stats")).value("exceptions").toInt(), 0);
    QVERIFY(rig.sub->latest("kalmir/north/7/availability").isEmpty());
}

void TestKalmirdGateway::aFloodOfGuestsNeverBlindsTheWatch()
{
    Simulator sim;
    sim.setFrozen(true);
    sim.setWireTime(true);
    for (const uint8_t a : {1, 2, 3, 4})
        sim.addDetector(a, 19200);
    QVERIFY(sim.start());
    GatewayRig rig;
    rig.start(sim.slavePath(), 19200, QStringLiteral("[1, 2, 3, 4, 9]"), {},
              QStringLiteral("max_clients = 5\nmax_status_age_ms = 2500\nguest_share = 0.5\nwait_ms = 1000\n"));
    QVERIFY2(rig.online({1, 2, 3, 4}), rig.log());

    // Two guests at a unit that never answers (each holds the line for a
    // whole read window), two at live ones, all at full rate.
    std::vector<std::unique_ptr<MbapClient>> clients;
    const struct {
        uint8_t unit;
        QByteArray pdu;
    } floods[] = {{7, pdu({3, 0, 2, 0, 4})}, {8, pdu({3, 0, 2, 0, 4})}, {1, pdu({3, 0, 2, 0, 4})}, {2, pdu({4, 0, 1, 0, 2})}};
    for (size_t i = 0; i < std::size(floods); ++i) {
        clients.push_back(std::make_unique<MbapClient>(rig.modbusPort));
        QVERIFY(clients.back()->open());
    }
    const double from = sim.frames().last().time * 1000;
    for (size_t i = 0; i < clients.size(); ++i)
        clients[i]->repeat(floods[i].unit, floods[i].pdu);
    // Meanwhile a broadcast and writes, which never go out.
    MbapClient odd(rig.modbusPort);
    QVERIFY(odd.open());
    for (const auto &[unit, request] : {std::pair{0, pdu({3, 0, 1, 0, 1})}, {1, pdu({6, 0, 9, 0, 1})}, {1, pdu({16, 0, 0, 0, 1, 2, 0, 5})}}) {
        odd.send(uint8_t(unit), request);
        const auto answer = odd.next(3000);
        QVERIFY(answer);
        QCOMPARE(answer->pdu, pdu({request[0] | 0x80, unit == 0 ? 0x0A : 0x01}));
    }
    loopFor(12000);
    for (auto &c : clients)
        c->stop();
    loopFor(1500); // the last ones answered

    const QList<SimFrame> frames = sim.frames();
    const GuestWire wire(frames);
    for (qsizetype i = 1; i < wire.exchanges.size(); ++i)
        QVERIFY2(!(wire.exchanges[i].guest && wire.exchanges[i - 1].guest), "two guests in a row");
    for (const GuestWire::Exchange &e : wire.exchanges)
        QVERIFY(!e.guest || (uint8_t(e.request[0]) != 0 && e.request[1] != 6 && e.request[1] != 16));
    const double share = wire.largestGuestShare(GuestPolicy::ShareWindowMs);
    QVERIFY2(share <= 0.5, qPrintable(QString::number(share)));
    for (const uint8_t a : {1, 2, 3, 4}) {
        const double gap = largestStatusGap(frames, a, from);
        QVERIFY2(gap <= 2500, qPrintable(QStringLiteral("detector %1: %2 ms").arg(a).arg(gap)));
    }

    // Every request ended once, as the guest was told; only those started went out.
    QList<MbapClient::Answer> answers;
    for (auto &c : clients)
        answers += c->answers();
    const QJsonObject counts = rig.counts(int(answers.size()) + 3);
    QCOMPARE(counts.value("refused").toInt(), 3);
    QCOMPARE(counts.value("timeouts").toInt(), exceptionsWith(answers, 0x0B));
    QCOMPARE(counts.value("expired").toInt(), exceptionsWith(answers, 0x0A));
    QCOMPARE(counts.value("exceptions").toInt(), exceptionsWith(answers, 0x01));
    QCOMPARE(counts.value("ok").toInt() + counts.value("exceptions").toInt() + counts.value("timeouts").toInt(),
             wire.guests());
    QVERIFY(counts.value("expired").toInt() > 0 && counts.value("ok").toInt() > 0);
    // The guests' refusals and silences are none of the watch's.
    for (const char *detector : {"1", "2"}) {
        const QJsonObject stats = json(rig.sub->latest(QStringLiteral("kalmir/north/%1/stats").arg(detector)));
        QCOMPARE(stats.value("exceptions").toInt() + stats.value("timeouts").toInt(), 0);
    }
    QVERIFY(rig.sub->latest("kalmir/north/7/availability").isEmpty());
    qInfo("guests: %d on the wire, largest share %.3f", wire.guests(), share);
}

void TestKalmirdGateway::theWindowWorksThroughTheRtuPort()
{
    PollRig window(PollRig::RealLineTiming);
    window.sim.setWireTime(true);
    Detector &five = window.device(5);
    GatewayRig rig;
    rig.start(window.sim.slavePath(), 9600, QStringLiteral("[5, 9]"), QStringLiteral("writes = true\n"),
              QStringLiteral("writes = true\n"));
    QVERIFY2(rig.online({5}), rig.log());

    window.ui().cb1->setEditText(QStringLiteral("tcp://127.0.0.1:%1").arg(rig.rtuPort));
    window.ui().Edit8->setText(QStringLiteral("0"));
    QTest::mouseClick(window.ui().Button1, Qt::LeftButton);
    QVERIFY(PollRig::waitFor([&] { return window.session.lineChannel().isOpen(); }, 5000));
    int stray = 0; // bytes that came to the window while it waited for none
    QObject::connect(&window.session.lineChannel(), &LineChannel::strayBytes, [&] { ++stray; });
    window.listOnly({5});
    QTest::mouseClick(window.ui().Button6, Qt::LeftButton); // "График"
    QVERIFY(window.startPolling() && window.waitForStatusLines(0, 3, 15000));
    auto *calibrate = window.window->chartWindow().findChild<QPushButton *>("Button6"); // "Калибровка УФ"
    const QByteArray calibration = rtuframe::withCrc(pdu({5, 6, 0, 9, five.reg(sreg::G42) >> 8, five.reg(sreg::G42) & 0xFF}));
    const QRegularExpression unavailable(QStringLiteral("^Исключение 10:  5  13[14]  10  \\d+  \\d+$"));
    // Clicked again, as the user would, while the gateway answers "path
    // unavailable" (the write came while the watch's probe held the line).
    const auto calibrateOnce = [&] {
        const int sent = int(window.received().count(calibration));
        for (int click = 0; click < 5; ++click) {
            const auto refused = PollRig::lines(window.ui().Memo2).filter(unavailable).size();
            QTest::mouseClick(calibrate, Qt::LeftButton);
            if (PollRig::waitFor([&] { return window.received().count(calibration) > sent
                                              || PollRig::lines(window.ui().Memo2).filter(unavailable).size() > refused; },
                                 5000)
                && window.received().count(calibration) > sent)
                return window.waitForStatusLines(window.statusLineCount(), 3, 15000);
        }
        return false;
    };
    QVERIFY(calibrateOnce());
    // Once more, its echo late: too late for the window, which must see a
    // time-out and never that echo as the answer to a later request.
    const auto lateEcho = QObject::connect(&window.sim, &Simulator::frameReceived, [&](const QByteArray &f) {
        if (f == calibration)
            five.setFault(Fault{FaultKind::Late, 520, 1});
    });
    QVERIFY(calibrateOnce());
    QObject::disconnect(lateEcho);
    QVERIFY(window.stopPolling());

    // Each write went out once, the first one's echo came back to the
    // window, and every status line it shows is detector 5's.
    QCOMPARE(window.received().count(calibration), 2);
    const QStringList memo = PollRig::lines(window.ui().Memo2);
    QCOMPARE(memo.count(decimalBytes(calibration, QStringLiteral("  "))), 1);
    QByteArray status = pdu({5, 3, 48});
    for (int n = 1; n <= 24; ++n)
        status += pdu({five.reg(n) >> 8, five.reg(n) & 0xFF});
    const QString expected = decimalBytes(status.left(5) + status.mid(13, 6), QStringLiteral("  "));
    const QStringList shown = memo.filter(QRegularExpression(QStringLiteral("^\\d+  3  48  ")));
    QVERIFY(shown.size() >= 9);
    QCOMPARE(shown, QStringList(shown.size(), expected));
    // What came too late was not sent: the window timed out for each, and
    // took no late answer for that of a later request (which would show as
    // an error line).
    loopFor(1500);
    const QJsonObject counts = json(rig.sub->latest("kalmir/north/gateway"));
    QVERIFY(counts.value("late").toInt() >= 1);
    QCOMPARE(int(memo.count(QStringLiteral("TimeOuterror"))), counts.value("late").toInt());
    for (const QString &line : memo)
        QVERIFY2(line == expected || line == decimalBytes(calibration, QStringLiteral("  ")) || line == u"TimeOuterror"
                     || unavailable.match(line).hasMatch() || line == u"Ответ" || line.isEmpty(),
                 qPrintable(line));
    QCOMPARE(stray, 0);
    // Beside it the watch asked its silent address, which never answered.
    QVERIFY(window.received().count(rtuframe::withCrc(pdu({9, 3, 0, 1, 0, 24}))) >= 2);
    QVERIFY(rig.sub->waitFor("kalmir/north/9/availability", "offline", 5000));
}

void TestKalmirdGateway::connectionsAreKeptInBounds()
{
    Simulator sim;
    sim.setFrozen(true);
    sim.setWireTime(true);
    sim.addDetector(1, 19200);
    QVERIFY(sim.start());
    GatewayRig rig;
    rig.start(sim.slavePath(), 19200, QStringLiteral("[1]"), {}, QStringLiteral("max_clients = 5\nidle_timeout_s = 1\nwait_ms = 2000\n"));
    QVERIFY2(rig.online({1}), rig.log());

    // A sixth connection is closed at once; the five go on.
    std::vector<std::unique_ptr<MbapClient>> five;
    for (int i = 0; i < 5; ++i) {
        five.push_back(std::make_unique<MbapClient>(rig.modbusPort));
        QVERIFY(five.back()->open());
    }
    MbapClient sixth(rig.modbusPort);
    sixth.open();
    QVERIFY(loopUntil([&] { return sixth.isClosed(); }, 2000));
    QVERIFY(rig.log().contains(": refused, 5 client(s) connected already\n"));
    five[0]->send(1, pdu({3, 0, 1, 0, 1}));
    QCOMPARE(five[0]->next(3000)->pdu, pdu({3, 2, sim.detector(1)->reg(1) >> 8, sim.detector(1)->reg(1) & 0xFF}));

    // Half a header is closed at the idle time, not before.
    five[1]->sendRaw(pdu({0, 1, 0}));
    QElapsedTimer half;
    half.start();
    QVERIFY(loopUntil([&] { return five[1]->isClosed(); }, 3000));
    QVERIFY2(half.elapsed() >= 900 && half.elapsed() < 1600, qPrintable(QString::number(half.elapsed())));
    QVERIFY(loopUntil([&] { return rig.log().contains(": closed, half a request for 1 s\n"); }, 1000));
    // Meanwhile the ones that sent nothing were closed as idle.
    QVERIFY(loopUntil([&] { return five[0]->isClosed() && rig.log().count(": closed, idle for 1 s\n") == 4; }, 2000));

    // A client that goes while its request is on the line: the exchange
    // ends on its own, once, and the next client is served.
    five[2] = std::make_unique<MbapClient>(rig.modbusPort);
    five[3] = std::make_unique<MbapClient>(rig.modbusPort);
    QVERIFY(five[2]->open() && five[3]->open());
    five[2]->send(7, pdu({3, 0, 1, 0, 1}));
    const QByteArray toSeven = rtuframe::withCrc(pdu({7, 3, 0, 1, 0, 1}));
    const auto sentToSeven = [&] {
        int n = 0;
        for (const SimFrame &f : sim.frames())
            n += f.direction == SimFrame::Received && f.bytes == toSeven;
        return n;
    };
    QVERIFY(loopUntil([&] { return sentToSeven() == 1; }, 3000));
    five[2]->socket().abort();
    five[3]->send(1, pdu({3, 0, 1, 0, 1}));
    QCOMPARE(five[3]->next(3000)->pdu.size(), 4);
    QCOMPARE(sentToSeven(), 1);

    // Headers that cannot be Modbus TCP close their connection, answered
    // with nothing, and put nothing on the wire.
    auto *random = QRandomGenerator::global();
    int guestsBefore = GuestWire(sim.frames()).guests();
    for (int i = 0; i < 200; ++i) {
        QByteArray header(7, 0);
        for (char &b : header)
            b = char(random->bounded(256));
        const bool badProtocol = i % 2 == 0;
        if (badProtocol && header[2] == 0 && header[3] == 0)
            header[3] = 1;
        if (!badProtocol) {
            header[2] = header[3] = 0;
            const int length = random->bounded(2) ? random->bounded(2) : 255 + random->bounded(65281);
            header[4] = char(length >> 8), header[5] = char(length & 0xFF);
        }
        MbapClient fuzz(rig.modbusPort);
        QVERIFY(fuzz.open());
        fuzz.sendRaw(header + pdu({3, 0, 1, 0, 1}));
        QVERIFY(loopUntil([&] { return fuzz.isClosed(); }, 2000));
        QCOMPARE(fuzz.answers().size(), 1); // the close, no answer
        QVERIFY(fuzz.answers().first().pdu.isEmpty());
    }
    loopFor(100);
    QCOMPARE(GuestWire(sim.frames()).guests(), guestsBefore);
}

// What the whole runs cannot pin down to the millisecond: the turns, the
// share window's edge, the freshness sum and the frame lengths.
void TestKalmirdGateway::theTurnsAndTheirBounds()
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
        bool writes, listed;
        int code; // 0: it may go
    } rules[] = {
        {pdu({0, 3, 0, 1, 0, 1}), true, false, 0x0A},   {pdu({248, 3, 0, 1, 0, 1}), true, false, 0x0A},
        {pdu({247, 3, 0, 1, 0, 1}), false, false, 0},   {pdu({5, 6, 0, 9, 0, 1}), false, true, 0x01},
        {pdu({5, 6, 0, 9, 0, 1}), true, true, 0},       {pdu({5, 6, 0, 0, 0, 1}), true, true, 0x01},
        {pdu({5, 6, 0, 0, 0, 1}), true, false, 0},      {pdu({5, 16, 0, 0, 0, 1, 2, 0, 1}), true, true, 0x01},
        {pdu({5, 23, 0, 0, 0, 1, 0, 0, 0, 1, 2, 0, 1}), true, true, 0x01},
        {pdu({5, 23, 0, 0, 0, 1, 0, 4, 0, 1, 2, 0, 1}), true, true, 0},
        {pdu({5, 22, 0, 0}), true, true, 0x01},         {pdu({5, 4, 0, 0, 0, 1}), false, true, 0},
    };
    for (const auto &r : rules) {
        const auto no = refusal(r.request, r.writes, r.listed);
        QCOMPARE(no ? int(no->code) : 0, r.code);
    }
}

POLLRIG_TEST_MAIN(TestKalmirdGateway)
#include "test_kalmird_gateway.moc"
