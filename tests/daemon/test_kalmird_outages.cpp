// kalmird against a real Mosquitto and the simulator on a pseudo-terminal:
// what becomes of the alarms when the device logs or the queue's file
// cannot be written, or the broker goes away.
#include "sim/simulator.h"
#include "support/childprocess.h"
#include "support/gatewayrig.h"
#include "support/mqttrig.h"
#include "support/queuerig.h"
#include "support/ser2net.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <csignal>
#include <functional>
#include <sys/mount.h>
#include <sys/resource.h>

class TestKalmirdOutages : public QObject {
    Q_OBJECT
private slots:
    void logsNeverStopTheAlarms();
    void holdsTheLastEventsWhileTheBrokerIsAway();
    void keepsTheQueueOnAFullDisk();
    void keepsTheQueueUnderAFileSizeLimit();
    void waitsForALockOnTheQueue();

private:
    // A step done to kalmird's rig; true when it is done.
    using Step = std::function<bool(QueueRig &)>;
    struct Harm {
        Step prepare;     // before the first start
        Step start;       // starts kalmird harmed
        QByteArray said;  // the line that tells the harm
        Step mend;
        QList<QByteArray> mended;
        bool readAtStart = true; // what waited is read at the start (else once mended)
    };
    void keepsTheQueueThrough(const Harm &h);
};

namespace {
QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
}

// Sets the soft file-size limit of a running process ("unlimited" lifts it
// again: the hard limit stays unlimited, so no privilege is needed).
bool limitFileSize(qint64 pid, const QString &limit)
{
    return QProcess::execute(QStringLiteral("prlimit"), {QStringLiteral("--pid"), QString::number(pid),
                                                         QStringLiteral("--fsize=%1:unlimited").arg(limit)}) == 0;
}
} // namespace

// The device logs are a record beside the alarms: a log left by an earlier
// run joins the chain of older files, and rows that cannot be written (a
// file-size limit here; a full disk takes the same path) are counted and
// reported once while polling, states and events go on.
void TestKalmirdOutages::logsNeverStopTheAlarms()
{
    BrokerProcess broker;
    QVERIFY(broker.start());
    QTemporaryDir dir;
    Simulator sim;
    sim.setFrozen(true);
    Detector &five = sim.addDetector(5);
    QVERIFY(sim.start());
    const QString logs = dir.filePath(QStringLiteral("logs"));
    QVERIFY(QDir().mkpath(logs));
    const QByteArray earlier = "Header\r\n10:00:00  1  2  3  4  0  0  0  \r\n" + QByteArray(60, '.') + "\r\n";
    writeFile(logs + QStringLiteral("/dev5.txt"), earlier);
    writeFile(logs + QStringLiteral("/dev5.1.txt"), "older");
    Subscriber sub(broker.port(), QStringLiteral("kalmir/#"));
    DaemonProcess daemon(oneLineConfig(broker.port(), QStringLiteral("north"), sim.slavePath(), QStringLiteral("[5]"))
                         + QStringLiteral("log_dir = \"%1\"\nlog_keep = 2\n").arg(logs));
    daemon.start();
    QVERIFY2(sub.waitFor(QStringLiteral("kalmir/north/5/availability"), "online", 10000), daemon.errorOutput());
    QCOMPARE(QDir(logs).entryList(QDir::Files, QDir::Name),
             QStringList({QStringLiteral("dev5.1.txt"), QStringLiteral("dev5.2.txt"), QStringLiteral("dev5.txt")}));
    QCOMPARE(readFile(logs + QStringLiteral("/dev5.1.txt")), earlier);
    QCOMPARE(readFile(logs + QStringLiteral("/dev5.2.txt")), QByteArray("older"));
    const QString log = logs + QStringLiteral("/dev5.txt");
    QVERIFY(QTest::qWaitFor([&] { return readFile(log).count("\r\n") >= 3; }, 5000));

    // No row fits any more; kalmird must neither stop polling nor die. A row
    // may still land while prlimit starts, so the size is taken at the report.
    QVERIFY(limitFileSize(daemon.pid(), QString::number(QFileInfo(log).size())));
    const QByteArray report = QStringLiteral("line north: 1 device log row(s) not written: I/O error 27: %1: File too large\n")
                                  .arg(log)
                                  .toUtf8();
    QVERIFY2(QTest::qWaitFor([&] { return daemon.errorOutput().contains(report); }, 5000), daemon.errorOutput());
    const qint64 full = QFileInfo(log).size();
    const int mark = int(sub.messages().size());
    five.setRegister(sreg::Uik, uint16_t(five.reg(sreg::IrThreshold) + 50));
    QVERIFY2(sub.waitFor(QStringLiteral("kalmir/north/5/event"),
                         [](const QByteArray &p) { return json(p).value(QStringLiteral("on")).toBool(); }, 3000, mark),
             daemon.errorOutput());
    QVERIFY(sub.waitFor(QStringLiteral("kalmir/north/5/state"),
                        [](const QByteArray &p) { return json(p).value(QStringLiteral("fire")).toBool(); }, 3000, mark));
    QCOMPARE(QFileInfo(log).size(), full);
    QCOMPARE(daemon.errorOutput().count("device log row(s) not written"), 1);

    // Room again: the log goes on with whole rows.
    QVERIFY(limitFileSize(daemon.pid(), QStringLiteral("unlimited")));
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo(log).size() > full; }, 3000));
    QVERIFY(readFile(log).endsWith("  \r\n"));
    QCOMPARE(daemon.terminate(), 0);
}

