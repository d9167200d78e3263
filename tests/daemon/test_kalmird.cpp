// kalmird against a real Mosquitto, the simulator on a pseudo-terminal and a
// real subscriber (mosquitto_sub): its configuration check, and what reaches
// the broker from a line with faults or behind a serial server, and its fast
// search.
#include "sim/simulator.h"
#include "support/mqttrig.h"
#include "support/ser2net.h"
#include "support/simprocess.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QTemporaryFile>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
QJsonObject json(const QByteArray &payload)
{
    return QJsonDocument::fromJson(payload).object();
}

QString configFor(int brokerPort, const QString &linePath, const QString &logDir)
{
    return QStringLiteral("[mqtt]\nhost = \"127.0.0.1\"\nport = %1\ntopic = \"kalmir\"\nstats_interval_s = 1\n\n"
                          "[[line]]\nname = \"north\"\nport = \"%2\"\nspeed = 9600\ndevices = [1, 2, 3, 9]\n"
                          "log_dir = \"%3\"\noffline_probe_s = 1\nstate_min_interval_ms = 0\n")
        .arg(brokerPort)
        .arg(linePath, logDir);
}
} // namespace

class TestKalmird : public QObject {
    Q_OBJECT
private slots:
    void checkAndBadFiles();
    void watchesTheLineThroughItsFaults();
    void watchesALineBehindASerialServer();
    void fastSearchWaitsItsOwnMargin();
};

