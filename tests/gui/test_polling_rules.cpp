// Rules of the polling cycle seen from outside, through the window and the
// simulator's wire log: the delay between passes, where a command goes with
// two devices, which log file a row goes to, the clearing rule on failed
// command passes, when the configuration mark is written, what the chart and
// the averages get, and the line's own timing constants.
#include "chart/chartwindow.h"
#include "support/pollrig.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QtTest>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

namespace {

// Median time in ms between consecutive requests the simulator received.
double medianRequestGapMs(const Simulator &sim)
{
    QList<double> times, gaps;
    for (const SimFrame &f : sim.frames())
        if (f.direction == SimFrame::Received)
            times << f.time * 1000;
    for (int i = 1; i < times.size(); ++i)
        gaps << times[i] - times[i - 1];
    std::sort(gaps.begin(), gaps.end());
    return gaps.isEmpty() ? 0 : gaps[gaps.size() / 2];
}

QList<QByteArray> logRows(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> rows = f.readAll().split('\n');
    rows.removeFirst(); // the header
    rows.removeAll(QByteArray());
    return rows;
}
} // namespace

class PollingRules : public QObject {
    Q_OBJECT
private slots:
    void delayGrowsTheGapBetweenPasses()
    {
        double gap[2];
        for (int delay : {0, 150}) {
            PollRig rig(40);
            rig.device(1);
            QVERIFY(rig.connectPort(delay));
            rig.listOnly({1});
            rig.sim.clearFrames();
            QVERIFY(rig.runPasses(6));
            gap[delay ? 1 : 0] = medianRequestGapMs(rig.sim);
        }
        // Each pass waits the delay after its reply (a coarse timer may end 5 % early);
        // with none, passes follow at the pace of the exchange alone.
        const QString gaps = QStringLiteral("%1 ms vs %2 ms").arg(gap[1]).arg(gap[0]);
        QVERIFY2(gap[1] >= 145 && gap[0] < 100, qPrintable(gaps));
    }

