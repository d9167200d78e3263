// kalmird's queue of events and results on disk, and a site broker bridged to
// its head office: no event lost to a kill, a cut link or a broker restart.
#include "daemon/eventqueue.h"
#include "daemon/mqttclient.h"
#include "support/httprig.h"
#include "support/queuerig.h"
#include "support/ser2net.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
const QString Events = u"kalmir/north/5/event"_s;
using Rig = QueueRig;

// A queue file as an earlier run would have left it.
bool prefill(const QString &file, const std::vector<QueuedMessage> &rows)
{
    EventStore store;
    HeldMessages none;
    return store.open(file, none, 0).usable && store.write(rows, {}, rows.back().seq).isEmpty();
}

qint64 filesSize(const QString &file)
{
    return QFileInfo(file).size() + QFileInfo(file + u"-wal"_s).size();
}
} // namespace

class TestKalmirdQueue : public QObject {
    Q_OBJECT
private slots:
    void keepsTheNewestWithinItsBound();
    void holdsMessagesCompactly();
    void dropsTheOldestBeyondASmallBound();
    void keepsAnEventUntilTheBrokerHasIt();
    void losesNoEventToAKillDuringAnOutage();
    void startsAFileAnewWhenItIsLost();
    void dropsAMessageTheClientRefuses();
    void saysWhenTheQueueCannotBeKept();
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

    // Commit after commit, the WAL is cut back within its share of the bound.
    EventStore bounded(1 << 20);
    HeldMessages none;
    QVERIFY(bounded.open(dir.filePath(u"bounded.db"_s), none, 0).usable);
    qint64 largest = 0;
    for (int i = 0; i < 100; ++i) {
        std::vector<QueuedMessage> rows;
        for (int j = 1; j <= 20; ++j)
            rows.push_back({i * 20 + j, Events.toUtf8(), payload});
        QVERIFY(bounded.write(rows, {}, rows.back().seq).isEmpty());
        largest = std::max(largest, QFileInfo(dir.filePath(u"bounded.db-wal"_s)).size());
    }
    QVERIFY2(largest > 0 && largest <= EventStore::walShare(1 << 20), QByteArray::number(largest));
}

// Messages removed out of order (every other one) leave blocks part used:
// they are packed anew, so the memory stays near what is held. Messages read
// late from a file join in seq order, also between the ones held.
void TestKalmirdQueue::holdsMessagesCompactly()
{
    HeldMessages held, older;
    const QByteArray body(200, 'p');
    for (int i = 1; i <= 40000; ++i)
        QVERIFY(held.append(2 * i, "kalmir/a/1/event", body));
    for (int i = 1; i <= 40000; i += 2)
        QVERIFY(held.remove(2 * i));
    const int64_t entries = int64_t(held.size()) * 24;
    QVERIFY2(held.memory() <= held.bytes() + entries + 6 * HeldMessages::BlockSize, QByteArray::number(held.memory()));
    for (const int seq : {1, 7, 80001})
        QVERIFY(older.append(seq, "kalmir/a/2/event", QByteArray::number(seq)));
    held.merge(std::move(older));
    QList<qint64> order;
    held.forEachAfter(0, [&](const HeldMessages::Message &m) { return order << m.seq, order.size() < 5; });
    QCOMPARE(order, QList<qint64>({1, 4, 7, 8, 12}));
    HeldMessages::Message last;
    held.forEachAfter(80000, [&](const HeldMessages::Message &m) { return last = m, true; });
    QVERIFY(last.seq == 80001 && last.topic == "kalmir/a/2/event" && last.payload == "80001");
    QCOMPARE(held.size(), size_t(20003));
}

