// kalmird's configuration read again on SIGHUP while lines run, and the
// state interval and heartbeat, against Mosquitto and the simulator.
#include "sim/simulator.h"
#include "support/mqttrig.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <csignal>

namespace {
QString lineText(const QString &name, Simulator &sim, const QString &extra)
{
    return QStringLiteral("\n[[line]]\nname = \"%1\"\nport = \"%2\"\n%3\n").arg(name, sim.slavePath(), extra);
}
double temperature(const QByteArray &state)
{
    return QJsonDocument::fromJson(state).object().value(QLatin1StringView("temperature")).toDouble();
}
} // namespace

class TestKalmirdReload : public QObject {
    Q_OBJECT
private slots:
    void reloadKeepsTheLinesThatDidNotChange();
    void statesFollowChangesHeartbeatsAndAlarms();
};

void TestKalmirdReload::reloadKeepsTheLinesThatDidNotChange()
{
    BrokerProcess broker;
    QVERIFY(broker.start());
    Simulator south, north, east, west;
    for (Simulator *s : {&south, &north, &east, &west}) {
        s->setFrozen(true);
        s->addDetector(1);
        s->addDetector(2);
        QVERIFY(s->start());
    }
    const QString mqtt = QStringLiteral("[mqtt]\nport = %1\n").arg(broker.port());
    const QString kept = lineText(QStringLiteral("south"), south, QStringLiteral("devices = [1, 2]\ndelay_ms = 100"));
    DaemonProcess daemon(mqtt + kept + lineText(QStringLiteral("north"), north, QStringLiteral("devices = [1]"))
                         + lineText(QStringLiteral("east"), east, QStringLiteral("devices = [1]")));
    Subscriber sub(broker.port(), QStringLiteral("kalmir/+/+/availability"));
    daemon.start();
    for (const char *line : {"south", "north", "east"})
        QVERIFY2(sub.waitFor(QStringLiteral("kalmir/%1/1/availability").arg(line), "online", 10000), daemon.errorOutput());
    QElapsedTimer clock;
    clock.start();
    QList<qint64> requests; // to the line that stays as it is
    connect(&south, &Simulator::frameReceived, this, [&] { requests << clock.elapsed(); });
    const auto reload = [&](const QString &text, const QByteArray &logged) {
        QFile f(daemon.configPath());
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(text.toUtf8()) == text.toUtf8().size());
        f.close();
        QTest::qWait(1000);
        const qsizetype from = requests.size();
        ::kill(pid_t(daemon.pid()), SIGHUP);
        QVERIFY2(QTest::qWaitFor([&] { return daemon.errorOutput().contains(logged); }, 3000), daemon.errorOutput());
        QTest::qWait(1000);
        qint64 longest = 0;
        for (qsizetype i = from - 8; i < requests.size(); ++i)
            longest = std::max(longest, requests[i] - requests[i - 1]);
        QVERIFY2(longest < 200, QByteArray::number(longest)); // one pass is 100 ms and a few
    };
    int mark = int(sub.messages().size());
    reload(mqtt + kept + lineText(QStringLiteral("north"), north, QStringLiteral("devices = [1, 2]"))
               + lineText(QStringLiteral("west"), west, QStringLiteral("devices = [2]")),
           "reloaded: 1 line(s) added (west), 1 line(s) removed (east), 1 line(s) restarted (north), "
           "1 line(s) unchanged (south)\n");
    for (const char *topic : {"east/1/availability", "north/1/availability"})
        QVERIFY(sub.waitFor(QStringLiteral("kalmir/") + topic, "offline", 3000, mark));
    for (const char *topic : {"north/1/availability", "north/2/availability", "west/2/availability"})
        QVERIFY2(sub.waitFor(QStringLiteral("kalmir/") + topic, "online", 5000, mark), daemon.errorOutput());
    QCOMPARE(daemon.errorOutput().count("line south: opened"), 1);
    QCOMPARE(daemon.errorOutput().count("line north: opened"), 2);

    // A broken file and a changed broker are refused; the lines go on as they were.
    mark = int(sub.messages().size());
    reload(mqtt + QStringLiteral("port = \n"), "reload refused: " + daemon.configPath().toUtf8() + ":3: ");
    reload(mqtt + QStringLiteral("topic = \"other\"\n") + kept,
           "reload refused: the [mqtt] settings changed, which takes a restart (systemctl restart kalmird); "
           "the running configuration stays\n");
    QCOMPARE(daemon.errorOutput().count(": stopped\n"), 2);
    QCOMPARE(sub.messages().size(), mark);
    QCOMPARE(daemon.terminate(), 0);
}

