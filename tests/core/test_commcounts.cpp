#include "session/commstats.h"
#include <QtTest>

class TestCommStats : public QObject {
    Q_OBJECT
private slots:
    // The median follows only the last MedianWindow round trips; minimum and
    // maximum keep everything since the reset; failures add no round trip.
    // The counts are each address's, in its detector's record.
    void medianOverTheLastWindowAndTheCounts()
    {
        DetectorRecords records;
        CommStats stats(records);
        QSignalSpy told(&stats, &CommStats::changed);
        for (int ms = 1500; ms >= 1; --ms)
            records.noteExchange(7, ExchangeOutcome::Good, ms); // the last 1000 are 1000..1
        records.noteExchange(7, ExchangeOutcome::Timeout, 9999);
        records.noteExchange(7, ExchangeOutcome::CrcError, 0.001);
        records.noteExchange(7, ExchangeOutcome::Exception, 0);
        records.noteExchange(7, ExchangeOutcome::Unexpected, 0);
        LinkCounts c = stats.counts(7);
        QCOMPARE(QList<uint64_t>({c.good, c.timeouts, c.crcErrors, c.exceptions, c.unexpected}),
                 QList<uint64_t>({1500, 1, 1, 1, 1}));
        QCOMPARE(QList<double>({c.lastMs, c.minMs, c.medianMs, c.maxMs}), QList<double>({1, 1, 500.5, 1500}));
        records.noteExchange(7, ExchangeOutcome::Good, 0.5); // the oldest in the window, 1000, leaves it
        QCOMPARE(stats.counts(7).medianMs, 499.5);
        QCOMPARE(told.count(), 1505);

        records.noteRequest(8);
        records.noteExchange(8, ExchangeOutcome::Good, 12.5);
        c = stats.counts(8);
        QVERIFY(c.requests == 1 && c.good == 1 && c.lastMs == 12.5);
        QCOMPARE(stats.textTable({8}).split(u'\n')[2].simplified().section(u' ', 0, 6), QStringLiteral("8 1 1 0 0 0 0"));
        // A detector that takes address 9 leaves the counts with address 8.
        records.rename(8, 9);
        QCOMPARE(stats.row(9).mid(1, 2) + stats.row(8).mid(1, 2), QStringList({"0", "0", "1", "1"}));
        stats.reset();
        QCOMPARE(stats.row(7).mid(1), QStringList({"0", "0", "0", "0", "0", "0", "-", "-", "-", "-"}));
    }
};

QTEST_GUILESS_MAIN(TestCommStats)
#include "test_commcounts.moc"