    void twoDevicesCommandsAndLogRows()
    {
        PollRig rig(40);
        rig.device(1).setRegister(sreg::Uik, 111);
        rig.device(2).setRegister(sreg::Uik, 222);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1, 2});
        QTest::mouseClick(rig.ui().wf, Qt::LeftButton); // "Запись в файл"
        // Stored while the first device's status read waits: the next pass, to device 2, sends it.
        const int from = rig.receivedCount();
        const auto hook = QObject::connect(&rig.sim, &Simulator::frameReceived, &rig.sim, [&] {
            if (rig.receivedCount() - from == 1)
                QTest::mouseClick(rig.ui().Button17, Qt::LeftButton); // "Сброс пожара"
        });
        QVERIFY(rig.runPasses(6));
        QObject::disconnect(hook);
        QCOMPARE(rig.writesSince(from), QList<QByteArray>{rtuFrame(2, 6, 1, 1)});
        QCOMPARE(rig.received(from).mid(0, 2), (QList<QByteArray>{rtuFrame(1, 3, 1, 24), rtuFrame(2, 6, 1, 1)}));

        for (auto [address, reading] : {std::pair{1, "  111  "}, {2, "  222  "}}) {
            const QList<QByteArray> rows = logRows(QStringLiteral("dev%1.txt").arg(address));
            QVERIFY(!rows.isEmpty());
            for (const QByteArray &row : rows)
                QVERIFY2(row.mid(8).startsWith(reading), row.constData());
        }

        // A reconnect starts new logs and keeps the earlier ones beside them.
        QTest::mouseClick(rig.ui().Button1, Qt::LeftButton); // "Разъединить"
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1, 2});
        QCOMPARE(QDir::current().entryList({"dev1-*.txt"}).size(), 1);
        QCOMPARE(QDir::current().entryList({"dev2-*.txt"}).size(), 1);
        QVERIFY(logRows("dev1.txt").isEmpty());
    }

    void failedCommandPassesDropOnlyWhatTheySent()
    {
        PollRig rig(40);
        Detector &dev = rig.device(1);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1});
        QTest::mouseClick(rig.ui().Button17, Qt::LeftButton); // fire reset, code 17
        const int from = rig.receivedCount();
        // Each write meets a fault, and the next command is stored while it waits.
        const auto hook = QObject::connect(&rig.sim, &Simulator::frameReceived, &rig.sim, [&](const QByteArray &f) {
            if (f == rtuFrame(1, 6, 1, 1)) {
                dev.setFault({FaultKind::Silence, 0, 1});
                QTest::mouseClick(rig.ui().HartOn, Qt::LeftButton);
            } else if (f == rtuFrame(1, 6, 24, 1)) {
                dev.setFault({FaultKind::BadCrc, 0, 1});
                QTest::mouseClick(rig.ui().btn3, Qt::LeftButton); // counters reset
            }
        });
        QVERIFY(rig.runPasses(5));
        QObject::disconnect(hook);
        QCOMPARE(rig.writesSince(from),
                 (QList<QByteArray>{rtuFrame(1, 6, 1, 1), rtuFrame(1, 6, 24, 1), rtuFrame(1, 6, 19, 0)}));
        const QStringList memo = PollRig::lines(rig.ui().Memo2);
        QVERIFY(memo.contains("TimeOuterror"));
        QVERIFY(std::any_of(memo.begin(), memo.end(), [](const QString &l) { return l.startsWith("CRCerror:  "); }));
        QCOMPARE(uint8_t(rig.state().commandSlot.take().command), uint8_t(0));
    }

    void configurationMarkWaitsForTheUsersCommand()
    {
        PollRig rig(40);
        Detector &dev = rig.device(1);
        dev.setRegister(sreg::ConfigMark, 1);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1});
        const int from = rig.receivedCount();
        const auto hook = QObject::connect(&rig.sim, &Simulator::frameReceived, &rig.sim, [&] {
            if (rig.receivedCount() - from == 1)
                QTest::mouseClick(rig.ui().Button17, Qt::LeftButton);
        });
        QVERIFY(rig.runPasses(5));
        QObject::disconnect(hook);
        QCOMPARE(rig.writesSince(from), (QList<QByteArray>{rtuFrame(1, 6, 1, 1), rtuFrame(1, 6, 17, 24679)}));
    }

    void chartSeriesAndAveragesAsPollingFeedsThem()
    {
        PollRig rig(40);
        Detector &dev = rig.device(1);
        for (auto [reg, value] : {std::pair{sreg::Uik, 400}, {sreg::Uuf, 800}, {sreg::IrThreshold, 600},
                                  {sreg::UvThreshold, 500}})
            dev.setRegister(reg, uint16_t(value));
        ChartWindow &chart = rig.window->chartWindow();
        QTest::mouseClick(rig.ui().Button6, Qt::LeftButton);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1});
        QVERIFY(rig.runPasses(3));
        // Two passes that read no status: the averages take the last sample again.
        dev.setFault({FaultKind::Silence, 0, 1});
        QVERIFY(rig.runPasses(1));
        QTest::mouseClick(rig.ui().Button17, Qt::LeftButton);
        QVERIFY(rig.runPasses(2)); // the command pass, then a status read
        QCOMPARE(chartValues(chart, 0), QList<int>(4, 400));          // ИК
        QCOMPARE(chartValues(chart, 1), QList<int>(4, 800));          // УФ
        QCOMPARE(chartValues(chart, 2), (QList<int>{0, 50, 100, 250})); // ИК_ср: 5 samples of 400 by the 4th reply
        QCOMPARE(chartValues(chart, 3), (QList<int>{0, 100, 200, 500})); // УФ_ср
        QCOMPARE(chartValues(chart, 4), (QList<int>{0, 600, 600, 600})); // thresholds held before each reply
        QCOMPARE(chartValues(chart, 5), (QList<int>{0, 500, 500, 500}));
    }

    // A full disk (here a file-size limit): the row the disk took only in
    // part is cut off again, and nothing of its reply reaches the reply log,
    // the grid, the lamps or the chart. Once there is room the next row
    // starts on a line of its own.
    void aLogRowThatCannotBeWrittenIsNotShown()
    {
        PollRig rig(40);
        rig.device(1).setRegister(sreg::Uik, 111);
        rig.device(1).setAlarmFlags(0x07); // every alarm lamp would change
        ChartWindow &chart = rig.window->chartWindow();
        QTest::mouseClick(rig.ui().Button6, Qt::LeftButton);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1});
        QTest::mouseClick(rig.ui().wf, Qt::LeftButton);
        const QList<QColor> lamps{lampColor(rig.ui().Shape3), lampColor(rig.ui().Shape4), lampColor(rig.ui().Shape5)};
        QSignalSpy reported(&rig.window->errors(), &ErrorReport::reported);
        // The file may grow to its header and a part of one row: that row fails with EFBIG.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit before{};
        getrlimit(RLIMIT_FSIZE, &before);
        rlimit small = before;
        small.rlim_cur = 47 + 10;
        setrlimit(RLIMIT_FSIZE, &small);
        const bool ended = rig.startPolling() && PollRig::waitFor([&] { return !rig.session.polling().running(); });
        setrlimit(RLIMIT_FSIZE, &before);
        QVERIFY(ended);
        QCOMPARE(reported.count(), 1);
        QCOMPARE(reported.first().first().toString(),
                 QStringLiteral("I/O error %1\n%2: %3").arg(EFBIG).arg(QFileInfo("dev1.txt").absoluteFilePath(), strerror(EFBIG)));
        QCOMPARE(logRows("dev1.txt").size(), 0);
        QCOMPARE(rig.statusLineCount(), 0);
        QVERIFY(rig.cell(1, 1).isEmpty());
        QCOMPARE((QList<QColor>{lampColor(rig.ui().Shape3), lampColor(rig.ui().Shape4), lampColor(rig.ui().Shape5)}), lamps);
        QVERIFY(chartValues(chart, 0).isEmpty());
        QCOMPARE(rig.ui().Button2->text(), QStringLiteral("Запрос"));

        QVERIFY(rig.runPasses(1));
        const QList<QByteArray> rows = logRows("dev1.txt");
        QCOMPARE(rows.size(), 1);
        QVERIFY2(QTime::fromString(QString::fromLatin1(rows[0].left(8)), "HH:mm:ss").isValid()
                     && rows[0].mid(8).startsWith("  111  ") && rows[0].endsWith("  \r"),
                 rows[0].constData());
        QCOMPARE(rig.cell(1, 1), QStringLiteral("111"));
        QCOMPARE(chartValues(chart, 0), QList<int>{111});
    }

    void realLineTimingConstants()
    {
        PollRig rig(PollRig::RealLineTiming);
        rig.device(1);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({9}); // nobody there
        QElapsedTimer clock;
        clock.start();
        QVERIFY(rig.runPasses(1));
        QVERIFY2(clock.elapsed() >= 531, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(rig.lastLine(rig.ui().Memo2), QStringLiteral("TimeOuterror"));
        rig.listOnly({1});
        const int since = rig.statusLineCount();
        QVERIFY(rig.runPasses(1));
        QCOMPARE(rig.statusLineCount(), since + 1);
    }
};

POLLRIG_TEST_MAIN(PollingRules)
#include "test_polling_rules.moc"
