// kalmird on a line whose detectors are not listed: it searches the whole
// bus (1..247, each silent address costing its read window, about two
// minutes), then watches what it found and nothing else. A suite of its own
// so that it runs beside the others.
#include "sim/simulator.h"
#include "support/mqttrig.h"
#include "support/simprocess.h"

#include <QTest>

class TestKalmirdSearch : public QObject {
    Q_OBJECT
private slots:
    void watchesWhatTheSearchFinds()
    {
        BrokerProcess broker;
        QVERIFY(broker.start());
        Simulator sim;
        sim.setFrozen(true);
        sim.addDetector(5);
        sim.addDetector(240);
        QVERIFY(sim.start());
        Subscriber sub(broker.port(), QStringLiteral("kalmir/#"));
        DaemonProcess daemon(
            oneLineConfig(broker.port(), QStringLiteral("hall"), sim.slavePath(), QStringLiteral("\"search\"")));
        daemon.start();
        for (const char *a : {"5", "240"})
            QVERIFY2(sub.waitFor(QStringLiteral("kalmir/hall/%1/availability").arg(a), "online", 240000),
                     daemon.errorOutput());
        QVERIFY(sub.waitFor(QStringLiteral("kalmir/hall/240/state"), [](const QByteArray &) { return true; }, 5000));
        for (const auto &m : sub.messages()) {
            const QString address = m.topic.section(QLatin1Char('/'), 2, 2);
            QVERIFY2(!m.topic.startsWith(QLatin1String("kalmir/hall/")) || address == QLatin1String("5")
                         || address == QLatin1String("240"),
                     qPrintable(m.topic));
        }
        QCOMPARE(daemon.terminate(), 0);
        QVERIFY2(daemon.errorOutput().contains("hall: bus search found 2 detector(s)"), daemon.errorOutput());
    }

    // search = "fast": the whole bus in seconds; the log names the fast probes.
    void fastSearchFindsQuickDetectors()
    {
        BrokerProcess broker;
        QVERIFY(broker.start());
        // The simulator in a process of its own: on a loaded machine one
        // sharing this test's loop answers later than the margin.
        SimProcess sim({"--frozen", "--wire-time", "--turnaround", "10", "--device", "7"});
        QVERIFY(sim.start());
        Subscriber sub(broker.port(), QStringLiteral("kalmir/#"));
        DaemonProcess daemon(oneLineConfig(broker.port(), QStringLiteral("hall"), sim.slavePath(),
                                           QStringLiteral("\"search\"\nsearch = \"fast\"\nsearch_margin_ms = 40")));
        daemon.start();
        QVERIFY2(sub.waitFor(QStringLiteral("kalmir/hall/7/availability"), "online", 30000), daemon.errorOutput());
        QCOMPARE(daemon.terminate(), 0);
        QVERIFY2(daemon.errorOutput().contains("hall: bus search found 1 detector(s)\n")
                     && daemon.errorOutput().contains("hall: 247 address(es) probed fast, waiting 40 ms"),
                 daemon.errorOutput());
    }
};

QTEST_GUILESS_MAIN(TestKalmirdSearch)
#include "test_kalmird_search.moc"