// While the broker is away every event waits in the queue on disk (far
// below its bound here): 1300 changes of an alarm bit give 1300 messages.
void TestKalmirdOutages::holdsTheLastEventsWhileTheBrokerIsAway()
{
    BrokerProcess broker(true);
    QVERIFY(broker.start());
    Simulator sim;
    sim.setFrozen(true);
    Detector &five = sim.addDetector(5);
    QVERIFY(sim.start());
    DaemonProcess daemon(oneLineConfig(broker.port(), QStringLiteral("north"), sim.slavePath(), QStringLiteral("[5]")));
    daemon.start();
    QVERIFY(QTest::qWaitFor([&] { return daemon.errorOutput().contains("connected"); }, 5000));
    QVERIFY(QTest::qWaitFor([&] { return daemon.errorOutput().contains("detector 5 online"); }, 5000));
    broker.stop();
    QVERIFY(QTest::qWaitFor([&] { return daemon.errorOutput().contains("lost"); }, 5000));

    // The fault bit flips on every status read of detector 5.
    int flips = 0;
    connect(&sim, &Simulator::frameReceived, this, [&](const QByteArray &request) {
        if (flips < 1300 && uint8_t(request[0]) == 5 && uint8_t(request[1]) == 3) {
            five.setAlarmFlags(five.alarmFlags() ^ alarmbit::Fault);
            ++flips;
        }
    });
    QVERIFY(QTest::qWaitFor([&] { return daemon.errorOutput().count("detector 5 fault ") == 1300; }, 90000));
    QCOMPARE(flips, 1300);
    QVERIFY(broker.start());
    const QByteArray dropped = "1300 events held are sent now";
    QVERIFY2(QTest::qWaitFor([&] { return daemon.errorOutput().contains(dropped); }, 40000), daemon.errorOutput());
    QVERIFY2(daemon.errorOutput().contains(" 0 events dropped, 1300 events held"), daemon.errorOutput());
    const auto delivered = [&] { return int(broker.log().count("'kalmir/north/5/event'")); };
    QVERIFY(QTest::qWaitFor([&] { return delivered() >= 1300; }, 10000));
    QTest::qWait(500);
    QCOMPARE(delivered(), 1300);
    QCOMPARE(daemon.terminate(), 0);
}

// 10 events wait in the file from a run killed while the broker was away;
// kalmird is started harmed (a full disk, a file-size limit, a lock held by
// another program), 10 more come, and the harm goes. Killed and started again,
// kalmird finds all 20 in the file, and the broker gets them, once each, in order.
void TestKalmirdOutages::keepsTheQueueThrough(const Harm &h)
{
    BrokerProcess broker;
    QVERIFY(broker.start());
    SilentRelay link(quint16(broker.port()));
    link.cut();
    Subscriber sub(broker.port(), QStringLiteral("kalmir/north/5/event"));
    QueueRig rig(link.port());
    QVERIFY(!h.prepare || h.prepare(rig));
    rig.daemon->start();
    QVERIFY(rig.logged("detector 5 online", 1) && rig.flip(10, alarmbit::Fault, 10));
    rig.daemon->kill();
    QVERIFY(h.start(rig));
    QVERIFY(rig.logged(": 10 events and results wait", h.readAtStart ? 1 : 0));
    QVERIFY(rig.logged("detector 5 online", 2) && rig.flip(10, alarmbit::Fault, 20));
    QVERIFY2(rig.logged(h.said, 1), rig.daemon->errorOutput());
    QVERIFY(h.mend(rig));
    for (const QByteArray &line : h.mended)
        QVERIFY2(rig.logged(line, 1), rig.daemon->errorOutput());
    rig.daemon->kill();
    link.restore();
    rig.daemon->start();
    QVERIFY2(rig.logged(": 20 events and results wait", 1), rig.daemon->errorOutput().right(2500));
    QVERIFY(receivedInOrder(sub, 20));
    // Numbered on from the file's seqs when it could be read at the start.
    int duplicates = 0;
    QCOMPARE(consecutive(seqs(sub, &duplicates)), h.readAtStart);
    QCOMPARE(rig.daemon->terminate(), 0);
    QVERIFY(!rig.daemon->errorOutput().contains("damaged"));
}

