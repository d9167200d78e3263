// kalmird against a real Mosquitto and the simulator on a pseudo-terminal:
// what becomes of the alarms that wait in the queue when its file cannot be
// written: a full disk, a file-size limit, a lock held by another program.
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
#include <QScopeGuard>
#include <QTest>
#include <csignal>
#include <functional>
#include <sys/mount.h>
#include <sys/resource.h>

class TestKalmirdDisk : public QObject {
    Q_OBJECT
private slots:
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
// Sets the soft file-size limit of a running process ("unlimited" lifts it
// again: the hard limit stays unlimited, so no privilege is needed).
bool limitFileSize(qint64 pid, const QString &limit)
{
    return QProcess::execute(QStringLiteral("prlimit"), {QStringLiteral("--pid"), QString::number(pid),
                                                         QStringLiteral("--fsize=%1:unlimited").arg(limit)}) == 0;
}
} // namespace

// 10 events wait in the file from a run killed while the broker was away;
// kalmird is started harmed (a full disk, a file-size limit, a lock held by
// another program), 10 more come, and the harm goes. Killed and started again,
// kalmird finds all 20 in the file, and the broker gets them, once each, in order.
void TestKalmirdDisk::keepsTheQueueThrough(const Harm &h)
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
void TestKalmirdDisk::keepsTheQueueOnAFullDisk()
{
    if (::geteuid() != 0)
        QSKIP("mounting a tmpfs needs root");
    QTemporaryDir disk;
    const QByteArray mountPoint = QFile::encodeName(disk.path());
    QVERIFY(::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=1m") == 0);
    // Unmounted however the test ends: a failed check returns early.
    const auto unmount = qScopeGuard([&] { ::umount2(mountPoint.constData(), MNT_DETACH); });
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
}

// kalmird started under a file-size limit below its queue.db (a disk I/O
// error at every commit), lifted while it runs.
void TestKalmirdDisk::keepsTheQueueUnderAFileSizeLimit()
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
void TestKalmirdDisk::waitsForALockOnTheQueue()
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

QTEST_GUILESS_MAIN(TestKalmirdDisk)
#include "test_kalmird_disk.moc"
