#include "session/averages.h"
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
            av.update(1, 1, sample, -sample);
            QCOMPARE(av.irAverage, sample);
            QCOMPARE(av.uvAverage, -sample);
            QCOMPARE(int(av.irPos), 0);
        }
    }

    void climbFromEmptyRing()
    {
        MovingAverages av;
        for (int expected : {12, 25, 38, 50, 62, 75, 88, 100, 100, 100}) {
            av.update(8, 1, 100, 40);
            QCOMPARE(av.irAverage, expected);
            QCOMPARE(av.uvAverage, 40); // the UV ring runs on its own window
        }
    }

    void negativeClimbRoundsTiesToEven()
    {
        MovingAverages av;
        for (int expected : {-12, -25, -38, -50, -62, -75, -88, -100}) {
            av.update(8, 8, -12, -100);
            QCOMPARE(av.uvAverage, expected);
        }
        QCOMPARE(av.irAverage, -12);
        MovingAverages one;
        one.update(8, 8, -12, 0); // -12 / 8 = -1.5
        QCOMPARE(one.irAverage, -2);
    }

    void enlargingTheWindowKeepsTheAverage()
    {
        MovingAverages av;
        for (int i = 0; i < 20; ++i)
            av.update(8, 8, 300, -300);
        QCOMPARE(av.irAverage, 300);
        for (int i = 0; i < 40; ++i) {
            av.update(16, 255, 300, -300);
            QCOMPARE(av.irAverage, 300);
            QCOMPARE(av.uvAverage, -300);
        }
    }

    void shrinkingMovesTheIndexBack()
    {
        MovingAverages av;
        for (int i = 0; i < 6; ++i)
            av.update(8, 8, 10, 10);
        QCOMPARE(int(av.irPos), 6);
        av.update(4, 8, 77, 10);
        QCOMPARE(int(av.irPos), 0);
        QCOMPARE(av.irHistory[0], 77);
        av.update(4, 8, 78, 10);
        QCOMPARE(int(av.irPos), 1);
    }

    void fullWindowWrapsTheIndex()
    {
        // With 255 slots nothing is filled beyond the window; the first sample
        // lands in slot 1 and slot 0 is reached only by the 255th.
        MovingAverages av;
        for (int i = 1; i <= 254; ++i)
            av.update(255, 255, 255, -255);
        QCOMPARE(int(av.irPos), 254);
        QCOMPARE(av.irAverage, 254); // slot 0 still empty
        QCOMPARE(av.uvAverage, -254);
        av.update(255, 255, 255, -255);
        QCOMPARE(int(av.irPos), 0);
        QCOMPARE(av.irAverage, 255);
        QCOMPARE(av.irHistory[255], 0); // never used

        MovingAverages extreme;
        for (int i = 0; i < 300; ++i)
            extreme.update(255, 255, 32767, -32768);
        QCOMPARE(extreme.irAverage, 32767);
        QCOMPARE(extreme.uvAverage, -32768);
    }

    void startWindowsAndMemberOverload()
    {
        MovingAverages av;
        QCOMPARE(int(av.irWindow), 8);
        QCOMPARE(int(av.uvWindow), 8);
        av.update(100, 100);
        QCOMPARE(av.irAverage, 12);
        av.irWindow = 1;
        av.update(100, 100);
        QCOMPARE(av.irAverage, 100);
        QCOMPARE(av.uvAverage, 25);
    }
};

QTEST_GUILESS_MAIN(TestAverages)
#include "test_averages.moc"
