// A pulled adapter that comes back: the simulator's line is dropped and
// reopened under the same link name while the window stays connected.
#include "support/pollrig.h"

#include <QSignalSpy>
#include <QtTest>

namespace {
int memo2LinesStarting(PollRig &rig, const QString &start)
{
    int n = 0;
    for (const QString &line : PollRig::lines(rig.ui().Memo2))
        n += line.startsWith(start) ? 1 : 0;
    return n;
}
} // namespace

class PortWatchTest : public QObject {
    Q_OBJECT
private slots:
    void pollingResumesWhenThePortIsBack()
    {
        PollRig rig;
        rig.device(1);
        QVERIFY(rig.sim.start(rig.dir.filePath("ttyUSB-link"))); // a stable name, as udev gives an adapter
        QVERIFY(rig.connectPort(5));
        rig.listOnly({1});
        QSignalSpy reported(&rig.window->errors(), &ErrorReport::reported);
        QVERIFY(rig.startPolling() && rig.waitForStatusLines(0, 2));

        rig.sim.dropLine(2500); // more than two looks of the watch find nothing
        QVERIFY(PollRig::waitFor([&] { return rig.session.awaitingPort(); }));
        QCOMPARE(memo2LinesStarting(rig, "Порт потерян "), 1);
        QVERIFY2(rig.idleStateMismatches(true).isEmpty(), qPrintable(rig.idleStateMismatches(true).join("; ")));
        QSignalSpy requests(&rig.sim, &Simulator::frameReceived);
        QVERIFY(PollRig::waitFor([&] { return requests.count() >= 2; }, 6000));
        QCOMPARE(reported.count(), 1);
        QCOMPARE(memo2LinesStarting(rig, "Порт снова открыт "), 1);
        QCOMPARE(rig.ui().Button2->text(), QStringLiteral("Стоп"));
        QVERIFY(rig.ui().Button2->isEnabled() && rig.ui().Button4->isEnabled() && !rig.ui().Button3->isEnabled());
        QVERIFY(rig.stopPolling());
    }

    void searchStaysEndedAndDisconnectOrCloseEndsTheWait()
    {
        PollRig rig;
        rig.device(1);
        QVERIFY(rig.sim.start(rig.dir.filePath("ttyUSB-link")));
        QVERIFY(rig.connectPort(0));
        QSignalSpy reported(&rig.window->errors(), &ErrorReport::reported);
        QTest::mouseClick(rig.ui().Button3, Qt::LeftButton);
        QVERIFY(PollRig::waitFor([&] { return rig.receivedCount() >= 2; }));
        rig.sim.dropLine(300);
        QVERIFY(PollRig::waitFor([&] { return rig.session.awaitingPort(); }));
        QVERIFY(PollRig::waitFor([&] { return rig.session.serialChannel().isOpen(); }, 5000));
        QSignalSpy requests(&rig.sim, &Simulator::frameReceived);
        QTest::qWait(500);
        QCOMPARE(requests.count(), 0);
        QCOMPARE(reported.count(), 1);
        QVERIFY2(rig.idleStateMismatches().isEmpty(), qPrintable(rig.idleStateMismatches().join("; ")));

        rig.sim.dropLine(300); // lost while idle, then "Разъединить"
        QVERIFY(PollRig::waitFor([&] { return rig.session.awaitingPort(); }));
        QTest::mouseClick(rig.ui().Button1, Qt::LeftButton);
        QVERIFY(PollRig::waitFor([&] { return rig.sim.isRunning(); }));
        QTest::qWait(1500);
        QVERIFY(!rig.session.serialChannel().isOpen() && !rig.session.awaitingPort());
        QCOMPARE(rig.ui().Button1->text(), QStringLiteral("Соединить"));
        QCOMPARE(reported.count(), 2);

        QVERIFY(rig.connectPort(0)); // lost again, and the window closes
        rig.sim.dropLine(300);
        QVERIFY(PollRig::waitFor([&] { return rig.session.awaitingPort(); }));
        rig.window->close();
        QVERIFY(!rig.session.awaitingPort());
    }
};

POLLRIG_TEST_MAIN(PortWatchTest)
#include "test_port_watch.moc"
