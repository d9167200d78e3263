// bench_kalmird [LINES [DETECTORS [SECONDS [INTERVAL_MS [frozen|noisy|events]]]]]:
// the watch service on LINES simulated lines (default 8) of DETECTORS
// detectors each (default 16), in wire-time mode at 19200 baud, one
// Mosquitto, one subscriber to every state (in a thread of its own).
// INTERVAL_MS is the lines' state_min_interval_ms (default: kalmird's own);
// the readings move (noisy, the default) or stay where they are (frozen).
// With an interval the latency figures below match a state to its
// detector's latest reply, which a state held back is not.
// Prints the status passes per second of each line against the wire's limit,
// kalmird's CPU in % of one core and its memory, and the time from the end of
// a reply on the wire to the subscriber's receipt of its state.
// "events" (readings noisy): detector 1 of every line flips its fault bit at every status
// read, and the time from that reply to the receipt of its event (through
// kalmird's queue on disk) is printed too. $KALMIRD_BIN runs another build.
// "http" (readings noisy): kalmird serves HTTP as well; after the run above,
// a second one of SECONDS with a /metrics scrape every second and the status
// page open in headless Chromium prints kalmird's CPU and passes against the
// first, then 400 scrapes at 20 a second time the /metrics answer.
#include "daemon/mqttclient.h"
#include "daemon/http/metricstext.h"
#include "daemon/http/sitesnapshot.h"
#include "httpscrape.h"
#include "measure.h"
#include "sim/simulator.h"
#include "support/httprig.h"
#include "support/mqttrig.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <QFile>
#include <QTest>
#include <cstdio>
#include <map>
#include <memory>

