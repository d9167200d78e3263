// "Статистика связи" through the real window: two simulator detectors polled
// with spoiled replies, the window opened by Ctrl+I and from the device
// grid's menu, its rows checked against what the simulator received and did.
#include "dialogs/commstatswindow.h"
#include "support/pollrig.h"

#include <QPushButton>
#include <QTableWidget>
#include <array>

namespace {

QString text(const QTableWidget *t, int row, int col)
{
    const QTableWidgetItem *item = t->item(row, col);
    return item ? item->text() : QString();
}

QStringList cells(const QTableWidget *t, int row)
{
    QStringList out;
    for (int col = 0; col < t->columnCount(); ++col)
        out << text(t, row, col);
    return out;
}

QStringList numbers(std::initializer_list<int> values)
{
    QStringList out;
    for (int v : values)
        out << QString::number(v);
    return out;
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
        rig.sim.detector(1)->setFault({FaultKind::Truncate, 20, 1});
        rig.sim.detector(2)->setFault({FaultKind::Exception, 2, 2});
        QVERIFY(PollRig::waitFor([&] { return text(t, 1, 5).toInt() == 2 && text(t, 1, 2).toInt() >= 4; }));
        QVERIFY(rig.stopPolling());
        QVERIFY(rig.sim.detector(1)->fault().count == 0 && rig.sim.detector(2)->fault().count == 0);

        // Requests, good, time-outs, CRC errors, exceptions, unexpected; then the
        // round trips of good replies in order, far below a 150 ms time-out.
        for (const auto &[row, timeouts, crc, exceptions] : {std::array{0, 0, 3, 0}, std::array{1, 1, 0, 2}}) {
            const int requests = requestsTo(rig, uint8_t(row + 1));
            const int good = requests - timeouts - crc - exceptions;
            QCOMPARE(cells(t, row).mid(1, 6), numbers({requests, good, timeouts, crc, exceptions, 0}));
            QList<double> ms; // last, min, median, max
            for (const QString &c : cells(t, row).mid(7))
                ms << c.toDouble();
            QVERIFY2(0 < ms[1] && ms[1] <= ms[2] && ms[2] <= ms[3] && ms[1] <= ms[0] && ms[0] <= ms[3] && ms[3] < 150,
                     qPrintable(cells(t, row).join(' ')));
        }

        // "Сбросить": every count back to zero, no times yet.
        QTest::mouseClick(w.resetButton, Qt::LeftButton);
        for (int row = 0; row < 2; ++row)
            QCOMPARE(cells(t, row), numbers({row + 1, 0, 0, 0, 0, 0, 0}) + QStringList(4, "-"));

        // The device grid's context menu opens the closed window again.
        w.close();
        QVERIFY(rig.clickGridMenuItem(0));
        QVERIFY(PollRig::waitFor([&] { return w.isVisible(); }, 2000));

        // One more pass each, the first a write whose echo is a good reply;
        // then the rows follow the table as it is emptied and filled.
        const int from = rig.receivedCount();
        rig.session.requestCommand(Command::ResetFire);
        QVERIFY(rig.runPasses(2));
        QCOMPARE(uint8_t(rig.received(from).first()[1]), uint8_t(6));
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
