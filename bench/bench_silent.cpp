// bench_silent [ADDRESSES [LIVE [SECONDS [PROBE_S]]]]: kalmird on one line
// that lists ADDRESSES addresses (default 40), of which only the first LIVE
// (default 3) answer, in wire-time mode at 9600 baud, offline_probe_s PROBE_S
// (default 10). After the live ones are online, prints for SECONDS (default
// 30) how often each live detector's state reached the broker.
#include "sim/simulator.h"
#include "support/mqttrig.h"

#include <QCoreApplication>
#include <QTest>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int addresses = argc > 1 ? atoi(argv[1]) : 40;
    const int live = argc > 2 ? atoi(argv[2]) : 3;
    const int seconds = argc > 3 ? atoi(argv[3]) : 30;
    const int probeS = argc > 4 ? atoi(argv[4]) : 10;

    BrokerProcess broker;
    if (!broker.start())
        qFatal("mosquitto did not start");
    Simulator sim;
    sim.setWireTime(true);
    sim.setFramesKept(2);
    for (int a = 1; a <= live; ++a)
        sim.addDetector(uint8_t(a), 9600);
    if (!sim.start())
        qFatal("simulator: %s", qPrintable(sim.errorString()));
    QStringList devices;
    for (int a = 1; a <= addresses; ++a)
        devices << QString::number(a);
    Subscriber sub(broker.port(), QStringLiteral("kalmir/silent/+/state"));
    DaemonProcess daemon(oneLineConfig(broker.port(), QStringLiteral("silent"), sim.slavePath(),
                                       QLatin1Char('[') + devices.join(QStringLiteral(", ")) + QLatin1Char(']'))
                         + QStringLiteral("offline_probe_s = %1\n").arg(probeS)
                         // every reply a state: the states count the passes
                         + QStringLiteral("state_min_interval_ms = 0\n"));
    daemon.start();
    for (int a = 1; a <= live; ++a)
        if (!sub.waitFor(QStringLiteral("kalmir/silent/%1/state").arg(a), [](const QByteArray &) { return true; },
                         300000))
            qFatal("detector %d never reported", a);
    const int mark = int(sub.messages().size());
    QTest::qWait(seconds * 1000);
    std::printf("%d addresses, %d answering, 9600 baud, offline_probe_s %d, %d s measured\n", addresses, live, probeS,
                seconds);
    for (int a = 1; a <= live; ++a) {
        const QString topic = QStringLiteral("kalmir/silent/%1/state").arg(a);
        int states = 0;
        for (qsizetype i = mark; i < sub.messages().size(); ++i)
            states += sub.messages()[i].topic == topic;
        std::printf("detector %d: %d states, one every %.2f s\n", a, states, states ? seconds / double(states) : 0.0);
    }
    daemon.terminate();
    return 0;
}
