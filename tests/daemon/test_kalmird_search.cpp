// kalmird on a line whose detectors are not listed: it searches the whole
// bus (1..247, each silent address costing its read window, about two
// minutes), then watches what it found and nothing else. A suite of its own
// so that it runs beside the others, in one of the two builds only (see
// scripts/test); the fast search is in test_kalmird.
#include "sim/simulator.h"
#include "support/mqttrig.h"

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
};

QTEST_GUILESS_MAIN(TestKalmirdSearch)
#include "test_kalmird_search.moc"