// A tmpfs of 1 MiB as the state folder, filled up to its last page before
// the start: the file is read, the commits fail and are held until room comes.
void TestKalmirdOutages::keepsTheQueueOnAFullDisk()
{
    if (::geteuid() != 0)
        QSKIP("mounting a tmpfs needs root");
    QTemporaryDir disk;
    const QByteArray mountPoint = QFile::encodeName(disk.path());
    QVERIFY(::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=1m") == 0);
    const auto onDisk = [&](QueueRig &rig) { return QFile::link(disk.path(), rig.daemon->stateDir()); };
    const auto fill = [&](QueueRig &rig) {
        QFile filler(disk.filePath(QStringLiteral("filler")));
        if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return false;
        while (filler.write(QByteArray(4096, 0)) == 4096) {
        }
        while (filler.write("x", 1) == 1) {
        }
        rig.daemon->start();
        return true;
    };
    const auto room = [&](QueueRig &) { return QFile::remove(disk.filePath(QStringLiteral("filler"))); };
    keepsTheQueueThrough({onDisk, fill, ": database or disk is full; events and results are held in memory", room,
                          {"queue: the file is written again"}});
    ::umount2(mountPoint.constData(), MNT_DETACH);
}

// kalmird started under a file-size limit below its queue.db (a disk I/O
// error at every commit), lifted while it runs.
void TestKalmirdOutages::keepsTheQueueUnderAFileSizeLimit()
{
    const auto limited = [](QueueRig &rig) {
        // Set on this process for the start only: kalmird inherits it.
        rlimit before{};
        ::getrlimit(RLIMIT_FSIZE, &before);
        const auto ignored = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = before;
        small.rlim_cur = 4096;
        const bool set = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
        rig.daemon->start();
        ::setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, ignored);
        return set;
    };
    const auto lifted = [](QueueRig &rig) { return limitFileSize(rig.daemon->pid(), QStringLiteral("unlimited")); };
    keepsTheQueueThrough({{}, limited, ": disk I/O error; events and results are held in memory", lifted,
                          {"queue: the file is written again"}});
}

// Another program holds the file (Python's sqlite3, BEGIN EXCLUSIVE) at the
// start: kalmird waits, goes on with the events in memory, and reads what
// waited in the file once the lock is gone.
void TestKalmirdOutages::waitsForALockOnTheQueue()
{
    QProcess locker;
    stopsWithTest(locker);
    const auto lock = [&](QueueRig &rig) {
        locker.start(QStringLiteral("python3"),
                     {QStringLiteral("-c"), QStringLiteral("import sqlite3, sys\n"
                                                           "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                                           "c.execute('BEGIN EXCLUSIVE')\n"
                                                           "print('locked', flush=True)\n"
                                                           "sys.stdin.read()\n"),
                      rig.file()});
        if (!locker.waitForReadyRead(10000) || !locker.readAllStandardOutput().startsWith("locked"))
            return false;
        rig.daemon->start();
        return true;
    };
    const auto unlock = [&](QueueRig &) {
        locker.closeWriteChannel();
        return locker.waitForFinished(5000) && locker.exitCode() == 0;
    };
    keepsTheQueueThrough({{}, lock, ": database is locked; events and results are held in memory", unlock,
                          {".db can be used again: 10 events and results waited in it; the 10 held in memory are "
                           "written into it",
                           "queue: the file is written again"},
                          false});
}

QTEST_GUILESS_MAIN(TestKalmirdOutages)
#include "test_kalmird_outages.moc"
