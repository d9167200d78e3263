// bench_eventqueue [FOLDER [COUNT [GAP_MS]]]: kalmird's queue of events on
// disk, in FOLDER (default a temporary folder; give /var/lib/kalmir to
// measure a site's own disk), COUNT events (default 500) GAP_MS apart
// (default 10).
// Prints how long one commit (WAL, synchronous = FULL) takes, which is what
// the event loop would wait for without the writer thread; how long add()
// holds the event loop with it; and the time per queued event, from add()
// to its commit (when it may be published): one event every GAP_MS, and a
// burst of 128 (every detector of 8 lines in one turn).
#include "daemon/eventqueue.h"
#include "daemon/mqttclient.h"
#include "measure.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
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
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
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
