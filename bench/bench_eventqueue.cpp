// bench_eventqueue [FOLDER [COUNT [GAP_MS]]]: kalmird's queue of events on
// disk, in FOLDER (default a temporary folder; give /var/lib/kalmir to
// measure a site's own disk), COUNT events (default 500) GAP_MS apart
// (default 10).
// Prints how long one commit (WAL, synchronous = FULL) takes, which is what
// the event loop would wait for without the writer thread; how long add()
// holds the event loop with it; and the time per queued event, from add()
// to its commit (when it may be published): one event every GAP_MS, and a
// burst of 128 (every detector of 8 lines in one turn).
//
// bench_eventqueue memory [COUNT [MB]]: the memory of COUNT events (default
// 500,000) held against queue_max_mb = MB (default 64): while they are added
// and committed, and read from the file at a start (in a process of its own,
// so that its peak is the load's), with the file's and the WAL's sizes.
#include "daemon/eventqueue.h"
#include "daemon/mqttclient.h"
#include "measure.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <map>

namespace {
const QString Topic = QStringLiteral("kalmir/l0/1/event");
const QByteArray Payload = R"({"kind":"fault","on":true,"time":"2026-12-08T05:00:00.000+00:00"})";

void print(const char *what, const std::vector<double> &ms)
{
    std::printf("%s: median %.3f ms, p99 %.3f ms, max %.3f ms (%zu samples)\n", what, median(ms),
                percentile(ms, 0.99), percentile(ms, 1.0), ms.size());
}

void turnFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
double statusMb(const char *field)
{
    return statusField(QCoreApplication::applicationPid(), field).split(' ').first().toDouble() / 1024;
}

double fileMb(const QString &path)
{
    return double(QFileInfo(path).size()) / (1024 * 1024);
}

void turnUntil(const std::function<bool()> &done)
{
    while (!done())
        turnFor(10);
}

// What the queue takes when `count` events wait in it, as kalmird adds them.
int memoryWhileAdded(int count, int mb)
{
    QTemporaryDir temp;
    const QString path = temp.filePath(QStringLiteral("queue.db"));
    MqttClient never(MqttClient::Options{});
    const double before = statusMb("VmRSS:");
    {
        EventQueue queue(never, path, int64_t(mb) << 20);
        int64_t committed = 0, last = 0;
        QObject::connect(&queue, &EventQueue::committed, [&](int64_t upTo) { committed = upTo; });
        for (int i = 0; i < count; ++i)
            last = queue.add(Topic, Payload);
        turnUntil([&] { return committed >= last; });
        std::printf("%zu events held (%d added), counted %.1f MiB of queue_max_mb = %d; the queue's own memory "
                    "%.1f MiB; RSS %.1f MiB more than before, its peak %.1f MiB more (before: RSS %.1f MiB)\n",
                    queue.size(), count, double(queue.bytes()) / (1 << 20), mb, double(queue.memory()) / (1 << 20),
                    statusMb("VmRSS:") - before, statusMb("VmHWM:") - before, before);
        std::printf("queue.db %.1f MiB, queue.db-wal %.2f MiB\n", fileMb(path), fileMb(path + QStringLiteral("-wal")));
    }
    std::fflush(stdout); // before the child's lines
    QProcess load;
    load.setProcessChannelMode(QProcess::ForwardedChannels);
    load.start(QCoreApplication::applicationFilePath(), {QStringLiteral("memory-load"), path, QString::number(mb)});
    load.waitForFinished(-1);
    return load.exitCode();
}

// A start that reads them from the file.
int memoryAtLoad(const QString &path, int mb)
{
    MqttClient never(MqttClient::Options{});
    const double before = statusMb("VmRSS:"), peakBefore = statusMb("VmHWM:");
    EventQueue queue(never, path, int64_t(mb) << 20);
    std::printf("read at a start: %zu events; RSS %.1f MiB more than before, its peak %.1f MiB more (before: RSS "
                "%.1f MiB, peak %.1f MiB)\n",
                queue.size(), statusMb("VmRSS:") - before, statusMb("VmHWM:") - before, before, peakBefore);
    return 0;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "memory") == 0)
        return memoryWhileAdded(argc > 2 ? atoi(argv[2]) : 500000, argc > 3 ? atoi(argv[3]) : 64);
    if (argc > 3 && qstrcmp(argv[1], "memory-load") == 0)
        return memoryAtLoad(QString::fromLocal8Bit(argv[2]), atoi(argv[3]));
    QTemporaryDir temp;
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temp.path();
    const int count = argc > 2 ? atoi(argv[2]) : 500;
    const int gapMs = argc > 3 ? atoi(argv[3]) : 10;
    QElapsedTimer clock;
    clock.start();
    const auto nowMs = [&] { return double(clock.nsecsElapsed()) / 1e6; };

    std::vector<double> commits;
    {
        EventStore store;
        HeldMessages none;
        if (!store.open(folder + QStringLiteral("/bench-store.db"), none, 0).usable)
            qFatal("cannot open a queue in %s", qPrintable(folder));
        for (int i = 1; i <= count; ++i) {
            const double t0 = nowMs();
            store.write({{i, Topic.toUtf8(), Payload}}, {}, i);
            commits.push_back(nowMs() - t0);
        }
    }
    std::printf("queue in %s, %d events\n", qPrintable(folder), count);
    print("one commit of one event (on the event loop, it would stall it this long)", commits);

    MqttClient never(MqttClient::Options{});
    std::vector<double> inAdd, toCommit, burst;
    {
        EventQueue queue(never, folder + QStringLiteral("/bench-queue.db"), 64LL * 1024 * 1024);
        std::map<int64_t, double> addedAt;
        QObject::connect(&queue, &EventQueue::committed, [&](int64_t upTo) {
            const double t = nowMs();
            for (auto it = addedAt.begin(); it != addedAt.end() && it->first <= upTo; it = addedAt.erase(it))
                toCommit.push_back(t - it->second);
        });
        for (int i = 0; i < count; ++i) {
            const double t0 = nowMs();
            const int64_t seq = queue.add(Topic, Payload);
            inAdd.push_back(nowMs() - t0);
            addedAt[seq] = t0;
            turnFor(gapMs);
        }
        turnFor(100);
        print("add() on the event loop (the commit runs on the writer thread)", inAdd);
        std::printf("one event every %d ms:\n", gapMs);
        print("time per queued event, add() to committed", toCommit);
        for (int round = 0; round < 20; ++round) {
            toCommit.clear();
            for (int i = 0; i < 128; ++i)
                addedAt[queue.add(Topic, Payload)] = nowMs();
            turnFor(200);
            burst.push_back(*std::max_element(toCommit.begin(), toCommit.end()));
        }
        print("a burst of 128 events, add() of the first to the commit of the last (20 bursts)", burst);
    }
    return 0;
}
