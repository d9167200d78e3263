// kalmird's configuration read again on SIGHUP while lines run, and its state interval and heartbeat.
#include "daemon/eventstore.h"
#include "daemon/heldmessages.h"
#include "sim/simulator.h"
#include "support/mqttrig.h"
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTest>
#include <csignal>
#include <thread>

class TestKalmirdReload : public QObject {
    Q_OBJECT
private slots:
    void reloadKeepsTheLinesThatDidNotChange();
    void statesFollowChangesHeartbeatsAndAlarms();
    void hangUpWhileTheQueueLoadsWaitsForTheStart();
};

namespace {
// Whether the process has `path` open, looked at every half millisecond
// until it has or the time is up.
bool waitUntilOpen(qint64 pid, const QString &path, int timeoutMs)
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QDeadlineTimer deadline(timeoutMs); !deadline.hasExpired();) {
        for (const QFileInfo &fd : fds.entryInfoList(QDir::AllEntries | QDir::System))
            if (fd.symLinkTarget() == path)
                return true;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return false;
}
} // namespace

void TestKalmirdReload::reloadKeepsTheLinesThatDidNotChange()
{
    BrokerProcess broker;
    QVERIFY(broker.start());
    Simulator south, north, east; // east's port goes to a new line, west
    const auto line = [](const char *name, Simulator &s, const char *keys) {
        return QStringLiteral("\n[[line]]\nname = \"%1\"\nport = \"%2\"\n%3\n").arg(name, s.slavePath(), keys);
    };
    for (Simulator *s : {&south, &north, &east}) {
        s->addDetector(1), s->addDetector(2);
        QVERIFY(s->start());
    }
    QList<qint64> requests; // to the line that stays as it is
    const QString mqtt = QStringLiteral("[mqtt]\nport = %1\n").arg(broker.port());
    const QString kept = line("south", south, "devices = [1, 2]\ndelay_ms = 100");
    DaemonProcess daemon(mqtt + kept + line("north", north, "devices = [1]") + line("east", east, "devices = [1]"));
    Subscriber sub(broker.port(), QStringLiteral("kalmir/+/+/availability"));
    daemon.start();
    for (const char *l : {"south", "north", "east"})
        QVERIFY2(sub.waitFor(QStringLiteral("kalmir/%1/1/availability").arg(l), "online", 10000), daemon.errorOutput());
    connect(&south, &Simulator::frameReceived, this, [&] { requests << QDateTime::currentMSecsSinceEpoch(); });
    const auto reload = [&](const QString &text, const QByteArray &logged) {
        QFile f(daemon.configPath());
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(text.toUtf8()) == text.toUtf8().size() && f.flush());
        QTest::qWait(1000);
        const qsizetype from = requests.size();
        ::kill(pid_t(daemon.pid()), SIGHUP);
        QVERIFY2(QTest::qWaitFor([&] { return daemon.errorOutput().contains(logged); }, 3000), daemon.errorOutput());
        QTest::qWait(1000);
        // One pass is 100 ms and a few; a restarted line would stop for its
        // port's opening and first round, the loaded machine only a moment.
        for (qsizetype i = from - 8; i < requests.size(); ++i)
            QVERIFY2(requests[i] - requests[i - 1] < 400, QByteArray::number(requests[i] - requests[i - 1]));
    };
    int mark = int(sub.messages().size());
    reload(mqtt + kept + line("north", north, "devices = [1, 2]\noffline_probe_s = 1")
               + line("west", east, "devices = [2]\noffline_probe_s = 1"),
           "reloaded: 1 line(s) added (west), 1 line(s) removed (east), 1 line(s) restarted (north), "
           "1 line(s) unchanged (south)\n");
    for (const auto &[detector, payload] : {std::pair{"east/1", "offline"}, {"north/1", "offline"},
                                            {"north/1", "online"}, {"north/2", "online"}, {"west/2", "online"}})
        QVERIFY2(sub.waitFor(QStringLiteral("kalmir/%1/availability").arg(detector), payload, 5000, mark), detector);
    QCOMPARE(daemon.errorOutput().count("line south: opened"), 1);
    // A broken file and a changed broker are refused; the lines go on as they were.
    mark = int(sub.messages().size());
    reload(mqtt + QStringLiteral("port = \n"), "reload refused: " + daemon.configPath().toUtf8() + ":3: ");
    reload(mqtt + QStringLiteral("topic = \"other\"\n") + kept,
           "reload refused: the [mqtt] settings changed, which takes a restart (systemctl restart kalmird); "
           "the running configuration stays\n");
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
    int stage = 0, value = 100; // before the service, whose stop turns the loop
    DaemonProcess daemon(oneLineConfig(broker.port(), QStringLiteral("north"), sim.slavePath(), QStringLiteral("[1]"))
                         + "state_min_interval_ms = 1000\nstate_heartbeat_s = 2\noffline_probe_s = 1\n");
    const QString state = QStringLiteral("kalmir/north/1/state");
    const auto any = [](const QByteArray &) { return true; };
    const auto states = [&](int from) { // their temperatures
        QList<double> list;
        for (qsizetype i = from; i < sub.messages().size(); ++i)
            if (sub.messages()[i].topic == state)
                list << QJsonDocument::fromJson(sub.messages()[i].payload)["temperature"].toDouble();
        return list;
    };
    // Right after the first state one reply carries a change and the detector
    // falls silent: the change goes out when the interval ends, before offline.
    connect(&sim, &Simulator::frameSent, this, [&] {
        if (stage == 1 || stage == 4) // one change, or a value that changes at every reply
            one.setRegister(sreg::Ut, uint16_t(stage == 1 ? 770 : value += 10));
        else if (stage == 2)
            one.setFault(Fault{FaultKind::Silence, 0, 3});
        stage += stage == 1 || stage == 2;
    });
    daemon.start();
    QVERIFY2(sub.waitFor(state, any, 10000), daemon.errorOutput());
    stage = 1;
    QVERIFY(sub.waitFor(QStringLiteral("kalmir/north/1/availability"), "offline", 5000));
    QCOMPARE(states(0), QList<double>({23.5, 77}));
    // Changing at every reply: one state a second, the last value never lost;
    // then frozen: one state per heartbeat.
    int mark = int(sub.messages().size());
    stage = 4;
    QVERIFY(sub.waitFor(state, any, 5000, mark));
    mark = int(sub.messages().size()) - 1;
    QTest::qWait(2500);
    stage = 5;
    QTest::qWait(1200);
    QCOMPARE(states(mark).size(), 4);
    QCOMPARE(states(mark).last(), value / 10.0);
    QTest::qWait(4500);
    QCOMPARE(states(mark).size(), 6);
    // An alarm bit is not held back by the interval.
    QVERIFY(sub.waitFor(state, any, 3000, int(sub.messages().size())));
    mark = int(sub.messages().size());
    one.setAlarmFlags(alarmbit::Fire);
    QVERIFY(sub.waitFor(QStringLiteral("kalmir/north/1/event"), any, 300, mark));
    QVERIFY(sub.waitFor(state, [](const QByteArray &p) { return p.contains("\"fire\":true"); }, 300, mark));
}

