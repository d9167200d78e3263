// kalmird against a real Mosquitto, the simulator on a pseudo-terminal and a
// real subscriber (mosquitto_sub): what reaches the broker, and what becomes
// of it when the line or the broker goes away.
#include "sim/simulator.h"
#include "support/mqttrig.h"
#include "support/ser2net.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QTest>
#include <csignal>

namespace {
QJsonObject json(const QByteArray &payload)
{
    return QJsonDocument::fromJson(payload).object();
}

QString configFor(int brokerPort, const QString &linePath, const QString &logDir)
{
    return QStringLiteral("[mqtt]\nhost = \"127.0.0.1\"\nport = %1\ntopic = \"kalmir\"\nstats_interval_s = 1\n\n"
                          "[[line]]\nname = \"north\"\nport = \"%2\"\nspeed = 9600\ndevices = [1, 2, 3, 9]\n"
                          "log_dir = \"%3\"\n")
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
};

void TestKalmird::checkAndBadFiles()
{
    QByteArray out, err;
    DaemonProcess good(configFor(1883, QStringLiteral("/dev/ttyUSB0"), QStringLiteral("/var/log/kalmir/north")));
    QCOMPARE(good.run({QStringLiteral("--check")}, &out, &err), 0);
    QVERIFY2(out.contains("line north: /dev/ttyUSB0 at 9600 baud") && out.contains("detectors 1, 2, 3, 9"), out);

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
        {QStringLiteral("[mqtt]\nport = \n"), ":2: "},
        // Ports that could never open, and two lines fighting over one.
        {QStringLiteral("[mqtt]\n[[line]]\nname = \"a\"\nport = \"tcp://127.0.0.1:99999\"\ndevices = [1]\n"),
         ":4: line.port: tcp://HOST:PORT with a port 1..65535 is expected"},
        {QStringLiteral("[mqtt]\n[[line]]\nname = \"a\"\nport = \"tcp://127.0.0.1\"\ndevices = [1]\n"),
         ":4: line.port: tcp://HOST:PORT"},
        {QStringLiteral("[mqtt]\n[[line]]\nname = \"a\"\nport = \"tcp://\"\ndevices = [1]\n"), ":4: line.port: tcp://HOST:PORT"},
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
    // Distinct readings per detector, so a mix-up of addresses shows.
    for (Detector *d : sim.detectors()) {
        d->setRegister(sreg::Serial, uint16_t(40000 + d->address()));
        d->setRegister(sreg::Ut, uint16_t(-15 * d->address()));
    }

    Subscriber sub(broker.port(), QStringLiteral("kalmir/#"));
    DaemonProcess daemon(configFor(broker.port(), link, dir.filePath(QStringLiteral("logs"))));
    daemon.start();

    // Every reply's state carries the registers as the simulator sent them.
    for (Detector *d : sim.detectors()) {
        const QString base = QStringLiteral("kalmir/north/%1/").arg(d->address());
        QVERIFY2(sub.waitFor(base + QStringLiteral("availability"), "online", 10000), daemon.errorOutput());
        QVERIFY(sub.waitFor(base + QStringLiteral("state"), [](const QByteArray &) { return true; }, 5000));
        const QJsonObject s = json(sub.latest(base + QStringLiteral("state")));
        const QJsonArray regs = s.value(QStringLiteral("registers")).toArray();
        QCOMPARE(regs.size(), 24);
        for (int n = 1; n <= 24; ++n)
            QCOMPARE(regs[n - 1].toInt(), int(d->reg(n)));
        QCOMPARE(s.value(QStringLiteral("address")).toInt(), d->address());
        QCOMPARE(s.value(QStringLiteral("ir")).toInt(), int(int16_t(d->reg(sreg::Uik))));
        QCOMPARE(s.value(QStringLiteral("serial")).toInt(), 40000 + d->address());
        QCOMPARE(s.value(QStringLiteral("temperature")).toDouble(), -1.5 * d->address());
        QCOMPARE(s.value(QStringLiteral("irThreshold")).toInt(), int(d->reg(sreg::IrThreshold)));
        QCOMPARE(s.value(QStringLiteral("fire")).toBool(), false);
        QCOMPARE(s.value(QStringLiteral("version")).toString(), QStringLiteral("v.1.2.103"));
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

    // The IR signal of detector 2 crosses its threshold: one fire event, on, and off again.
    Detector *two = sim.detector(2);
    int mark = int(sub.messages().size());
    two->setRegister(sreg::Uik, uint16_t(two->reg(sreg::IrThreshold) + 50));
    const auto fireIs = [](bool on) {
        return [on](const QByteArray &p) {
            const QJsonObject e = json(p);
            return e.value(QStringLiteral("kind")) == QStringLiteral("fire") && e.value(QStringLiteral("on")) == on &&
                   e.contains(QStringLiteral("time"));
        };
    };
    QVERIFY(sub.waitFor(QStringLiteral("kalmir/north/2/event"), fireIs(true), 5000, mark));
    QVERIFY(json(sub.latest(QStringLiteral("kalmir/north/2/state"))).value(QStringLiteral("fire")).toBool() ||
            sub.waitFor(QStringLiteral("kalmir/north/2/state"),
                        [](const QByteArray &p) { return json(p).value(QStringLiteral("fire")).toBool(); }, 3000));
    two->setRegister(sreg::Flags, uint16_t(two->reg(sreg::Flags) & 0xFF00)); // the latch released
    two->setRegister(sreg::Uik, 100);
    QVERIFY(sub.waitFor(QStringLiteral("kalmir/north/2/event"), fireIs(false), 5000, mark));

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
    QVERIFY(QTest::qWaitFor([&] { return daemon.errorOutput().contains("SIGHUP ignored"); }, 3000));
    mark = int(after.messages().size());
    QCOMPARE(daemon.terminate(), 0);
    for (const char *a : {"1", "2", "3"})
        QVERIFY(after.waitFor(QStringLiteral("kalmir/north/%1/availability").arg(a), "offline", 3000, mark));
    QVERIFY(after.waitFor(QStringLiteral("kalmir/status"), "offline", 3000, mark));
    const QByteArray log = daemon.errorOutput();
    for (const char *line : {"line north: opened", "line north: detector 1 online", "line north: detector 9 offline",
                             "lost", "is back", "broker 127.0.0.1", "stopped"})
        QVERIFY2(log.contains(line), log);
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
    // The broker comes up after the service has read states for a while:
    // no broker was ever away, so nothing is reported as superseded.
    DaemonProcess daemon(oneLineConfig(broker.port(), QStringLiteral("cabinet"), server.url(), QStringLiteral("[4, 6]")));
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

    int mark = int(sub.messages().size());
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

QTEST_GUILESS_MAIN(TestKalmird)
#include "test_kalmird.moc"
