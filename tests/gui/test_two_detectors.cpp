// Two detectors on one line, through the window and the simulator: each keeps
// its own values, the chart shows and commands the detector chosen in it, the
// configuration mark goes to the detector that showed it wrong, a silent pass
// does not hold up the rotation, and a search that finds more detectors than
// the table holds names them.
#include "chart/chartwindow.h"
#include "support/pollrig.h"

#include <QComboBox>
#include <QSignalSpy>
#include <QtTest>

namespace {
QString field(ChartWindow &chart, const char *name)
{
    return chart.findChild<QLineEdit *>(name)->text();
}
} // namespace

class TwoDetectors : public QObject {
    Q_OBJECT
private slots:
    void eachKeepsItsOwnValuesAndTheChartCommandsItsOwn()
    {
        PollRig rig(40);
        Detector &one = rig.device(1);
        Detector &two = rig.device(2);
        for (auto [reg, v1, v2] : {std::tuple{sreg::Uik, 300, 700}, {sreg::Uuf, 310, 710}, {sreg::G42, 11, 22}})
            one.setRegister(reg, uint16_t(v1)), two.setRegister(reg, uint16_t(v2));
        one.setRegister(sreg::ConfigMark, 1); // only the first shows a wrong mark
        ChartWindow &chart = rig.window->chartWindow();
        QSignalSpy reported(&rig.window->errors(), &ErrorReport::reported);
        QTest::mouseClick(rig.ui().Button6, Qt::LeftButton); // "График"
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1, 2});
        auto *cbDevice = chart.findChild<QComboBox *>("cbDevice");
        QCOMPARE(cbDevice->count(), 2);
        QCOMPARE(chart.windowTitle(), QStringLiteral("График — прибор 1"));

        // Detector 1 has not answered: its calibration has no value and is refused, unsent.
        QTest::mouseClick(chart.findChild<QPushButton *>("Button6"), Qt::LeftButton); // "Калибровка УФ"
        const int from = rig.receivedCount();
        two.setFault({FaultKind::Silence, 0, 1});
        QVERIFY(rig.runPasses(6));
        QCOMPARE(reported.count(), 1);
        QVERIFY(reported.first().first().toString().startsWith("Прибор 1 еще не ответил"));
        // The silent pass moves on to detector 1; the mark detector 1 showed
        // wrong is written to it, not to detector 2 polled in between.
        QCOMPARE(rig.received(from), (QList<QByteArray>{rtuFrame(2, 3, 1, 24), rtuFrame(1, 3, 1, 24),
                                                        rtuFrame(2, 3, 1, 24), rtuFrame(1, 6, 17, 24679),
                                                        rtuFrame(2, 3, 1, 24), rtuFrame(1, 3, 1, 24)}));
        // Only detector 1 on the chart; its averages fed by its own four passes
        // (a refused one, two reads, a write) over the window of 8.
        QCOMPARE(chartValues(chart, 0), (QList<int>{300, 300}));
        QCOMPARE(chartValues(chart, 2), (QList<int>{0, 75}));
        QCOMPARE(field(chart, "Edit7"), QStringLiteral("11"));

        // Detector 2 chosen: its calibration waits for its pass and carries its own G_42.
        cbDevice->setCurrentIndex(1);
        emit cbDevice->activated(1);
        QCOMPARE(chart.windowTitle(), QStringLiteral("График — прибор 2"));
        QVERIFY(chartValues(chart, 0).isEmpty());
        QTest::mouseClick(chart.findChild<QPushButton *>("Button6"), Qt::LeftButton);
        const int next = rig.receivedCount();
        QVERIFY(rig.runPasses(4));
        QCOMPARE(rig.received(next), (QList<QByteArray>{rtuFrame(1, 3, 1, 24), rtuFrame(2, 6, 9, 22),
                                                        rtuFrame(1, 3, 1, 24), rtuFrame(2, 3, 1, 24)}));
        QCOMPARE(chartValues(chart, 0), QList<int>{700});
        QCOMPARE(chartValues(chart, 2), QList<int>{262}); // 0, 700, 700, 700 over 8
        QCOMPARE(field(chart, "Edit4"), QStringLiteral("700"));

        // The table changed under the chart: detector 1 is its one now, and
        // its curves start afresh rather than joining detector 2's.
        rig.listOnly({1});
        QCOMPARE(chart.windowTitle(), QStringLiteral("График"));
        QVERIFY(rig.runPasses(2));
        QCOMPARE(chartValues(chart, 0), (QList<int>{300, 300}));
    }

    void aFullTableNamesTheDetectorsItCannotHold()
    {
        PollRig rig(15);
        for (int a : {3, 7, 100, 200})
            rig.device(uint8_t(a));
        QSignalSpy reported(&rig.window->errors(), &ErrorReport::reported);
        QVERIFY(rig.connectPort(0));
        QTest::mouseClick(rig.ui().Button9, Qt::LeftButton); // "Очистить таблицу"
        QTest::mouseClick(rig.ui().Button3, Qt::LeftButton); // "Поиск"
        QVERIFY(PollRig::waitFor([&] { return !rig.session.busSearch().running(); }, 30000));
        QCOMPARE(rig.cell(1, 0), QStringLiteral("3"));
        QCOMPARE(rig.cell(2, 0), QStringLiteral("7"));
        const QStringList memo = PollRig::lines(rig.ui().Memo2);
        QVERIFY(memo.contains("Найден прибор 100: таблица заполнена"));
        QVERIFY(memo.contains("Найден прибор 200: таблица заполнена"));
        QCOMPARE(reported.count(), 1);
        QVERIFY(reported.first().first().toString().endsWith("100, 200"));
    }
};

POLLRIG_TEST_MAIN(TwoDetectors)
#include "test_two_detectors.moc"