namespace {
constexpr int Baud = 19200;

// What rendering /metrics costs on its own, for a site of this size with
// every detector answered: median and p99 of 500 renders, in ms.
void renderCost(int lines, int perLine)
{
    SiteSnapshot site;
    for (int l = 0; l < lines; ++l) {
        LineSnapshot line;
        line.name = QStringLiteral("l%1").arg(l);
        for (int a = 1; a <= perLine; ++a) {
            DetectorSnapshot d;
            d.address = uint8_t(a);
            d.up = d.answered = true;
            d.counts.requests = d.counts.good = 123456;
            for (int i = 0; i < 1000; ++i)
                d.roundTrips.add(0.03 + 0.0001 * i);
            line.detectors.push_back(d);
        }
        site.lines.push_back(line);
    }
    std::vector<double> ms;
    qsizetype size = 0;
    for (int i = 0; i < 500; ++i) {
        QElapsedTimer t;
        t.start();
        size = metricsText(site).size();
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::printf("/metrics rendered alone (%d detectors, %lld bytes): median %.3f ms, p99 %.3f ms\n", lines * perLine,
                (long long)size, median(ms), percentile(ms, 0.99));
}

// The run again with a scrape every second and the page open, then the
// /metrics answer timed over 400 scrapes.
template <typename RunFor>
void measureHttp(quint16 port, qint64 pid, int seconds, double cpuWithout, double spanWithoutS, std::vector<uint64_t> &passes,
                 bool &measuring, RunFor runFor)
{
    const std::vector<uint64_t> passesWithout = passes;
    BrowserProcess browser;
    if (!browser.start() || browser.ask(QStringLiteral("open http://127.0.0.1:%1/").arg(port)) != u"ok")
        qFatal("chromium did not open the page: %s", browser.errorOutput().constData());
    double cpu = 0, spanS = 0;
    int scrapes = 0;
    {
        Scraper scraper(port, "/metrics", 1000);
        runFor(2000);
        std::fill(passes.begin(), passes.end(), 0);
        const double cpu0 = processCpuSeconds(pid);
        QElapsedTimer clock;
        clock.start();
        measuring = true;
        runFor(seconds * 1000);
        measuring = false;
        spanS = double(clock.elapsed()) / 1000.0;
        cpu = (processCpuSeconds(pid) - cpu0) / spanS * 100.0;
        scrapes = int(scraper.timesMs().size());
    }
    std::printf("with a /metrics scrape every second (%d) and the status page open in Chromium: kalmird CPU %.2f %% "
                "of one core, %+.2f against the run without (%.2f %%)\n",
                scrapes, cpu, cpu - cpuWithout, cpuWithout);
    for (size_t l = 0; l < passes.size(); ++l)
        std::printf("  line l%zu: %.2f passes/s, %+.2f %% against the run without\n", l, double(passes[l]) / spanS,
                    (double(passes[l]) / spanS / (double(passesWithout[l]) / spanWithoutS) - 1) * 100.0);
    Scraper timed(port, "/metrics", 50, 400);
    while (!timed.done())
        runFor(100);
    const std::vector<double> t = timed.timesMs();
    std::printf("/metrics answer, 400 scrapes at 20/s on one connection: median %.2f ms, p99 %.2f ms, max %.2f ms "
                "(%d failed)\n",
                median(t), percentile(t, 0.99), percentile(t, 1.0), timed.failures());
    std::fflush(stdout);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int lines = argc > 1 ? atoi(argv[1]) : 8;
    const int perLine = argc > 2 ? atoi(argv[2]) : 16;
    const int seconds = argc > 3 ? atoi(argv[3]) : 30;
    const QString interval = argc > 4 ? QStringLiteral("state_min_interval_ms = %1\n").arg(atoi(argv[4])) : QString();
    const bool frozen = argc > 5 && qstrcmp(argv[5], "frozen") == 0;
    const bool events = argc > 5 && qstrcmp(argv[5], "events") == 0;
    const bool http = argc > 5 && qstrcmp(argv[5], "http") == 0;
    const quint16 httpPort = freeLocalPort();

    BrokerProcess broker;
    if (!broker.start())
        qFatal("mosquitto did not start");
    QTemporaryDir dir;
    QElapsedTimer clock;
    clock.start();
    const auto nowMs = [&] { return double(clock.nsecsElapsed()) / 1e6; };

    std::vector<std::unique_ptr<Simulator>> sims;
    // Per line, address -> its last reply's end on the simulated wire and
    // when its last byte was actually written, on the bench's clock.
    std::vector<std::map<int, std::pair<double, double>>> replyEnd{size_t(lines)};
    std::vector<int> lastReplyTo(size_t(lines), 0);
    std::vector<uint64_t> passes(size_t(lines), 0);
    bool measuring = false;
    QString config = QStringLiteral("[mqtt]\nhost = \"127.0.0.1\"\nport = %1\n").arg(broker.port());
    if (http)
        config += QStringLiteral("[http]\nlisten = \"127.0.0.1:%1\"\n").arg(httpPort);
    QStringList devices;
    for (int a = 1; a <= perLine; ++a)
        devices << QString::number(a);
    for (int l = 0; l < lines; ++l) {
        auto sim = std::make_unique<Simulator>();
        sim->setWireTime(true);
        sim->setFramesKept(2);
        sim->setFrozen(frozen);
        for (int a = 1; a <= perLine; ++a)
            sim->addDetector(uint8_t(a), Baud);
        const QString link = dir.filePath(QStringLiteral("line%1").arg(l));
        if (!sim->start(link))
            qFatal("simulator: %s", qPrintable(sim->errorString()));
        Simulator *s = sim.get();
        if (events)
            QObject::connect(s, &Simulator::frameReceived, [s](const QByteArray &request) {
                if (uint8_t(request[0]) == 1 && uint8_t(request[1]) == 3)
                    s->detectors().first()->setAlarmFlags(s->detectors().first()->alarmFlags() ^ alarmbit::Fault);
            });
        QObject::connect(s, &Simulator::frameSent, [&, s, l](const QByteArray &bytes) {
            if (bytes.size() != 53)
                return;
            const SimFrame f = s->frames().last();
            lastReplyTo[size_t(l)] = uint8_t(bytes[0]);
            replyEnd[size_t(l)][uint8_t(bytes[0])] = {nowMs() + (f.lastChar - f.time) * 1000.0, 0.0};
            if (measuring)
                ++passes[size_t(l)];
        });
        QObject::connect(s, &Simulator::frameWritten,
                         [&, l] { replyEnd[size_t(l)][lastReplyTo[size_t(l)]].second = nowMs(); });
        config += QStringLiteral("\n[[line]]\nname = \"l%1\"\nport = \"%2\"\nspeed = %3\ndevices = [%4]\n")
                      .arg(l)
                      .arg(link)
                      .arg(Baud)
                      .arg(devices.join(QStringLiteral(", ")))
                  + interval;
        sims.push_back(std::move(sim));
    }

    std::vector<double> latencies, fromWrite, eventLatencies;
    uint64_t states = 0;
    MqttClient::Options o;
    o.port = broker.port();
    o.clientId = QStringLiteral("bench-subscriber");
    const auto onState = [&](const QString &topic, double receivedMs) {
        if (!measuring)
            return;
        const QStringList parts = topic.split(u'/');
        const int l = parts[1].mid(1).toInt();
        const auto it = replyEnd[size_t(l)].find(parts[2].toInt());
        if (parts[3] == u"event") {
            if (it != replyEnd[size_t(l)].end())
                eventLatencies.push_back(receivedMs - it->second.first);
            return;
        }
        if (it != replyEnd[size_t(l)].end()) {
            latencies.push_back(receivedMs - it->second.first);
            if (it->second.second > 0)
                fromWrite.push_back(receivedMs - it->second.second);
        }
        ++states;
    };
    // The subscriber has a thread of its own, so that the simulators' work
    // in this one does not delay the moment a state is seen to arrive; the
    // state is matched to its reply here, long before the next reply of
    // that detector.
    QThread subscriberThread;
    subscriberThread.start();
    QObject inSubscriberThread;
    inSubscriberThread.moveToThread(&subscriberThread);
    std::unique_ptr<MqttClient> sub;
    QMetaObject::invokeMethod(&inSubscriberThread, [&] {
        sub = std::make_unique<MqttClient>(o);
        sub->subscribe(QStringLiteral("kalmir/+/+/state"), 0);
        sub->subscribe(QStringLiteral("kalmir/+/+/event"), 1);
        QObject::connect(sub.get(), &MqttClient::messageReceived, [&](const QString &topic, const QByteArray &) {
            const double receivedMs = nowMs();
            QMetaObject::invokeMethod(&app, [&onState, topic, receivedMs] { onState(topic, receivedMs); });
        });
        sub->start();
    }, Qt::BlockingQueuedConnection);

    // QTest::qWait sleeps 10 ms between its turns of the loop, which would
    // delay the simulators and the subscriber: the bench waits in a plain loop.
    const auto runFor = [](int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    };
    DaemonProcess daemon(config);
    daemon.start();
    runFor(5000); // every line open and polling
    const qint64 pid = daemon.pid();
    const QByteArray loadBefore = loadAverage();
    const double cpu0 = processCpuSeconds(pid);
    const double benchCpu0 = cpuSeconds();
    const double t0 = nowMs();
    measuring = true;
    runFor(seconds * 1000);
    measuring = false;
    const double spanS = (nowMs() - t0) / 1000.0;
    const double cpu = (processCpuSeconds(pid) - cpu0) / spanS * 100.0;
    const double benchCpu = (cpuSeconds() - benchCpu0) / spanS * 100.0;

    // One status pass on the wire: 8 request and 53 reply characters, each
    // followed by the 3.5-character silence, 10 bits a character.
    const double passMs = (8 + 3.5 + 53 + 3.5) * 10.0 * 1000.0 / Baud;
    std::printf("kalmird: %d lines x %d detectors at %d baud, %.0f s measured; load average before %s, after %s\n",
                lines, perLine, Baud, spanS, loadBefore.constData(), loadAverage().constData());
    std::printf("readings %s, %s\n", frozen ? "frozen" : "noisy",
                interval.isEmpty() ? "kalmird's default state interval" : qPrintable(interval.trimmed()));
    std::printf("wire limit: %.2f status passes/s per line (%.2f ms a pass)\n", 1000.0 / passMs, passMs);
    for (int l = 0; l < lines; ++l)
        std::printf("  line l%d: %.2f passes/s, ratio %.3f\n", l, double(passes[size_t(l)]) / spanS,
                    double(passes[size_t(l)]) / spanS * passMs / 1000.0);
    std::printf("states received: %llu (%.1f/s)\n", (unsigned long long)states, double(states) / spanS);
    std::printf("kalmird CPU: %.1f %% of one core; memory: VmRSS %s, VmHWM %s\n", cpu,
                statusField(pid, "VmRSS:").constData(), statusField(pid, "VmHWM:").constData());
    std::printf("reply end on the wire -> subscriber: median %.2f ms, p99 %.2f ms, max %.2f ms (%zu samples)\n",
                median(latencies), percentile(latencies, 0.99), percentile(latencies, 1.0), latencies.size());
    std::printf("last reply byte written by the simulator -> subscriber: median %.2f ms, p99 %.2f ms (%zu samples)\n",
                median(fromWrite), percentile(fromWrite, 0.99), fromWrite.size());
    if (events)
        std::printf("reply end on the wire -> subscriber, its event: median %.2f ms, p99 %.2f ms, max %.2f ms "
                    "(%zu events, %.1f/s)\n",
                    median(eventLatencies), percentile(eventLatencies, 0.99), percentile(eventLatencies, 1.0),
                    eventLatencies.size(), double(eventLatencies.size()) / spanS);
    std::printf("(the bench process itself, %d simulators and the subscriber: %.1f %% of one core)\n", lines, benchCpu);
    std::fflush(stdout);
    if (http)
        renderCost(lines, perLine);
    if (http)
        measureHttp(httpPort, pid, seconds, cpu, spanS, passes, measuring, runFor);
    daemon.terminate();
    QMetaObject::invokeMethod(&inSubscriberThread, [&] { sub.reset(); }, Qt::BlockingQueuedConnection);
    subscriberThread.quit();
    subscriberThread.wait();
    return 0;
}