// A SIGHUP while the start still reads a long queue neither ends the service
// nor is lost: the configuration is read again once it runs.
void TestKalmirdReload::hangUpWhileTheQueueLoadsWaitsForTheStart()
{
    BrokerProcess broker; // never started: the queue stays as it is
    Simulator sim;
    sim.addDetector(1);
    QVERIFY(sim.start());
    DaemonProcess daemon(oneLineConfig(broker.port(), QStringLiteral("north"), sim.slavePath(), QStringLiteral("[1]")));
    const QString queueFile = daemon.stateDir() + QStringLiteral("/queue.db");
    const int waiting = 200000; // a few tenths of a second to read
    {
        EventStore store;
        HeldMessages none;
        QVERIFY(store.open(queueFile, none, 0).usable);
        std::vector<QueuedMessage> events;
        for (int i = 1; i <= waiting; ++i)
            events.push_back({i, "kalmir/north/1/event", R"({"kind":"fire","on":true})"});
        QCOMPARE(store.write(events, {}, waiting), QString());
    }
    daemon.start();
    QVERIFY(waitUntilOpen(daemon.pid(), queueFile, 10000));
    ::kill(pid_t(daemon.pid()), SIGHUP);
    const QByteArray reloaded = "reloaded: 1 line(s) unchanged (north)\n";
    // Waited for until it comes or the service has ended.
    QVERIFY2(QTest::qWaitFor([&] { return daemon.errorOutput().contains(reloaded) || daemon.pid() == 0; }, 20000)
                 && daemon.errorOutput().contains(reloaded),
             daemon.errorOutput());
    QVERIFY2(daemon.errorOutput().contains(QStringLiteral(": %1 events and results wait from before the start").arg(waiting).toUtf8()),
             daemon.errorOutput());
    QCOMPARE(daemon.terminate(), 0);
}

QTEST_GUILESS_MAIN(TestKalmirdReload)
#include "test_kalmird_reload.moc"
