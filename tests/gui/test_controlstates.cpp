// Which main-window controls each control state enables: the table alone,
// applied to enabled flags held by name as the window applies it.
#include "main/controlstates.h"
#include <QMap>
#include <QtTest>

namespace {
const QStringList Governed{"Button1", "Button5", "Button3", "Button2", "Button9",  "Button7",
                           "Button4", "Button6", "chk1",    "CheckBox3", "CheckBox4"};

// Applies a column to enabled flags held by name, as the window does; returns
// the names left enabled.
QString applied(const ControlColumn &column, bool allEnabledBefore)
{
    QMap<QString, bool> enabled;
    for (const QString &n : Governed)
        enabled[n] = allEnabledBefore;
    for (int row = 0; row < GovernedControlCount; ++row)
        if (column[row] != Enable::Keep)
            enabled[ControlStateTable[row].name] = column[row] == Enable::On;
    QStringList on;
    for (const QString &n : Governed)
        if (enabled[n])
            on << n;
    return on.join(u' ');
}
} // namespace

class TestControlStates : public QObject {
    Q_OBJECT
private slots:
    void governedControlsByName()
    {
        QStringList names;
        for (const ControlRow &row : ControlStateTable)
            names << row.name;
        QCOMPARE(names, Governed);
    }

    void enabledControlsPerState_data()
    {
        // Applied to a window with every governed control enabled, and to one
        // with every one disabled: the controls a state keeps differ between the two.
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("fromAllOn");
        QTest::addColumn<QString>("fromAllOff");
        const QString start = "Button1 Button6 chk1 CheckBox3 CheckBox4";
        QTest::addRow("start") << 0 << start << start;
        QTest::addRow("1 disconnected") << 1 << "Button1" << "Button1";
        QTest::addRow("2 connected, empty")
            << 2 << "Button1 Button5 Button3 chk1 CheckBox3 CheckBox4" << "Button1 Button5 Button3";
        const QString idle = "Button1 Button5 Button3 Button2 Button9";
        QTest::addRow("3 idle") << 3 << idle << idle;
        const QString pollingOne = "Button2 Button7 Button4 Button6 chk1 CheckBox3 CheckBox4";
        QTest::addRow("4 polling one") << 4 << pollingOne << pollingOne;
        QTest::addRow("5 polling several") << 5 << "Button2" << "Button2";
        QTest::addRow("6 searching") << 6 << "Button3" << "Button3";
    }

    void enabledControlsPerState()
    {
        QFETCH(int, state);
        QFETCH(QString, fromAllOn);
        QFETCH(QString, fromAllOff);
        const auto column = state == 0 ? std::optional(startColumn()) : controlColumn(int16_t(state));
        QVERIFY(column);
        QCOMPARE(applied(*column, true), fromAllOn);
        QCOMPARE(applied(*column, false), fromAllOff);
    }

    void statesOutsideTheTable()
    {
        for (int state : {0, 7, -1, 255, -32768, 32767})
            QVERIFY2(!controlColumn(int16_t(state)), qPrintable(QString::number(state)));
    }

    void stateHelpers()
    {
        QCOMPARE(pollingState(1), ControlState::PollingOne);
        QCOMPARE(pollingState(2), ControlState::PollingMany);
        QCOMPARE(idleState(0), ControlState::ConnectedEmpty);
        QCOMPARE(idleState(1), ControlState::Idle);
        QCOMPARE(idleState(2), ControlState::Idle);
        QVERIFY(optionsEnabled(1) && !optionsEnabled(0) && !optionsEnabled(2));
    }
};

QTEST_GUILESS_MAIN(TestControlStates)
#include "test_controlstates.moc"
