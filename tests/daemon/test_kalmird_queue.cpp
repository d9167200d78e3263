// kalmird's queue of events and results on disk, and a site broker bridged to
// its head office: no event lost to a kill, a cut link or a broker restart.
#include "daemon/eventqueue.h"
#include "daemon/mqttclient.h"
#include "sim/simulator.h"
#include "support/mqttrig.h"
#include "support/ser2net.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
const QString Events = u"kalmir/north/5/event"_s;

// Detector 5 on a simulator, watched by kalmird through the broker at `port`.
// flip() flips `bits` at as many status reads, and waits until kalmird has
// logged `total` events since its first start, and 300 ms more.
struct Rig {
    explicit Rig(int port)
    {
        sim.setFrozen(true);
        Detector &five = sim.addDetector(5);
        QObject::connect(&sim, &Simulator::frameReceived, [this, &five](const QByteArray &request) {
            if (left > 0 && uint8_t(request[0]) == 5 && uint8_t(request[1]) == 3 && left--)
                five.setAlarmFlags(five.alarmFlags() ^ bits);
        });
        sim.start();
        daemon = std::make_unique<DaemonProcess>(
            oneLineConfig(port, QStringLiteral("north"), sim.slavePath(), QStringLiteral("[5]")));
    }
    bool logged(const QByteArray &text, qsizetype times, int ms = 10000)
    {
        return QTest::qWaitFor([&] { return daemon->errorOutput().count(text) == times; }, ms);
    }
    bool flip(int count, uint8_t which, qsizetype total)
    {
        left = count, bits = which;
        return logged("line north: detector 5 f", total) && (QTest::qWait(300), true);
    }
    Simulator sim;
    std::unique_ptr<DaemonProcess> daemon;
    int left = 0;
    uint8_t bits = 0;
};

// The seqs received, in their order, and how many came twice.
QList<qint64> seqs(Subscriber &sub, int *duplicates)
{
    QList<qint64> seen;
    *duplicates = 0;
    for (const Subscriber::Message &m : sub.messages())
        if (const qint64 seq = QJsonDocument::fromJson(m.payload).object().value(u"seq").toInteger(); seen.contains(seq))
            ++*duplicates;
        else
            seen << seq;
    return seen;
}

bool consecutive(const QList<qint64> &s)
{
    return std::adjacent_find(s.begin(), s.end(), [](qint64 a, qint64 b) { return b != a + 1; }) == s.end();
}
} // namespace

class TestKalmirdQueue : public QObject {
    Q_OBJECT
private slots:
    void keepsTheNewestWithinItsBound();
    void losesNoEventToAKillDuringAnOutage();
    void bridgesASiteToItsHeadOffice();
};
// 15 events into room for 10: the 5 oldest go, the file keeps the 10 newest
// with their seqs, and the next run numbers on after the last.
void TestKalmirdQueue::keepsTheNewestWithinItsBound()
{
    QTemporaryDir dir;
    MqttClient never(MqttClient::Options{});
    const QByteArray payload = R"({"kind":"fire","on":true})";
    QList<qint64> given, kept;
    // Room for 10 once the WAL's sixteenth is taken off.
    const int64_t bound = 10 * (Events.size() + payload.size() + EventQueue::RowOverhead) * 16 / 15 + 1;
    {
        EventQueue queue(never, dir.filePath(u"queue.db"_s), bound);
        for (int i = 0; i < 15; ++i)
            given << queue.add(Events, payload);
        QCOMPARE(queue.size(), size_t(10));
        QCOMPARE(queue.takeDropped(), uint64_t(5));
    }
    EventStore store;
    HeldMessages held;
    const EventStore::Opened opened = store.open(dir.filePath(u"queue.db"_s), held, 0);
    HeldMessages::Message last;
    held.forEachAfter(0, [&](const HeldMessages::Message &m) { return kept << m.seq, last = m, true; });
    QVERIFY2(opened.usable && consecutive(given), qPrintable(opened.problem));
    QCOMPARE(kept, given.mid(5));
    QCOMPARE(opened.lastSeq, given.last());
    QCOMPARE(withSeq(7, last.payload), R"({"seq":7,"kind":"fire","on":true})");
}

