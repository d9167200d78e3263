// "Статистика связи" through the real window: two simulator detectors polled
// with spoiled replies, the window opened by Ctrl+I and from the device
// grid's menu, its rows checked against what the simulator received and did.
#include "dialogs/commstatswindow.h"
#include "support/pollrig.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>

namespace {

QString text(const QTableWidget *t, int row, int col)
{
    const QTableWidgetItem *item = t->item(row, col);
    return item ? item->text() : QString();
}

int requestsTo(const PollRig &rig, uint8_t address)
{
    int n = 0;
    for (const QByteArray &f : rig.received())
        n += uint8_t(f[0]) == address ? 1 : 0;
    return n;
}

} // namespace

class CommStatsTest : public QObject {
    Q_OBJECT
private slots:
    void countsEachDevicesExchangesLiveAndResets()
    {
        PollRig rig(150);
        rig.device(1);
        rig.device(2);
        QVERIFY(rig.connectPort(0));
        rig.listOnly({1, 2});

        rig.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
        QTest::keyClick(rig.window.get(), Qt::Key_I, Qt::ControlModifier);
        CommStatsWindow &w = rig.window->commStatsWindow();
        QVERIFY(w.isVisible());
        QCOMPARE(w.objectName(), QStringLiteral("CommStats"));
        QCOMPARE(w.windowTitle(), QStringLiteral("Статистика связи"));
        QTableWidget *t = w.table;
        QCOMPARE(t->rowCount(), 2);
        QCOMPARE(text(t, 0, 0), QStringLiteral("1"));
        QCOMPARE(text(t, 1, 0), QStringLiteral("2"));

        // Device 1: two bad CRCs, then a cut reply; device 2: a silence, then two exceptions.
        rig.sim.detector(1)->setFault({FaultKind::BadCrc, 0, 2});
        rig.sim.detector(2)->setFault({FaultKind::Silence, 0, 1});
        QVERIFY(rig.startPolling());
        // Live: the open window follows the passes while polling runs.
        QVERIFY(PollRig::waitFor([&] { return text(t, 1, 2).toInt() >= 2; }));
        QVERIFY(rig.session.polling().isActive());
        rig.sim.detector(1)->setFault({FaultKind::Truncate, 20, 1});
        rig.sim.detector(2)->setFault({FaultKind::Exception, 2, 2});
        QVERIFY(PollRig::waitFor([&] { return text(t, 1, 5).toInt() == 2 && text(t, 1, 2).toInt() >= 4; }));
        QVERIFY(rig.stopPolling());
        QCOMPARE(rig.sim.detector(1)->fault().count, 0);
        QCOMPARE(rig.sim.detector(2)->fault().count, 0);

        // Requests, good, time-outs, CRC errors, exceptions, unexpected.
        struct Expect {
            int row, timeouts, crc, exceptions;
        };
        for (const Expect &e : {Expect{0, 0, 3, 0}, Expect{1, 1, 0, 2}}) {
            const int requests = requestsTo(rig, uint8_t(e.row + 1));
            const QString at = QStringLiteral("row %1").arg(e.row);
            QCOMPARE(text(t, e.row, 1).toInt(), requests);
            QCOMPARE(text(t, e.row, 2).toInt(), requests - e.timeouts - e.crc - e.exceptions);
            QCOMPARE(QList<int>({text(t, e.row, 3).toInt(), text(t, e.row, 4).toInt(), text(t, e.row, 5).toInt(),
                                 text(t, e.row, 6).toInt()}),
                     QList<int>({e.timeouts, e.crc, e.exceptions, 0}));
            // Round trips of good replies: last, min, median, max in order and
            // far below the 150 ms that a time-out takes.
            bool ok[4];
            const double last = text(t, e.row, 7).toDouble(&ok[0]), min = text(t, e.row, 8).toDouble(&ok[1]),
                         median = text(t, e.row, 9).toDouble(&ok[2]), max = text(t, e.row, 10).toDouble(&ok[3]);
            QVERIFY2(ok[0] && ok[1] && ok[2] && ok[3], qPrintable(at));
            QVERIFY2(0 < min && min <= median && median <= max && min <= last && last <= max && max < 150,
                     qPrintable(at + QStringLiteral(": %1 %2 %3 %4").arg(last).arg(min).arg(median).arg(max)));
        }
        const QStringList row1 = rig.state().stats.row(1);
        for (int col = 0; col < t->columnCount(); ++col)
            QCOMPARE(text(t, 0, col), row1[col]);

        // "Сбросить": every count back to zero, no times yet.
        QTest::mouseClick(w.resetButton, Qt::LeftButton);
        for (int row = 0; row < 2; ++row) {
            QCOMPARE(text(t, row, 0), QString::number(row + 1));
            for (int col = 1; col < 7; ++col)
                QCOMPARE(text(t, row, col), QStringLiteral("0"));
            QCOMPARE(text(t, row, 9), QStringLiteral("-"));
        }

        // The device grid's context menu opens the closed window again.
        w.close();
        QVERIFY(!w.isVisible());
        QTableWidget *grid = rig.ui().sg1;
        const QPoint at(10, 10);
        QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, at, grid->viewport()->mapToGlobal(at));
        QApplication::sendEvent(grid->viewport(), &menuEvent);
        auto *menu = rig.window->findChild<QMenu *>(QStringLiteral("sg1Menu"));
        QVERIFY(menu && menu->isVisible());
        QCOMPARE(menu->actions().size(), 1);
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(menu->actions().first()).center());
        QVERIFY(PollRig::waitFor([&] { return w.isVisible(); }, 2000));

        // One more pass each, then the rows follow the table as it is emptied and filled.
        QVERIFY(rig.runPasses(2));
        QCOMPARE(text(t, 0, 1), QStringLiteral("1"));
        QCOMPARE(text(t, 1, 2), QStringLiteral("1"));
        QTest::mouseClick(rig.ui().Button9, Qt::LeftButton);
        QCOMPARE(t->rowCount(), 0);
        rig.listOnly({2}); // listed again: its counts were kept
        QVERIFY(PollRig::waitFor([&] { return t->rowCount() == 1; }, 2000));
        QCOMPARE(text(t, 0, 0) + text(t, 0, 2), QStringLiteral("21"));
    }
};

POLLRIG_TEST_MAIN(CommStatsTest)
#include "test_commstats.moc"
