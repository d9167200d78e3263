// Prints what one request transaction costs the program: the median wall time
// of a status transaction against the simulator (a pseudo-terminal has no wire
// time, so this is the software's own overhead), and the process CPU time
// against wall time while transactions to a silent address wait out their
// 531 ms read time-out.
#include "measure.h"
#include "link/linechannel.h"
#include "link/transaction.h"
#include "support/simprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {
// One transaction, waiting for its end on the event loop; returns its count.
int runOne(Transaction &tx, uint8_t address)
{
    int count = -1;
    QEventLoop loop;
    auto c = QObject::connect(&tx, &Transaction::finished, &loop, [&](const ExchangeResult &r) {
        if (r.outcome == ExchangeResult::Outcome::Reply)
            count = r.count;
        loop.quit();
    });
    tx.query(address, 3, 1, 24);
    loop.exec();
    QObject::disconnect(c);
    return count;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int n = 20;
    SimProcess sim({QStringLiteral("--frozen"), QStringLiteral("--device"), QStringLiteral("1")});
    if (!sim.start()) {
        std::fprintf(stderr, "simulator did not start\n");
        return 1;
    }
    LineChannel channel;
    channel.setPortName(sim.slavePath());
    channel.setBaudRate(9600);
    channel.open();
    Transaction tx(channel);

    std::vector<double> ms;
    for (int i = 0; i < n + 2; ++i) {
        QElapsedTimer t;
        t.start();
        const int count = runOne(tx, 1);
        if (count != 53) {
            std::fprintf(stderr, "status transaction returned %d\n", count);
            return 1;
        }
        if (i >= 2) // the first two warm up the port and the simulator
            ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    // The channel keeps wire time even here: 3.5 characters of silence before
    // the request and its 8 characters on the line (a pseudo-terminal's reply
    // comes at once). What lies beyond that is the software's own cost.
    const double wireMs = 11.5 * 10 * 1000.0 / 9600;
    std::printf("status transaction, %d runs: median %.3f ms, min %.3f ms, max %.3f ms\n", n, ms[ms.size() / 2],
                ms.front(), ms.back());
    std::printf("  beyond the request's wire time and silence (%.2f ms at 9600 baud): median %.3f ms\n", wireMs,
                ms[ms.size() / 2] - wireMs);

    QElapsedTimer wall;
    wall.start();
    const double cpu0 = cpuSeconds();
    for (int i = 0; i < n; ++i)
        runOne(tx, 99);
    const double wallS = double(wall.nsecsElapsed()) / 1e9;
    const double cpuS = cpuSeconds() - cpu0;
    std::printf("silent address, %d transactions: %.2f s wall (%.1f ms each), %.4f s CPU = %.2f %% of one core\n", n,
                wallS, wallS * 1000 / n, cpuS, 100.0 * cpuS / wallS);
    channel.close();
    sim.terminate();
    return 0;
}
