#include "chart/averages.h"
#include <QtTest>

class TestAverages : public QObject {
    Q_OBJECT
private slots:
    void roundingHalfToEven()
    {
        const struct { double value; int rounded; } cases[] = {
            {0.5, 0},    {1.5, 2},     {2.5, 2},     {12.5, 12},    {37.5, 38}, {-0.5, 0},
            {-1.5, -2},  {-2.5, -2},   {2.4999, 2},  {2.5001, 3},   {-2.6, -3}, {3.0, 3},
        };
        for (const auto &c : cases)
            QVERIFY2(roundHalfEven(c.value) == c.rounded, qPrintable(QString::number(c.value)));
    }

    void windowOfOneFollowsTheSignal()
    {
        MovingAverages av;
        for (int sample : {100, -7, 32767, -32768, 0}) {
            av.calc_av(1, 1, sample, -sample);
            QCOMPARE(av.IrAverage, sample);
            QCOMPARE(av.UvAverage, -sample);
            QCOMPARE(int(av.IrPos), 0);
        }
    }

    void climbFromEmptyRing()
    {
        MovingAverages av;
        for (int expected : {12, 25, 38, 50, 62, 75, 88, 100, 100, 100}) {
            av.calc_av(8, 1, 100, 40);
            QCOMPARE(av.IrAverage, expected);
            QCOMPARE(av.UvAverage, 40); // the UV ring runs on its own window
        }
    }

    void negativeClimbRoundsTiesToEven()
    {
        MovingAverages av;
        for (int expected : {-12, -25, -38, -50, -62, -75, -88, -100}) {
            av.calc_av(8, 8, -12, -100);
            QCOMPARE(av.UvAverage, expected);
        }
        QCOMPARE(av.IrAverage, -12);
        MovingAverages one;
        one.calc_av(8, 8, -12, 0); // -12 / 8 = -1.5
        QCOMPARE(one.IrAverage, -2);
    }

    void enlargingTheWindowKeepsTheAverage()
    {
        MovingAverages av;
        for (int i = 0; i < 20; ++i)
            av.calc_av(8, 8, 300, -300);
        QCOMPARE(av.IrAverage, 300);
        for (int i = 0; i < 40; ++i) {
            av.calc_av(16, 255, 300, -300);
            QCOMPARE(av.IrAverage, 300);
            QCOMPARE(av.UvAverage, -300);
        }
    }

    void shrinkingMovesTheIndexBack()
    {
        MovingAverages av;
        for (int i = 0; i < 6; ++i)
            av.calc_av(8, 8, 10, 10);
        QCOMPARE(int(av.IrPos), 6);
        av.calc_av(4, 8, 77, 10);
        QCOMPARE(int(av.IrPos), 0);
        QCOMPARE(av.IrHistory[0], 77);
        av.calc_av(4, 8, 78, 10);
        QCOMPARE(int(av.IrPos), 1);
    }

    void fullWindowWrapsTheIndex()
    {
        // With 255 slots nothing is filled beyond the window; the first sample
        // lands in slot 1 and slot 0 is reached only by the 255th.
        MovingAverages av;
        for (int i = 1; i <= 254; ++i)
            av.calc_av(255, 255, 255, -255);
        QCOMPARE(int(av.IrPos), 254);
        QCOMPARE(av.IrAverage, 254); // slot 0 still empty
        QCOMPARE(av.UvAverage, -254);
        av.calc_av(255, 255, 255, -255);
        QCOMPARE(int(av.IrPos), 0);
        QCOMPARE(av.IrAverage, 255);
        QCOMPARE(av.IrHistory[255], 0); // never used

        MovingAverages extreme;
        for (int i = 0; i < 300; ++i)
            extreme.calc_av(255, 255, 32767, -32768);
        QCOMPARE(extreme.IrAverage, 32767);
        QCOMPARE(extreme.UvAverage, -32768);
    }

    void startWindowsAndMemberOverload()
    {
        MovingAverages av;
        QCOMPARE(int(av.IrWindow), 8);
        QCOMPARE(int(av.UvWindow), 8);
        av.calc_av(100, 100);
        QCOMPARE(av.IrAverage, 12);
        av.IrWindow = 1;
        av.calc_av(100, 100);
        QCOMPARE(av.IrAverage, 100);
        QCOMPARE(av.UvAverage, 25);
    }
};

QTEST_GUILESS_MAIN(TestAverages)
#include "test_averages.moc"