void TestKalmirdReload::statesFollowChangesHeartbeatsAndAlarms()
{
    BrokerProcess broker;
    QVERIFY(broker.start());
    Simulator sim;
    sim.setFrozen(true);
    Detector &one = sim.addDetector(1);
    QVERIFY(sim.start());
    Subscriber sub(broker.port(), QStringLiteral("kalmir/north/1/#"));
    DaemonProcess daemon(oneLineConfig(broker.port(), QStringLiteral("north"), sim.slavePath(), QStringLiteral("[1]"))
                         + QStringLiteral("state_min_interval_ms = 1000\nstate_heartbeat_s = 2\noffline_probe_s = 1\n"));
    const QString state = QStringLiteral("kalmir/north/1/state");
    const auto states = [&](int from) {
        QList<QByteArray> list;
        for (qsizetype i = from; i < sub.messages().size(); ++i)
            if (sub.messages()[i].topic == state)
                list << sub.messages()[i].payload;
        return list;
    };
    // Right after the first state one reply carries a change, and the
    // detector falls silent: the change is published when the interval
    // ends, before the detector is taken offline.
    int stage = 0;
    connect(&sim, &Simulator::frameSent, this, [&] {
        if (stage == 1)
            one.setRegister(sreg::Ut, 770);
        else if (stage == 2)
            one.setFault(Fault{FaultKind::Silence, 0, 3});
        stage += stage == 1 || stage == 2;
    });
    daemon.start();
    QVERIFY2(sub.waitFor(state, [](const QByteArray &) { return true; }, 10000), daemon.errorOutput());
    stage = 1;
    QVERIFY(sub.waitFor(QStringLiteral("kalmir/north/1/availability"), "offline", 5000));
    QCOMPARE(states(0).size(), 2);
    QCOMPARE(temperature(states(0).last()), 77.0);
    // Frozen: one state per heartbeat.
    QVERIFY(sub.waitFor(QStringLiteral("kalmir/north/1/availability"), "online", 5000));
    int mark = int(sub.messages().size());
    QVERIFY(sub.waitFor(state, [](const QByteArray &) { return true; }, 3000, mark));
    mark = int(sub.messages().size());
    QTest::qWait(4500);
    QCOMPARE(states(mark).size(), 2);

    // A value that changes at every reply: one state a second, the last value never lost.
    mark = int(sub.messages().size());
    int value = 100;
    connect(&sim, &Simulator::frameSent, this, [&] { one.setRegister(sreg::Ut, uint16_t(value += 10 * (stage == 3))); });
    stage = 3;
    QVERIFY(sub.waitFor(state, [](const QByteArray &) { return true; }, 3000, mark));
    mark = int(sub.messages().size()) - 1;
    QTest::qWait(2500);
    stage = 4;
    QTest::qWait(1200);
    QCOMPARE(states(mark).size(), 4);
    QCOMPARE(temperature(states(mark).last()), value / 10.0);
    // An alarm bit is not held back by the interval.
    QVERIFY(sub.waitFor(state, [](const QByteArray &) { return true; }, 3000, int(sub.messages().size())));
    mark = int(sub.messages().size());
    one.setAlarmFlags(alarmbit::Fire);
    QVERIFY(sub.waitFor(QStringLiteral("kalmir/north/1/event"), [](const QByteArray &) { return true; }, 300, mark));
    QVERIFY(sub.waitFor(state, [](const QByteArray &p) { return p.contains("\"fire\":true"); }, 300, mark));
    QCOMPARE(daemon.terminate(), 0);
}

QTEST_GUILESS_MAIN(TestKalmirdReload)
#include "test_kalmird_reload.moc"
