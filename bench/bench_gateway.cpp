// bench_gateway [SECONDS]: kalmird on one line of 16 detectors at 19200 baud
// in the simulator's wire-time mode, its gateway open, and 0, 1 and 4 Modbus
// TCP clients each reading 10 registers of its own detector at full rate
// (the next request as soon as the answer is in), with and without a 17th
// listed detector that never answers. SECONDS (default 20) measured per case.
// Prints per case: the watch's status passes per second against the wire's
// limit, the largest status age (the longest time between two status replies
// of one answering detector), the guests' requests per second and round trip
// (p50, p99), the largest guest share of any 10 s on the wire, and kalmird's
// CPU in % of one core. $KALMIRD_BIN runs another build.
#include "measure.h"
#include "sim/simulator.h"
#include "support/guestwire.h"
#include "support/localport.h"
#include "support/mbapclient.h"
#include "support/mqttrig.h"

#include <QCoreApplication>
#include <cstdio>
#include <memory>

namespace {
constexpr int Baud = 19200;
constexpr int Detectors = 16;

struct Case {
    int clients;
    bool silent;
};

void run(const Case &c, int seconds, int brokerPort)
{
    Simulator sim;
    sim.setWireTime(true);
    sim.setFrozen(true);
    for (int a = 1; a <= Detectors; ++a)
        sim.addDetector(uint8_t(a), Baud);
    if (!sim.start())
        qFatal("simulator: %s", qPrintable(sim.errorString()));
    QStringList devices;
    for (int a = 1; a <= Detectors + (c.silent ? 1 : 0); ++a)
        devices << QString::number(a);
    const quint16 port = freeLocalPort();
    DaemonProcess daemon(QStringLiteral("[mqtt]\nhost = \"127.0.0.1\"\nport = %1\n\n[[line]]\nname = \"bench\"\n"
                                        "port = \"%2\"\nspeed = %3\ndevices = [%4]\n\n[line.gateway]\nlisten = \"127.0.0.1:%5\"\n")
                             .arg(brokerPort)
                             .arg(sim.slavePath())
                             .arg(Baud)
                             .arg(devices.join(QStringLiteral(", ")))
                             .arg(port));
    daemon.start();
    loopFor(5000); // every detector online, the silent one offline
    std::vector<std::unique_ptr<MbapClient>> clients;
    for (int i = 0; i < c.clients; ++i) {
        clients.push_back(std::make_unique<MbapClient>(port));
        if (!clients.back()->open())
            qFatal("the gateway did not accept client %d", i + 1);
    }
    const double fromMs = sim.frames().last().lastChar * 1000;
    const double cpu0 = processCpuSeconds(daemon.pid());
    QElapsedTimer span;
    span.start();
    for (int i = 0; i < c.clients; ++i)
        clients[size_t(i)]->repeat(uint8_t(i + 1), QByteArray("\x03\x00\x02\x00\x0A", 5));
    loopFor(seconds * 1000);
    for (auto &client : clients)
        client->stop();
    const double spanS = double(span.elapsed()) / 1000;
    const double cpu = (processCpuSeconds(daemon.pid()) - cpu0) / spanS * 100;
    loopFor(700);

    const QList<SimFrame> frames = sim.frames();
    int passes = 0;
    double largestAge = 0;
    const double toMs = fromMs + spanS * 1000;
    for (const SimFrame &f : frames)
        passes += f.direction == SimFrame::Sent && f.bytes.size() == 53 && f.lastChar * 1000 > fromMs
                  && f.lastChar * 1000 <= toMs;
    for (int a = 1; a <= Detectors; ++a)
        largestAge = std::max(largestAge, largestStatusGap(frames, uint8_t(a), fromMs));
    std::vector<double> roundTrips;
    for (auto &client : clients)
        for (const MbapClient::Answer &a : client->answers())
            roundTrips.push_back(a.roundTripMs);
    // One status pass on the wire: 8 request and 53 reply characters, each
    // followed by the 3.5-character silence, 10 bits a character.
    const double passMs = (8 + 3.5 + 53 + 3.5) * 10.0 * 1000.0 / Baud;
    const double passRate = double(passes) / spanS;
    std::printf("%d client(s), %s: status passes %.2f/s, ratio %.3f of the wire's %.2f/s; largest status age %.0f ms; "
                "guests %.1f requests/s, round trip p50 %.1f ms, p99 %.1f ms; largest guest share of 10 s %.3f; "
                "kalmird CPU %.1f %%\n",
                c.clients, c.silent ? "a silent 17th detector listed" : "no silent detector", passRate,
                passRate * passMs / 1000, 1000 / passMs, largestAge, double(roundTrips.size()) / spanS,
                roundTrips.empty() ? 0.0 : median(roundTrips), percentile(roundTrips, 0.99),
                GuestWire(frames).largestGuestShare(10000), cpu);
    std::fflush(stdout);
    daemon.terminate();
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? atoi(argv[1]) : 20;
    BrokerProcess broker;
    if (!broker.start())
        qFatal("mosquitto did not start");
    std::printf("kalmird's gateway: %d detectors at %d baud, wire time, %d s per case; load average %s\n", Detectors,
                Baud, seconds, loadAverage().constData());
    for (const bool silent : {false, true})
        for (const int clients : {0, 1, 4})
            run({clients, silent}, seconds, broker.port());
    return 0;
}
