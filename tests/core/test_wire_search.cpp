// The whole bus search, addresses 1..247, at 1200 baud against the simulator
// keeping wire time, with the real read window: both detectors are found and
// every silent address costs one window. About 2.5 minutes, on its own so
// that it runs beside the other suites.
#include "session/bussearch.h"
#include "support/simrig.h"
#include <QElapsedTimer>
#include <QtTest>

class WireSearchTest : public QObject {
    Q_OBJECT
private slots:
    void fullSearchAt1200FindsBothDetectors()
    {
        SimRig r;
        r.channel.close();
        r.channel.setTiming(LineChannel::Timing{});
        r.channel.setBaudRate(1200);
        r.channel.open();
        r.sim.setWireTime(true);
        r.sim.addDetector(5, 1200);
        r.sim.addDetector(200, 1200);
        r.sim.addDetector(9, 9600); // another speed: silent here

        BusSearch search(r.line, r.state);
        QList<int> found;
        QObject::connect(&r.state.devices, &DeviceList::listing, [&](int, uint8_t address) { found << address; });
        QSignalSpy ended(&search, &BusSearch::ended);
        QElapsedTimer t;
        t.start();
        QVERIFY(search.start());
        QVERIFY(ended.wait(300000));
        const double seconds = t.elapsed() / 1000.0;

        QCOMPARE(found, (QList<int>{5, 200}));
        const QList<QByteArray> requests = r.received();
        QCOMPARE(requests.size(), 247);
        for (int a = 1; a <= 247; ++a)
            QCOMPARE(int(uint8_t(requests[a - 1][0])), a);
        // A silent probe: the request's wire time and the 531 ms window
        // (598 ms; the silence before the next request passed inside the
        // window). An answered one: 8 + 53 characters and two silences.
        const double ch = 10.0 / 1200;
        const double bound = 245 * (8 * ch + 0.531) + 2 * (68 * ch);
        QVERIFY2(seconds >= bound && seconds < bound + 247 * 0.02, qPrintable(QString::number(seconds)));
    }
};

QTEST_GUILESS_MAIN(WireSearchTest)
#include "test_wire_search.moc"