void TestKalmird::checkAndBadFiles()
{
    QByteArray out, err;
    QTemporaryDir logs;
    const QString logDir = logs.filePath(QStringLiteral("north"));
    DaemonProcess good(configFor(1883, QStringLiteral("/dev/ttyUSB0"), logDir));
    QCOMPARE(good.run({QStringLiteral("--check")}, &out, &err), 0);
    QVERIFY2(out.contains("line north: /dev/ttyUSB0 at 9600 baud") && out.contains("detectors 1, 2, 3, 9"), out);
    // The queue's folder comes from $STATE_DIRECTORY, as systemd gives it.
    QVERIFY2(out.endsWith("queued in " + good.stateDir().toUtf8() + "/queue.db until the broker has them, at most 64 MiB\n"), out);
    // The folder was tried as the service would use it, and left empty.
    QVERIFY(QDir(logDir).exists());
    QCOMPARE(QDir(logDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    // A folder that cannot be made is named with the system's cause.
    QFile blocker(logs.filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    const QString badDir = blocker.fileName() + QStringLiteral("/north");
    DaemonProcess badFolder(configFor(1883, QStringLiteral("/dev/ttyUSB0"), badDir));
    QCOMPARE(badFolder.run({QStringLiteral("--check")}, &out, &err), 2);
    QCOMPARE(err, QStringLiteral("kalmird: line north: cannot create the log folder %1: Not a directory\n").arg(badDir).toUtf8());

    // An unknown key, a value out of range, a missing key, a broken file:
    // each names the file, the line and the key, and the exit code is 2.
    const struct {
        QString text;
        QByteArray message;
    } bad[] = {
        {QStringLiteral("[mqtt]\n\n[[line]]\nname = \"a\"\nport = \"/dev/x\"\nsped = 9600\ndevices = [1]\n"),
         ":6: line.sped: unknown key"},
        {QStringLiteral("[mqtt]\n[[line]]\nname = \"a\"\nport = \"/dev/x\"\ndevices = [1, 248]\n"),
         ":5: line.devices: 248 is out of range 1..247"},
        {QStringLiteral("[mqtt]\nport = 1883\n[[line]]\nname = \"a b\"\nport = \"/dev/x\"\ndevices = [1]\n"),
         ":4: line.name: letters, digits, '-' and '_' only"},
        {QStringLiteral("[mqtt]\n[[line]]\nname = \"a\"\ndevices = [1]\n"), ":2: line.port: missing"},
        {QStringLiteral("state_dir = \"/q\"\nqueue_max_mb = 0\n[mqtt]\n"), ":2: queue_max_mb: 0 is out of range 1..100000"},
        {QStringLiteral("[mqtt]\nport = \n"), ":2: "},
        // The HTTP endpoint listens on an address, never a name.
        {QStringLiteral("[mqtt]\n[http]\nlisten = \"localhost:9740\"\n[[line]]\nname = \"a\"\nport = \"/dev/x\"\ndevices = [1]\n"),
         ":3: http.listen: ADDRESS:PORT is expected"},
        {QStringLiteral("[mqtt]\n[http]\nport = 9740\n[[line]]\nname = \"a\"\nport = \"/dev/x\"\ndevices = [1]\n"),
         ":3: http.port: unknown key"},
        // Ports that could never open, and two lines fighting over one.
        {QStringLiteral("[mqtt]\n[[line]]\nname = \"a\"\nport = \"tcp://127.0.0.1:99999\"\ndevices = [1]\n"),
         ":4: line.port: tcp://HOST:PORT with a port 1..65535 is expected"},
        {QStringLiteral("[mqtt]\n[[line]]\nname = \"a\"\nport = \"tcp://127.0.0.1\"\ndevices = [1]\n"),
         ":4: line.port: tcp://HOST:PORT"},
        {QStringLiteral("[mqtt]\n[[line]]\nname = \"a\"\nport = \"tcp://\"\ndevices = [1]\n"), ":4: line.port: tcp://HOST:PORT"},
        // The gateway's table.
        {QStringLiteral("[mqtt]\n[[line]]\nname = \"a\"\nport = \"/dev/x\"\ndevices = [1]\n[line.gateway]\nlisen = \"1502\"\n"),
         ":7: line.gateway.lisen: unknown key"},
        {QStringLiteral("[mqtt]\n[[line]]\nname = \"a\"\nport = \"/dev/x\"\ndevices = [1]\n[line.gateway]\nlisten = \"1502\"\n"
                        "guest_share = 1.5\n"),
         ":8: line.gateway.guest_share: 1.5 is out of range 0.01..1"},
        {QStringLiteral("[mqtt]\n[[line]]\nname = \"a\"\nport = \"/dev/x\"\ndevices = [1]\n[line.gateway]\nlisten = \"box:1502\"\n"),
         ":7: line.gateway.listen: PORT or ADDRESS:PORT with a port 1..65535 is expected"},
        {QStringLiteral("[mqtt]\n[[line]]\nname = \"a\"\nport = \"/dev/x\"\ndevices = [1]\n[line.gateway]\nmax_clients = 2\n"),
         ":6: line.gateway.listen: listen or rtu_listen is needed"},
        {QStringLiteral("[mqtt]\n[[line]]\nname = \"a\"\nport = \"tcp://Box:4001\"\ndevices = [1]\n"
                        "[[line]]\nname = \"b\"\nport = \"tcp://box:4001\"\ndevices = [2]\n"),
         ":6: line.port: lines \"a\" and \"b\" are both on tcp://box:4001"},
    };
    for (const auto &b : bad) {
        DaemonProcess d(b.text);
        for (const QStringList &extra : {QStringList{}, QStringList{QStringLiteral("--check")}}) {
            QCOMPARE(d.run(extra, &out, &err), 2);
            QVERIFY2(err.startsWith("kalmird: " + d.configPath().toUtf8() + b.message), err);
        }
    }
    // Its stderr a pipe whose reader is gone: the refusal still ends with 2, not with SIGPIPE.
    int ends[2];
    QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
    ::close(ends[0]);
    QProcess gone;
    gone.setChildProcessModifier([&] { ::dup2(ends[1], STDERR_FILENO); });
    gone.start(QStringLiteral(KALMIRD_BIN), {QStringLiteral("--config"), QStringLiteral("/nonexistent/kalmird.toml")});
    QVERIFY(gone.waitForFinished(5000));
    ::close(ends[1]);
    QCOMPARE(gone.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gone.exitCode(), 2);

    // A gateway, as it will listen and what it lets through.
    DaemonProcess gateway(QStringLiteral("[mqtt]\n[[line]]\nname = \"a\"\nport = \"/dev/x\"\ndevices = [1]\nwrites = true\n"
                                         "[line.gateway]\nrtu_listen = \"[::1]:4001\"\nallow = [\"::1/128\"]\nwrites = true\n"));
    QCOMPARE(gateway.run({QStringLiteral("--check")}, &out, &err), 0);
    QVERIFY2(out.contains("line a: gateway, RTU over TCP on [::1]:4001, at most 4 client(s) from ::1/128, idle ones closed "
                          "after 60 s; guests take at most 50 % of the line's time, keep every status fresher than 3000 ms, "
                          "wait at most 1000 ms; guest writes carried out\n"),
             out);

    // What the user wrote is shown as written, "%1" included; the default
    // client id is this machine's own.
    DaemonProcess odd(QStringLiteral("[mqtt]\nhost = \"h%1%2\"\n[[line]]\nname = \"a\"\nport = \"/dev/%1\"\n"
                                     "devices = [1]\n"));
    QCOMPARE(odd.run({QStringLiteral("--check")}, &out, &err), 0);
    QVERIFY2(out.startsWith("broker h%1%2:1883, client id \"kalmird-" + QSysInfo::machineHostName().toUtf8() + "\"")
                 && out.contains("line a: /dev/%1 at 9600 baud"),
             out);
}

void TestKalmird::watchesTheLineThroughItsFaults()
{
    BrokerProcess broker;
    QVERIFY(broker.start());
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("line"));
    Simulator sim;
    sim.setFrozen(true);
    for (uint8_t a : {1, 2, 3})
        sim.addDetector(a);
    QVERIFY(sim.start(link));
    // Distinct values per detector in every register the state carries, so
    // a field read from the wrong register or detector shows.
    for (Detector *d : sim.detectors()) {
        const int a = d->address();
        d->setRegister(sreg::Uik, uint16_t(110 + a));
        d->setRegister(sreg::Uuf, uint16_t(220 + a));
        d->setRegister(sreg::Ukz, uint16_t(1000 + a));
        d->setRegister(sreg::Ut, uint16_t(-15 * a));
        d->setRegister(sreg::IrThreshold, uint16_t(600 + a));
        d->setRegister(sreg::UvThreshold, uint16_t(700 + a));
        d->setRegister(sreg::Serial, uint16_t(40000 + a));
        d->setRegister(sreg::VersionBuild, uint16_t(100 + a));
        d->setRegister(sreg::Version, uint16_t(0x0100 | (a + 1)));
        d->setAlarmFlags(a == 3 ? alarmbit::Fault : 0);
    }

    Subscriber sub(broker.port(), QStringLiteral("kalmir/#"));
    DaemonProcess daemon(configFor(broker.port(), link, dir.filePath(QStringLiteral("logs"))));
    daemon.start();

    // Every reply's state carries the registers as the simulator sent them.
    for (Detector *d : sim.detectors()) {
        const int a = d->address();
        const QString base = QStringLiteral("kalmir/north/%1/").arg(a);
        QVERIFY2(sub.waitFor(base + QStringLiteral("availability"), "online", 10000), daemon.errorOutput());
        QVERIFY(sub.waitFor(base + QStringLiteral("state"), [](const QByteArray &) { return true; }, 5000));
        const QJsonObject s = json(sub.latest(base + QStringLiteral("state")));
        const QJsonArray regs = s.value(QStringLiteral("registers")).toArray();
        QCOMPARE(regs.size(), 24);
        for (int n = 1; n <= 24; ++n)
            QCOMPARE(regs[n - 1].toInt(), int(d->reg(n)));
        QCOMPARE(s.value(QStringLiteral("address")).toInt(), a);
        QCOMPARE(s.value(QStringLiteral("ir")).toInt(), 110 + a);
        QCOMPARE(s.value(QStringLiteral("uv")).toInt(), 220 + a);
        QCOMPARE(s.value(QStringLiteral("kz")).toInt(), 1000 + a);
        QCOMPARE(s.value(QStringLiteral("temperature")).toDouble(), -1.5 * a);
        QCOMPARE(s.value(QStringLiteral("irThreshold")).toInt(), 600 + a);
        QCOMPARE(s.value(QStringLiteral("uvThreshold")).toInt(), 700 + a);
        QCOMPARE(s.value(QStringLiteral("serial")).toInt(), 40000 + a);
        QCOMPARE(s.value(QStringLiteral("version")).toString(), QStringLiteral("v.1.%1.%2").arg(a + 1).arg(100 + a));
        QCOMPARE(s.value(QStringLiteral("fire")).toBool(), false);
        QCOMPARE(s.value(QStringLiteral("fault")).toBool(), a == 3);
        QCOMPARE(s.value(QStringLiteral("dust")).toBool(), false);
        QCOMPARE(s.size(), 14);
        QVERIFY(QRegularExpression(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)"))
                    .match(s.value(QStringLiteral("time")).toString())
                    .hasMatch());
        QVERIFY(sub.waitFor(base + QStringLiteral("stats"),
                            [](const QByteArray &p) { return json(p).value(QStringLiteral("good")).toInt() > 0; },
                            5000));
    }
    QVERIFY(sub.waitFor(QStringLiteral("kalmir/status"), "online", 1000));
    // A detector that never answers goes offline; the others go on.
    QVERIFY(sub.waitFor(QStringLiteral("kalmir/north/9/availability"), "offline", 10000));

    // Availability takes three failed passes in a row: two silent ones keep
    // detector 1 online, a third takes it offline until it answers again.
    Detector *one = sim.detector(1);
    const QString oneAvailability = QStringLiteral("kalmir/north/1/availability");
    const auto countOn = [&sub](const QString &topic, int from) {
        const QList<Subscriber::Message> &m = sub.messages();
        return int(std::count_if(m.begin() + from, m.end(), [&](const auto &x) { return x.topic == topic; }));
    };
    // Each silent pass, and each probe of 9 (once a round here), holds the
    // line for two read windows: the second for a late answer.
    int mark = int(sub.messages().size());
    one->setFault(Fault{FaultKind::Silence, 0, 2});
    QVERIFY(QTest::qWaitFor([&] { return !one->fault().active(); }, 10000));
    const int afterSilence = int(sub.messages().size());
    QVERIFY(sub.waitFor(QStringLiteral("kalmir/north/1/state"), [](const QByteArray &) { return true; }, 3000,
                        afterSilence));
    QCOMPARE(countOn(oneAvailability, mark), 0);
    one->setFault(Fault{FaultKind::Silence, 0, 3});
    QVERIFY(sub.waitFor(oneAvailability, "offline", 10000, mark));
    QCOMPARE(one->fault().count, 0);
    QVERIFY(sub.waitFor(oneAvailability, "online", 5000, mark));
    QCOMPARE(countOn(oneAvailability, mark), 2);

    // The IR signal of detector 2 crosses its threshold: one fire event, on,
    // and one off when it is over; the replies between change nothing.
    Detector *two = sim.detector(2);
    const QString twoEvents = QStringLiteral("kalmir/north/2/event");
    mark = int(sub.messages().size());
    two->setRegister(sreg::Uik, uint16_t(two->reg(sreg::IrThreshold) + 50));
    const auto fireIs = [](bool on) {
        return [on](const QByteArray &p) {
            const QJsonObject e = json(p);
            return e.value(QStringLiteral("kind")) == QStringLiteral("fire") && e.value(QStringLiteral("on")) == on &&
                   e.contains(QStringLiteral("time"));
        };
    };
    QVERIFY(sub.waitFor(twoEvents, fireIs(true), 5000, mark));
    QVERIFY(sub.waitFor(QStringLiteral("kalmir/north/2/state"),
                        [](const QByteArray &p) { return json(p).value(QStringLiteral("fire")).toBool(); }, 3000,
                        mark));
    QTest::qWait(500); // many replies with the fire bit set
    two->setRegister(sreg::Flags, uint16_t(two->reg(sreg::Flags) & 0xFF00)); // the latch released
    two->setRegister(sreg::Uik, 100);
    QVERIFY(sub.waitFor(twoEvents, fireIs(false), 5000, mark));
    QTest::qWait(500);
    QList<QJsonObject> events;
    for (qsizetype i = mark; i < sub.messages().size(); ++i)
        if (sub.messages()[i].topic == twoEvents)
            events << json(sub.messages()[i].payload);
    QCOMPARE(events.size(), 2);
    QVERIFY(fireIs(true)(QJsonDocument(events[0]).toJson()) && fireIs(false)(QJsonDocument(events[1]).toJson()));

    // The line drops and comes back: offline, then online again.
    mark = int(sub.messages().size());
    sim.dropLine(2500);
    for (const char *a : {"1", "2", "3"})
        QVERIFY(sub.waitFor(QStringLiteral("kalmir/north/%1/availability").arg(a), "offline", 5000, mark));
    for (const char *a : {"1", "2", "3"})
        QVERIFY2(sub.waitFor(QStringLiteral("kalmir/north/%1/availability").arg(a), "online", 10000, mark),
                 daemon.errorOutput());

    // The broker goes away and comes back empty (no persistence): the
    // retained topics are there again because kalmird published them anew.
    broker.stop();
    QTest::qWait(2500);
    QVERIFY(broker.start());
    Subscriber after(broker.port(), QStringLiteral("kalmir/#"));
    QVERIFY2(after.waitFor(QStringLiteral("kalmir/status"), "online", 10000), daemon.errorOutput());
    for (const char *a : {"1", "2", "3"}) {
        QVERIFY(after.waitFor(QStringLiteral("kalmir/north/%1/availability").arg(a), "online", 5000));
        QVERIFY(after.waitFor(QStringLiteral("kalmir/north/%1/state").arg(a),
                              [](const QByteArray &p) { return json(p).contains(QStringLiteral("registers")); }, 5000));
    }
    QVERIFY(after.waitFor(QStringLiteral("kalmir/north/9/availability"), "offline", 5000));

    // A hang-up is no stop; a clean stop leaves every detector and the service offline.
    ::kill(pid_t(daemon.pid()), SIGHUP);
    QVERIFY(QTest::qWaitFor([&] { return daemon.errorOutput().contains("reloaded: 1 line(s) unchanged"); }, 3000));
    mark = int(after.messages().size());
    QCOMPARE(daemon.terminate(), 0);
    for (const char *a : {"1", "2", "3"})
        QVERIFY(after.waitFor(QStringLiteral("kalmir/north/%1/availability").arg(a), "offline", 3000, mark));
    QVERIFY(after.waitFor(QStringLiteral("kalmir/status"), "offline", 3000, mark));
    const QByteArray log = daemon.errorOutput();
    for (const char *line : {"line north: opened", "line north: detector 1 online", "line north: detector 9 offline",
                             "lost: port read failed", "is back", "broker 127.0.0.1", "stopped"})
        QVERIFY2(log.contains(line), log);
    // The core's failures are logged in English, never in the window's words.
    QVERIFY2(!QString::fromUtf8(log).contains(QRegularExpression(QStringLiteral("[\\x{0400}-\\x{04FF}]"))), log);
    // A stop is quiet.
    QVERIFY2(!log.contains("EpollDispatcher"), log);
}

// The same core reaches a line through ser2net: the detectors come online,
// go offline while the server is away, and come back by themselves.
void TestKalmird::watchesALineBehindASerialServer()
{
    BrokerProcess broker;
    Simulator sim;
    sim.setFrozen(true);
    sim.addDetector(4);
    sim.addDetector(6);
    QVERIFY(sim.start());
    sim.detector(6)->setRegister(sreg::Serial, 4242);
    Ser2Net server(sim.slavePath(), 9600);
    QVERIFY(server.start());
    SilentRelay relay(server.port());
    // A log folder that cannot be made costs the line its logs, not its polling.
    QTemporaryFile blocker;
    QVERIFY(blocker.open());
    // The broker comes up after the service has read states for a while:
    // no broker was ever away, so nothing is reported as superseded.
    DaemonProcess daemon(oneLineConfig(broker.port(), QStringLiteral("cabinet"), relay.url(), QStringLiteral("[4, 6]"))
                         + QStringLiteral("tcp_silence_s = 2\nlog_dir = \"%1/logs\"\nstate_min_interval_ms = 0\n")
                               .arg(blocker.fileName()));
    daemon.start();
    QVERIFY(QTest::qWaitFor([&] { return daemon.errorOutput().contains("line cabinet: detector 6 online"); }, 10000));
    QTest::qWait(300);
    QVERIFY(broker.start());
    Subscriber sub(broker.port(), QStringLiteral("kalmir/#"));
    for (const char *a : {"4", "6"})
        QVERIFY2(sub.waitFor(QStringLiteral("kalmir/cabinet/%1/availability").arg(a), "online", 10000),
                 daemon.errorOutput());
    QVERIFY(sub.waitFor(QStringLiteral("kalmir/cabinet/6/state"),
                        [](const QByteArray &p) { return json(p).value(QStringLiteral("serial")).toInt() == 4242; },
                        5000));
    QVERIFY2(daemon.errorOutput().contains(
                 QStringLiteral("line cabinet: running without device logs: cannot create the log folder %1/logs: "
                                "Not a directory\n")
                     .arg(blocker.fileName())
                     .toUtf8()),
             daemon.errorOutput());

    // The server hangs with the connection open: after 2 s without an
    // answer kalmird connects anew, and the detectors answer again.
    relay.silence();
    QVERIFY2(QTest::qWaitFor([&] { return relay.connections() == 2; }, 8000), daemon.errorOutput());
    QVERIFY(daemon.errorOutput().contains(
        QStringLiteral("line cabinet: no detector has answered for 2 s; connecting to %1 anew").arg(relay.url()).toUtf8()));
    int mark = int(sub.messages().size());
    for (const char *a : {"4", "6"})
        QVERIFY2(sub.waitFor(QStringLiteral("kalmir/cabinet/%1/state").arg(a), [](const QByteArray &) { return true; },
                             5000, mark),
                 daemon.errorOutput());

    mark = int(sub.messages().size());
    server.stop();
    for (const char *a : {"4", "6"})
        QVERIFY(sub.waitFor(QStringLiteral("kalmir/cabinet/%1/availability").arg(a), "offline", 5000, mark));
    QVERIFY(server.start());
    mark = int(sub.messages().size());
    for (const char *a : {"4", "6"})
        QVERIFY2(sub.waitFor(QStringLiteral("kalmir/cabinet/%1/availability").arg(a), "online", 10000, mark),
                 daemon.errorOutput());
    QCOMPARE(daemon.terminate(), 0);
    QVERIFY2(daemon.errorOutput().contains("line cabinet: opened") && !daemon.errorOutput().contains("superseded"),
             daemon.errorOutput());
}

// search = "fast": the whole bus in seconds, each probe waiting the margin
// of search_margin_ms; the detector's 40 ms turnaround is beyond the default
// margin (30 ms), so only the line's own finds it. The log names the probes.
void TestKalmird::fastSearchWaitsItsOwnMargin()
{
    BrokerProcess broker;
    QVERIFY(broker.start());
    // The simulator in a process of its own: on a loaded machine one
    // sharing this test's loop answers later than the margin.
    SimProcess sim({"--frozen", "--wire-time", "--turnaround", "40", "--device", "7"});
    QVERIFY(sim.start());
    Subscriber sub(broker.port(), QStringLiteral("kalmir/#"));
    DaemonProcess daemon(oneLineConfig(broker.port(), QStringLiteral("hall"), sim.slavePath(),
                                       QStringLiteral("\"search\"\nsearch = \"fast\"\nsearch_margin_ms = 70")));
    daemon.start();
    QVERIFY2(QTest::qWaitFor([&] { return daemon.errorOutput().contains("hall: 247 address(es) probed fast"); }, 60000),
             daemon.errorOutput());
    QVERIFY2(daemon.errorOutput().contains("hall: bus search found 1 detector(s)\n")
                 && daemon.errorOutput().contains("hall: 247 address(es) probed fast, waiting 70 ms"),
             daemon.errorOutput());
    QVERIFY2(sub.waitFor(QStringLiteral("kalmir/hall/7/availability"), "online", 10000), daemon.errorOutput());
    QCOMPARE(daemon.terminate(), 0);
}

QTEST_GUILESS_MAIN(TestKalmird)
#include "test_kalmird.moc"
