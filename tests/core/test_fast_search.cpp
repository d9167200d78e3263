// The fast search on a line keeping wire time: detectors 3, 100 and 247
// answering 5 or 20 ms after the request are all found with the default
// margin; one answering after 60 ms is missed, the end message says so, and
// a normal search then finds it.
#include "session/bussearch.h"
#include "session/searchsummary.h"
#include "support/simrig.h"
#include <QtTest>

class FastSearchTest : public QObject {
    Q_OBJECT

    // The addresses one search finds, listed or not (the list holds two).
    static QList<int> search(SimRig &r, bool fast, int *probedFast)
    {
        r.state.devices.clear();
        BusSearch s(r.line, r.state);
        s.setFast(fast);
        QList<int> found;
        connect(&r.state.devices, &DeviceList::listing, &s, [&](int, uint8_t a) { found << a; });
        connect(&s, &BusSearch::foundWithoutRoom, [&](uint8_t a) { found << a; });
        QSignalSpy ended(&s, &BusSearch::ended);
        s.start();
        if (!ended.wait(120000))
            return {-1};
        *probedFast = s.fastProbes();
        return found;
    }

private slots:
    void findsQuickDetectorsAndNamesTheSlowOnes()
    {
        SimRig r(150); // a window of 150 ms: the normal search's 60 ms detector fits it
        for (int a : {3, 100, 247})
            r.sim.addDetector(uint8_t(a));
        int probed = 0;
        for (int turnaround : {5, 20}) {
            r.sim.setWireTime(true, turnaround);
            QCOMPARE(search(r, true, &probed), (QList<int>{3, 100, 247}));
            QCOMPARE(probed, 247);
        }
        r.sim.setWireTime(true, 60);
        QCOMPARE(search(r, true, &probed), QList<int>{});
        QCOMPARE(fastSearchSummary(probed, BusSearch::DefaultMarginMs),
                 QString("Быстрый поиск: опрошено адресов: 247, начала ответа ждали 30 мс после запроса. "
                         "Прибор, который отвечает медленнее, найдет обычный поиск (без отметки \"быстро\")."));
        QTest::qWait(200); // 247's late answer to the last fast probe goes by
        QCOMPARE(search(r, false, &probed), (QList<int>{3, 100, 247}));
        QCOMPARE(probed, 0);
    }

    // The margin it is given, not the default: below the detector's
    // turnaround the probe misses it, above it finds it. Each search stops
    // after its first address.
    void waitsTheMarginItIsGiven()
    {
        SimRig r(150);
        r.sim.addDetector(1);
        const auto firstProbe = [&r](int turnaroundMs, double marginMs) {
            r.sim.setWireTime(true, turnaroundMs);
            BusSearch s(r.line, r.state);
            s.setFast(true);
            s.setFastMarginMs(marginMs);
            int count = -1;
            connect(&s, &BusSearch::probed, &s, [&](uint8_t a, uint8_t n) {
                if (a == 1)
                    count = n;
                s.stop();
            });
            QSignalSpy ended(&s, &BusSearch::ended);
            s.start();
            ended.wait(5000);
            QTest::qWait(200); // a late answer goes by
            return count;
        };
        QCOMPARE(firstProbe(20, 5), 0);    // the default margin would find it
        QCOMPARE(firstProbe(60, 120), 53); // and miss this one
    }
};

QTEST_GUILESS_MAIN(FastSearchTest)
#include "test_fast_search.moc"
