// The main window driven through its real widgets against the simulator:
// control states, connect and disconnect, and closing the window while the
// line is busy.
#include "widgets/logview.h"
#include "support/mainrig.h"
#include "support/mainwindowstates.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

namespace {
const QString Connect = QStringLiteral("Соединить");
const QString Disconnect = QStringLiteral("Разъединить");
const QString NoSuchPort = QStringLiteral("Попытка открыть несуществующий COM-порт");
const QString BusyPort = QStringLiteral("Порт занят другой программой");
const QString NegativeInterval = QStringLiteral("Тайм-аут и задержка не могут быть отрицательными");

void setGoverned(MainRig &r, const QString &enabledNames)
{
    const QStringList on = enabledNames.split(u' ', Qt::SkipEmptyParts);
    for (const char *name : {"Button1", "Button5", "Button3", "Button2", "Button9", "Button7", "Button4",
                             "Button6", "chk1", "CheckBox3", "CheckBox4"})
        r.w(name)->setEnabled(on.contains(QLatin1String(name)));
}

// A log row: eight fields, each followed by two blanks, then CR LF; the
// readings are integers and the three alarm bits 0 or 1.
bool isLogRow(const QByteArray &line)
{
    if (!line.endsWith("  \r\n"))
        return false;
    const QStringList f = QString::fromLatin1(line.chopped(4)).split(QStringLiteral("  "));
    if (f.size() != 8 || f[0].isEmpty())
        return false;
    static const QRegularExpression integer(QStringLiteral("^-?[0-9]+$"));
    for (int i = 1; i <= 4; ++i)
        if (!integer.match(f[i]).hasMatch())
            return false;
    for (int i = 5; i <= 7; ++i)
        if (f[i] != u"0" && f[i] != u"1")
            return false;
    return true;
}

// Lines in the reply log.
int replyLines(MainRig &r) { return r.w<LogView>("Memo2")->blockCount(); }
} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        applyApplicationLook();
        // The windows close and open many times here; none of that ends the test.
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void controlTableOnTheWidgets()
    {
        MainRig r;
        QCOMPARE(r.enabledControls(), StartColumn);

        const QList<std::pair<int, QString>> columns{{1, State1}, {3, State3}, {4, State4},
                                                     {5, State5}, {6, State6}};
        for (const auto &[state, enabled] : columns) {
            for (const QString &before : {State4 + " Button1 Button5 Button3 Button9", QString()}) {
                setGoverned(r, before);
                r.form->applyControlState(int16_t(state));
                QVERIFY2(r.enabledControls() == enabled, qPrintable(QString::number(state)));
            }
        }
        // State 2 sets the buttons and leaves each check box as it was.
        for (const QString &boxes : {QStringLiteral("chk1 CheckBox3 CheckBox4"), QStringLiteral("CheckBox3"),
                                     QString()}) {
            setGoverned(r, "Button2 Button9 Button7 Button4 Button6 " + boxes);
            r.form->applyControlState(2);
            QCOMPARE(r.enabledControls(), (State2 + u' ' + boxes).trimmed());
        }
        // Codes outside the table change nothing.
        const QString mixed = QStringLiteral("Button5 Button2 Button7 chk1 CheckBox4");
        for (int16_t code : {0, 7, -1}) {
            setGoverned(r, mixed);
            r.form->applyControlState(code);
            QCOMPARE(r.enabledControls(), mixed);
        }
        // Only 1 enables the option controls.
        r.form->setOptionsEnabled(1);
        QVERIFY(r.optionsEnabled());
        r.form->setOptionsEnabled(2);
        QVERIFY(r.optionsDisabled());
        r.form->setOptionsEnabled(1);
        r.form->setOptionsEnabled(0);
        QVERIFY(r.optionsDisabled());
    }

    void controlStatesReachedByClicks()
    {
        MainRig r{247};
        r.connectToSim();
        QCOMPARE(r.enabledControls(), State3);

        const int before = replyLines(r);
        r.click("Button2"); // poll the one listed device
        QCOMPARE(r.caption("Button2"), QStringLiteral("Стоп"));
        QCOMPARE(r.enabledControls(), State4);
        QTRY_VERIFY(replyLines(r) > before);
        r.click("Button2");
        QCOMPARE(r.caption("Button2"), QStringLiteral("Запрос"));
        QTRY_VERIFY(!r.form->session().polling().running());
        QCOMPARE(r.enabledControls(), State3);

        r.setText("Edit1", "5");
        r.click("Button5");
        QCOMPARE(r.listedAddresses(), (QList<int>{247, 5}));
        QCOMPARE(r.enabledControls(), State3);
        r.click("Button2"); // two devices
        QCOMPARE(r.enabledControls(), State5);
        r.click("Button2");
        QTRY_VERIFY(!r.form->session().polling().running());
        QCOMPARE(r.enabledControls(), State3);

        r.click("Button3");
        QCOMPARE(r.caption("Button3"), QStringLiteral("Остановить"));
        QCOMPARE(r.enabledControls(), State6);
        r.click("Button3");
        QTRY_VERIFY(!r.form->session().busSearch().running());
        QCOMPARE(r.enabledControls(), State3);

        r.click("Button9");
        QCOMPARE(r.enabledControls(), State2);
        r.click("Button1");
        QCOMPARE(r.enabledControls(), State1);
        QCOMPARE(r.errors, QStringList());
    }

    void connectAndDisconnect()
    {
        MainRig r;
        r.connectToSim();
        QCOMPARE(r.errors, QStringList());
        QVERIFY(r.form->session().lineChannel().isOpen());
        QCOMPARE(r.form->session().lineChannel().portName(), r.sim.slavePath()); // the typed port, not COM1
        QCOMPARE(r.caption("Button1"), Disconnect);
        QVERIFY(r.optionsDisabled());
        QCOMPARE(r.listedAddresses(), QList<int>{247});
        QCOMPARE(r.gridRows(), 1);
        QCOMPARE(r.gridCell(1, 0), QStringLiteral("247"));
        QCOMPARE(r.sim.lineBaud(), 9600);
        QCOMPARE(r.form->session().state().baudCode, uint8_t(8));

        r.click("Button1");
        QCOMPARE(r.caption("Button1"), Connect);
        QVERIFY(!r.form->session().lineChannel().isOpen());
        QVERIFY(r.optionsEnabled());
        QCOMPARE(r.listedAddresses(), QList<int>{});
        QCOMPARE(r.gridRows(), 1);
        QCOMPARE(r.gridCell(1, 0), QString());
        QVERIFY(!r.form->session().state().devices.log(0).isOpen());
        QCOMPARE(r.fileBytes("dev247.txt"), logHeaderBytes());

        // The next connect starts dev247.txt afresh, at the speed chosen now.
        {
            QFile junk(r.path("dev247.txt"));
            QVERIFY(junk.open(QIODevice::Append));
            junk.write("junk\r\n14:00:00  1  2  3  4  0  0  0  \r\n");
        }
        r.w<QComboBox>("cb2")->setCurrentIndex(0);
        QCOMPARE(r.w<QComboBox>("cb2")->currentText(), QStringLiteral("1200"));
        r.click("Button1");
        QCOMPARE(r.errors, QStringList());
        QCOMPARE(r.caption("Button1"), Disconnect);
        QCOMPARE(r.sim.lineBaud(), 1200);
        QCOMPARE(r.form->session().state().baudCode, uint8_t(1));
        QVERIFY(!r.fileBytes("dev247.txt").contains("junk"));
        r.click("Button1");
        QCOMPARE(r.fileBytes("dev247.txt"), logHeaderBytes());
    }

    void portsThatCannotBeOpened()
    {
        MainRig r;
        r.w<QComboBox>("cb1")->setEditText(QStringLiteral("/dev/kalmir-none"));
        for (int attempt = 1; attempt <= 2; ++attempt) {
            r.click("Button1");
            QCOMPARE(r.errors, QStringList(attempt, NoSuchPort));
            QCOMPARE(r.caption("Button1"), Connect);
            QVERIFY(!r.form->session().lineChannel().isOpen());
            QCOMPARE(r.enabledControls(), StartColumn);
            QVERIFY(r.optionsEnabled());
            QCOMPARE(r.listedAddresses(), QList<int>{247});
            QCOMPARE(r.gridRows(), 1);
        }
        QVERIFY(r.form->findChild<QMessageBox *>(QStringLiteral("errorBox")));

        // Another program holds the simulator's port.
        r.errors.clear();
        LineChannel other;
        other.setPortName(r.sim.slavePath());
        other.open();
        r.connectToSim();
        QCOMPARE(r.errors, QStringList{BusyPort});
        QCOMPARE(r.caption("Button1"), Connect);
        QVERIFY(!r.form->session().lineChannel().isOpen());
        QCOMPARE(r.listedAddresses(), QList<int>{247});

        // Once it lets go, the same click connects.
        other.close();
        r.click("Button1");
        QCOMPARE(r.errors, QStringList{BusyPort});
        QVERIFY(r.form->session().lineChannel().isOpen());
        QCOMPARE(r.enabledControls(), State3);
    }

    void badTimeoutOrDelay_data()
    {
        QTest::addColumn<QString>("timeout");
        QTest::addColumn<QString>("delay");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("portLeftOpen");
        QTest::newRow("timeout not a number") << "abc" << "200" << notInteger("abc") << true;
        QTest::newRow("delay not a number") << "100" << "12x" << notInteger("12x") << true;
        QTest::newRow("empty delay") << "100" << "" << notInteger("") << true;
        QTest::newRow("negative timeout") << "-1" << "200" << NegativeInterval << false;
        QTest::newRow("negative delay") << "100" << "-200" << NegativeInterval << false;
    }

    void badTimeoutOrDelay()
    {
        QFETCH(QString, timeout);
        QFETCH(QString, delay);
        QFETCH(QString, message);
        QFETCH(bool, portLeftOpen);
        MainRig r;
        r.setText("Edit7", timeout);
        r.setText("Edit8", delay);
        r.connectToSim();
        QCOMPARE(r.errors, QStringList{message});
        QCOMPARE(r.form->session().lineChannel().isOpen(), portLeftOpen);
        QCOMPARE(r.caption("Button1"), portLeftOpen ? Disconnect : Connect);
        QVERIFY(r.optionsEnabled());
        QCOMPARE(r.enabledControls(), StartColumn);
        QCOMPARE(r.listedAddresses(), QList<int>{247});

        r.click("Button1");
        if (portLeftOpen) {
            // The half-made connection is taken down normally.
            QCOMPARE(r.caption("Button1"), Connect);
            QVERIFY(!r.form->session().lineChannel().isOpen());
            QCOMPARE(r.enabledControls(), State1);
            QCOMPARE(r.errors.size(), 1);
        } else {
            // Refused again, and nothing left half open.
            QCOMPARE(r.errors, QStringList(2, message));
            QVERIFY(!r.form->session().lineChannel().isOpen());
            r.setText("Edit7", "100");
            r.setText("Edit8", "200");
            r.click("Button1");
            QCOMPARE(r.errors.size(), 2);
            QVERIFY(r.form->session().lineChannel().isOpen());
            QCOMPARE(r.enabledControls(), State3);
            QCOMPARE(r.listedAddresses(), QList<int>{247});
        }
    }


    void closingTheWindow_data()
    {
        QTest::addColumn<QString>("activity");
        QTest::newRow("disconnected") << "none";
        QTest::newRow("connected, idle") << "idle";
        QTest::newRow("during a search") << "search";
        QTest::newRow("during polling") << "polling";
        QTest::newRow("after a failed open") << "failed open";
    }

    void closingTheWindow()
    {
        QFETCH(QString, activity);
        MainRig r{247};
        if (activity == "failed open") {
            r.w<QComboBox>("cb1")->setEditText(QStringLiteral("/dev/kalmir-none"));
            r.click("Button1");
            QCOMPARE(r.errors, QStringList{NoSuchPort});
            QVERIFY(r.form->session().state().devices.log(0).isOpen());
        } else if (activity != "none") {
            r.connectToSim();
            QVERIFY(r.form->session().lineChannel().isOpen());
        }
        if (activity == "search") {
            r.click("Button3");
            QTRY_VERIFY(r.w<QLineEdit>("edtserch")->text().startsWith(Progress));
        } else if (activity == "polling") {
            r.w<QCheckBox>("wf")->setChecked(true); // rows into dev247.txt
            r.click("Button2");
            QTRY_VERIFY(!r.gridCell(1, 1).isEmpty()); // a status shown, so a row written
        }
        const QStringList errorsBefore = r.errors;

        QVERIFY(r.form->close());
        QVERIFY(!r.form->isVisible());
        QVERIFY(!r.form->session().lineChannel().isOpen());
        QVERIFY(!r.form->session().state().devices.log(0).isOpen());
        QVERIFY(!r.form->session().state().devices.log(1).isOpen());
        QTRY_VERIFY(!r.form->session().busSearch().running() && !r.form->session().polling().running());
        QTest::qWait(100); // whatever the aborted exchange still had queued
        QCOMPARE(r.errors, errorsBefore);
        int visibleBoxes = 0;
        for (auto *box : r.form->findChildren<QMessageBox *>(QStringLiteral("errorBox")))
            visibleBoxes += box->isVisible();
        QCOMPARE(visibleBoxes, errorsBefore.size());

        if (activity == "none") {
            QCOMPARE(QDir(r.dir.path()).entryList(QDir::Files), QStringList());
        } else if (activity == "polling") {
            const QByteArray log = r.fileBytes("dev247.txt");
            QVERIFY(log.startsWith(logHeaderBytes()));
            const QList<QByteArray> rows = log.mid(logHeaderBytes().size()).split('\n');
            QVERIFY2(rows.size() >= 2, log.constData()); // at least one row, then the empty tail
            QCOMPARE(rows.last(), QByteArray());
            for (qsizetype i = 0; i + 1 < rows.size(); ++i)
                QVERIFY2(isLogRow(rows[i] + '\n'), rows[i].constData());
        } else {
            QCOMPARE(r.fileBytes("dev247.txt"), logHeaderBytes());
        }

        // The program ends: the window and its machinery go, with nothing left
        // to fire into them.
        r.form.reset();
        QTest::qWait(100);
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