// queue_max_mb = 1 with the broker away: of 10,000 events left from before,
// the oldest beyond the bound go at the start, counted; the file is brought
// within the bound, and the rest reach the broker, every one.
void TestKalmirdQueue::dropsTheOldestBeyondASmallBound()
{
    BrokerProcess broker(false, "max_queued_messages 0\n"); // the subscriber gets every one
    QVERIFY(broker.start());
    SilentRelay link(quint16(broker.port()));
    link.cut();
    Subscriber sub(broker.port(), Events);
    Rig rig(link.port(), u"queue_max_mb = 1\n"_s);
    const QByteArray payload = R"({"kind":"fault","on":true,"time":"2026-12-08T05:21:30.573+00:00","pad":")"
                               + QByteArray(30, 'x') + "\"}";
    std::vector<QueuedMessage> rows;
    for (int i = 1; i <= 10000; ++i)
        rows.push_back({1000 + i, Events.toUtf8(), payload});
    QVERIFY(prefill(rig.file(), rows) && filesSize(rig.file()) > 1 << 20);
    const int kept = int(((1 << 20) - (1 << 20) / 16) / (Events.size() + payload.size() + EventQueue::RowOverhead));
    rig.daemon->start();
    QVERIFY2(rig.logged("queue: full (1 MiB): the " + QByteArray::number(10000 - kept) + " oldest events and results "
                        "dropped", 1),
             rig.daemon->errorOutput());
    QVERIFY2(QTest::qWaitFor([&] { return filesSize(rig.file()) <= 1 << 20; }, 10000),
             QByteArray::number(filesSize(rig.file())));
    // Started again with the broker there, rather than waiting for the next attempt.
    QCOMPARE(rig.daemon->terminate(), 0);
    link.restore();
    rig.daemon->start();
    QVERIFY(rig.logged("broker: 0 events dropped before the first connection, " + QByteArray::number(kept)
                           + " held are sent now",
                       1));
    QVERIFY(receivedInOrder(sub, kept));
    int duplicates = 0;
    QVERIFY(consecutive(seqs(sub, &duplicates)));
    QCOMPARE(seqs(sub, &duplicates).first(), 1000 + 10000 - kept + 1);
    QVERIFY(filesSize(rig.file()) <= 1 << 20);
    QCOMPARE(rig.daemon->terminate(), 0);
}

