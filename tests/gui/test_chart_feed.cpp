// The chart window fed by polling through the main window: the averaged
// curves, the averaging selectors, and the UV fault time written from the
// value dialog.
#include "chart/chartwindow.h"
#include "dialogs/uvfaulttimedialog.h"
#include "support/pollrig.h"
#include <QtTest>

class ChartFeed : public QObject {
    Q_OBJECT
private slots:
    void averagesClimbOnePassLateThenFollowTheSelector()
    {
        PollRig rig(40);
        rig.device(1).setRegister(sreg::Uik, 100);
        ChartWindow &chart = rig.window->chartWindow();
        QTest::mouseClick(rig.ui().Button6, Qt::LeftButton); // "График" is enabled at start
        QVERIFY(chart.chartShown);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1});
        QVERIFY(rig.runPasses(10));
        // Series3 "ИК_ср": the average over 8 samples from program start, as it
        // stood before each reply entered it.
        QCOMPARE(chartValues(chart, 0), QList<int>(10, 100));
        QCOMPARE(chartValues(chart, 2), (QList<int>{0, 12, 25, 38, 50, 62, 75, 88, 100, 100}));

        // Window 1 and a new level: the next pass plots the old average, the
        // one after it the new sample itself.
        auto *avik = chart.findChild<QComboBox *>("avik");
        avik->setCurrentIndex(avik->findText("1"));
        QCOMPARE(rig.state().irWindow, uint8_t(1));
        rig.sim.detector(1)->setRegister(sreg::Uik, 200);
        QVERIFY(rig.runPasses(2));
        QCOMPARE(chartValues(chart, 2).mid(10), (QList<int>{100, 200}));
    }

    void uvFaultTimeIsReadWhenTheCommandGoesOut()
    {
        PollRig rig(40);
        rig.device(1);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1});
        QTest::mouseDClick(rig.ui().lblT_UVFault, Qt::LeftButton);
        UvFaultTimeDialog &dialog = rig.window->uvFaultTimeDialog();
        QVERIFY(dialog.isVisible());
        QTest::keyClicks(dialog.edtNEW_DAT, "24");
        QTest::keyClick(dialog.edtNEW_DAT, Qt::Key_Return);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(uint8_t(rig.state().commandSlot.take().command), uint8_t(40));
        // Reopened, one more digit typed before any pass: that value is written.
        QTest::mouseDClick(rig.ui().lblT_UVFault, Qt::LeftButton);
        QCOMPARE(dialog.edtNEW_DAT->text(), QStringLiteral("24"));
        QTest::keyClicks(dialog.edtNEW_DAT, "8");
        const int from = rig.receivedCount();
        QVERIFY(rig.runPasses(1));
        QCOMPARE(rig.received(from).first(), rtuFrame(1, 6, 22, 248));
        QCOMPARE(rig.sim.detector(1)->reg(sreg::TUvFault), uint16_t(248));
        QCOMPARE(uint8_t(rig.state().commandSlot.take().command), uint8_t(0));
    }
};

POLLRIG_TEST_MAIN(ChartFeed)
#include "test_chart_feed.moc"