// A damaged queue file is set aside; then the broker goes away, 10 events,
// SIGKILL, a start again, 10 more, the broker back: all 20 arrive, in order.
void TestKalmirdQueue::losesNoEventToAKillDuringAnOutage()
{
    BrokerProcess broker;
    QVERIFY(broker.start());
    SilentRelay link(quint16(broker.port()));
    Subscriber sub(broker.port(), Events);
    Rig rig(link.port());
    const QString state = rig.daemon->stateDir(), file = state + u"/queue.db"_s;
    QFile garbage(file);
    QVERIFY(QDir().mkpath(state) && garbage.open(QIODevice::WriteOnly) && garbage.write(QByteArray(5000, 'x')) == 5000);
    garbage.close();
    rig.daemon->start();
    QVERIFY(rig.logged("connected", 1) && rig.logged("detector 5 online", 1));
    QVERIFY2(rig.daemon->errorOutput().contains("queue: " + file.toUtf8() + " is damaged (file is not a database): "
                                                "moved aside to " + file.toUtf8() + ".damaged-"),
             rig.daemon->errorOutput());
    const QStringList aside = QDir(state).entryList({u"queue.db.damaged-*"_s});
    QVERIFY(aside.size() == 1 && QFileInfo(state + u'/' + aside[0]).size() == 5000);
    link.cut();
    QVERIFY(rig.logged("lost", 1) && rig.flip(10, alarmbit::Fault, 10));
    rig.daemon->kill();
    rig.daemon->start();
    QVERIFY(rig.logged(": 10 events and results wait", 1) && rig.logged("detector 5 online", 2));
    QVERIFY(rig.flip(10, alarmbit::Fire, 20));
    link.restore();
    QVERIFY2(QTest::qWaitFor([&] { return sub.messages().size() >= 20; }, 40000), rig.daemon->errorOutput());
    QTest::qWait(500);
    int duplicates = 0;
    const QList<qint64> received = seqs(sub, &duplicates);
    QVERIFY(received.size() == 20 && duplicates == 0 && consecutive(received));
    QCOMPARE(rig.daemon->terminate(), 0);
}

// The shipped bridge (its address set to a relay before the head office):
// events while the link hangs, then while it is cut, kalmird killed and
// started, the site broker killed and started. Every seq reaches the office.
void TestKalmirdQueue::bridgesASiteToItsHeadOffice()
{
    BrokerProcess office;
    QVERIFY(office.start());
    Subscriber atOffice(office.port(), QStringLiteral("kalmir/+/+/event"));
    SilentRelay link(quint16(office.port()));
    QFile shipped(u"" KALMIR_SOURCE_DIR "/packaging/kalmird/mosquitto-bridge.conf"_s);
    QByteArray bridge = shipped.open(QIODevice::ReadOnly) ? shipped.readAll() : QByteArray();
    QCOMPARE(bridge.count("\naddress head-office.example:8883\n"), 1);
    bridge.replace("address head-office.example:8883", "address 127.0.0.1:" + QByteArray::number(link.port()));
    // Run as root, Mosquitto turns into its own user: the folder must be its own.
    QTemporaryDir persist;
    const QByteArray saved = QFile::encodeName(persist.filePath(u"mosquitto"_s));
    QVERIFY(QDir().mkpath(saved) && ::chmod(QFile::encodeName(persist.path()), 0755) == 0);
    const passwd *pw = ::getpwnam("mosquitto");
    QVERIFY(::geteuid() != 0 || (pw && ::chown(saved.constData(), pw->pw_uid, pw->pw_gid) == 0));
    BrokerProcess site(false, "persistence_location " + saved + "/\n" + bridge);
    QVERIFY(site.start());
    Rig rig(site.port());
    rig.daemon->start();
    QVERIFY(rig.logged("connected", 1) && rig.flip(2, alarmbit::Fire, 2));
    QVERIFY2(QTest::qWaitFor([&] { return atOffice.messages().size() == 2; }, 15000), site.log());
    link.silence();
    QVERIFY(rig.flip(4, alarmbit::Fault, 6));
    link.cut();
    QVERIFY(rig.flip(2, alarmbit::Fire, 8));
    rig.daemon->kill();
    rig.daemon->start();
    QVERIFY(rig.logged("connected", 2) && rig.flip(4, alarmbit::Fault, 12));
    site.kill();
    QVERIFY(rig.flip(4, alarmbit::Fire, 16) && site.start());
    QVERIFY(rig.logged("connected", 3) && rig.flip(2, alarmbit::Fault, 18));
    link.restore();
    int duplicates = 0;
    QVERIFY2(QTest::qWaitFor([&] { return seqs(atOffice, &duplicates).size() == 18; }, 90000), site.log());
    QTest::qWait(1000);
    QList<qint64> all = seqs(atOffice, &duplicates);
    std::sort(all.begin(), all.end());
    QVERIFY(all.size() == 18 && consecutive(all));
    qInfo("head office: %d events, %d of them twice", int(atOffice.messages().size()), duplicates);
    QCOMPARE(rig.daemon->terminate(), 0);
}

QTEST_GUILESS_MAIN(TestKalmirdQueue)
#include "test_kalmird_queue.moc"