// An event handed to the MQTT client stays in the file until the broker
// acknowledges it: the link passes nothing, kalmird is killed after the
// removal would have been committed, and after the start the event arrives.
// With the queue empty then, a start again numbers on above every seq sent.
void TestKalmirdQueue::keepsAnEventUntilTheBrokerHasIt()
{
    BrokerProcess broker;
    QVERIFY(broker.start());
    SilentRelay link(quint16(broker.port()));
    Subscriber sub(broker.port(), Events);
    Rig rig(link.port());
    rig.daemon->start();
    QVERIFY(rig.logged("connected", 1) && rig.flip(1, alarmbit::Fire, 1));
    QVERIFY(QTest::qWaitFor([&] { return sub.messages().size() == 1; }, 5000));
    link.silence();
    QVERIFY(rig.flip(1, alarmbit::Fire, 2));
    QVERIFY(QTest::qWaitFor([&] { return link.swallowed().contains(Events.toUtf8()); }, 5000));
    QTest::qWait(1500); // longer than a removal waits for its commit
    rig.daemon->kill();
    link.restore();
    rig.daemon->start();
    QVERIFY(rig.logged(": 1 events and results wait", 1));
    QVERIFY(QTest::qWaitFor([&] { return sub.messages().size() == 2; }, 10000));
    QCOMPARE(QJsonDocument::fromJson(sub.messages()[1].payload)["on"], false);
    QCOMPARE(rig.daemon->terminate(), 0);
    rig.daemon->start();
    const bool restarted = rig.logged(": 0 events and results wait", 2) && rig.logged("connected", 3);
    QVERIFY2(restarted, rig.daemon->errorOutput().right(1500));
    QVERIFY(rig.flip(1, alarmbit::Fire, 3));
    QVERIFY(QTest::qWaitFor([&] { return sub.messages().size() == 3; }, 5000));
    int duplicates = 0;
    const QList<qint64> sent = seqs(sub, &duplicates);
    QByteArray told;
    for (const qint64 one : sent)
        told += QByteArray::number(one) + ' ';
    QVERIFY2(sent.size() == 3 && sent[2] > std::max(sent[0], sent[1]), told);
    QCOMPARE(rig.daemon->terminate(), 0);
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

// The file deleted under a running kalmird, then emptied: each is noticed at
// the next commit, and what is held in memory goes into a new file. Killed
// then, kalmird finds all 12 events at the start, and the broker gets them.
void TestKalmirdQueue::startsAFileAnewWhenItIsLost()
{
    BrokerProcess broker;
    QVERIFY(broker.start());
    SilentRelay link(quint16(broker.port()));
    link.cut();
    Subscriber sub(broker.port(), Events);
    Rig rig(link.port());
    const QByteArray file = rig.file().toUtf8();
    rig.daemon->start();
    QVERIFY(rig.logged("detector 5 online", 1) && rig.flip(4, alarmbit::Fault, 4));
    QVERIFY(QFile::remove(rig.file()));
    QFile::remove(rig.file() + u"-wal"_s);
    QVERIFY(rig.flip(6, alarmbit::Fault, 10));
    rig.daemon->kill();
    rig.daemon->start();
    QVERIFY(rig.logged(": 10 events and results wait", 1) && rig.logged("detector 5 online", 2));
    QVERIFY(rig.logged("queue: " + file + " was deleted while kalmird ran: a new file is started", 1));
    QVERIFY(QFile(rig.file()).resize(0));
    QVERIFY(rig.flip(2, alarmbit::Fault, 12));
    rig.daemon->kill();
    link.restore();
    rig.daemon->start();
    QVERIFY2(rig.logged(": 12 events and results wait", 1), rig.daemon->errorOutput());
    QVERIFY(rig.logged("queue: " + file + " was emptied (zero length) while kalmird ran", 1));
    QVERIFY(rig.logged("queue: " + file + " is empty (zero length): a new queue is started in it", 1));
    QVERIFY2(receivedInOrder(sub, 12), QByteArray::number(sub.messages().size()) + rig.daemon->errorOutput());
    QCOMPARE(rig.daemon->terminate(), 0);
}

// A row whose topic the MQTT client refuses, at the head of the queue, is
// dropped with one line and counted; the five behind it and the new ones go
// out, and it leaves the file.
void TestKalmirdQueue::dropsAMessageTheClientRefuses()
{
    BrokerProcess broker;
    QVERIFY(broker.start());
    Subscriber sub(broker.port(), Events);
    const quint16 http = freeLocalPort();
    Rig rig(broker.port(), {}, u"\n[http]\nlisten = \"127.0.0.1:%1\"\n"_s.arg(http));
    std::vector<QueuedMessage> rows{{100, "kalmir/#", R"({"kind":"fire","on":true})"}};
    for (int i = 101; i <= 105; ++i)
        rows.push_back({i, Events.toUtf8(), R"({"kind":"fire","on":true})"});
    QVERIFY(prefill(rig.file(), rows));
    rig.daemon->start();
    QVERIFY(rig.logged("queue: dropped seq 100 for \"kalmir/#\": the MQTT client refuses it (", 1));
    QVERIFY(rig.logged("detector 5 online", 1) && rig.flip(2, alarmbit::Fire, 2));
    QVERIFY(QTest::qWaitFor([&] { return sub.messages().size() >= 7; }, 10000));
    QTest::qWait(300);
    int duplicates = 0;
    const QList<qint64> sent = seqs(sub, &duplicates);
    QCOMPARE(sub.messages().size(), 7);
    QCOMPARE(sent.mid(0, 5), QList<qint64>({101, 102, 103, 104, 105}));
    QVERIFY(sent[5] > 105 && sent[6] == sent[5] + 1);
    const QByteArray metrics = httpGet(http, "/metrics").body;
    QCOMPARE(metricValue(metrics, "kalmir_dropped_events_total"), 1.0);
    QCOMPARE(metricValue(metrics, "kalmir_queue_durable"), 1.0);
    QCOMPARE(rig.daemon->terminate(), 0);
    QCOMPARE(rig.daemon->errorOutput().count("the MQTT client refuses it"), 1);
    EventStore store;
    HeldMessages left;
    QVERIFY(store.open(rig.file(), left, 0).usable && left.empty());
}

// A state_dir that cannot be made: --check refuses it; kalmird runs with the
// queue in memory, says so in one line and on /metrics, and takes the file
// up once the folder can be made.
void TestKalmirdQueue::saysWhenTheQueueCannotBeKept()
{
    BrokerProcess broker;
    QVERIFY(broker.start());
    Subscriber sub(broker.port(), Events);
    QTemporaryDir dir;
    const QString blocker = dir.filePath(u"blocker"_s), state = blocker + u"/state"_s;
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const quint16 http = freeLocalPort();
    Rig rig(broker.port(), u"state_dir = \"%1\"\n"_s.arg(state), u"\n[http]\nlisten = \"127.0.0.1:%1\"\n"_s.arg(http));
    QByteArray out, err;
    QCOMPARE(rig.daemon->run({u"--check"_s}, &out, &err), 2);
    QCOMPARE(err, "kalmird: cannot create the state folder (state_dir) " + state.toUtf8()
                      + ": Not a directory; events and results could not be kept across a restart\n");
    rig.daemon->start();
    QVERIFY(rig.logged("queue: cannot use " + state.toUtf8() + "/queue.db: cannot create the folder " + state.toUtf8()
                           + ": Not a directory; events and results are held in memory and sent",
                       1));
    const auto durable = [&] { return metricValue(httpGet(http, "/metrics").body, "kalmir_queue_durable"); };
    QTRY_COMPARE(durable(), 0.0);
    QVERIFY(rig.logged("connected", 1) && rig.flip(2, alarmbit::Fire, 2));
    QVERIFY(receivedInOrder(sub, 2, 5000));
    QTest::qWait(2500); // tried twice more meanwhile, and said no more
    QVERIFY(QFile::remove(blocker));
    QVERIFY(rig.logged("queue: " + state.toUtf8() + "/queue.db can be used again: 0 events and results waited in it", 1));
    QTRY_COMPARE(durable(), 1.0);
    QCOMPARE(rig.daemon->errorOutput().count("queue: cannot "), 1);
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
