// The main window's device table and bus search driven through its real
// widgets against the simulator: adding and clearing devices, log file
// errors, a search to the end, with a full list, and stopped mid-probe.
#include "widgets/lamp.h"
#include "support/mainrig.h"
#include "support/mainwindowstates.h"

#include <QLineEdit>
#include <QtTest>
#include <cerrno>
#include <cstring>

namespace {
const QColor Red(255, 0, 0);
const QColor White(255, 255, 255);

// Read time-out of the scans: a detector's reply must be in before it even
// when the machine is busy; each silent address costs it once.
constexpr int ScanReadMs = 50;
constexpr int ScanTimeoutMs = 60000;

QList<int> range(int from, int to)
{
    QList<int> out;
    for (int a = from; a <= to; ++a)
        out << a;
    return out;
}

QColor lamp(MainRig &r, const char *name) { return r.w<Lamp>(name)->color(); }
} // namespace

class TestMainWindowDevices : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        applyApplicationLook();
        // The windows close and open many times here; none of that ends the test.
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void addDevice()
    {
        MainRig r;
        r.connectToSim();
        r.click("Button9");
        QCOMPARE(r.enabledControls(), State2);

        r.setText("Edit1", "");
        r.click("Button5");
        QCOMPARE(r.listedAddresses(), QList<int>{});
        QCOMPARE(r.enabledControls(), State3);
        r.setText("Edit1", "256"); // 0, the broadcast address: never listed
        r.click("Button5");
        QCOMPARE(r.listedAddresses(), QList<int>{});

        r.setText("Edit1", "300");
        r.click("Button5");
        QCOMPARE(r.listedAddresses(), QList<int>{44});
        QCOMPARE(r.gridCell(1, 0), QStringLiteral("44"));
        r.setText("Edit1", "0x2C"); // 44 again
        r.click("Button5");
        QCOMPARE(r.listedAddresses(), QList<int>{44});
        QCOMPARE(r.gridRows(), 1);

        r.setText("Edit1", "-1");
        r.click("Button5");
        QCOMPARE(r.listedAddresses(), (QList<int>{44, 255}));
        QCOMPARE(r.gridRows(), 2);
        QCOMPARE(r.gridCell(2, 0), QStringLiteral("255"));

        r.setText("Edit1", "7"); // no room for a third
        r.click("Button5");
        QCOMPARE(r.listedAddresses(), (QList<int>{44, 255}));
        QCOMPARE(r.gridRows(), 2);
        QVERIFY(!QFile::exists(r.path("dev7.txt")));
        QCOMPARE(r.errors, QStringList());

        r.click("Button9");
        QCOMPARE(r.fileBytes("dev44.txt"), logHeaderBytes());
        QCOMPARE(r.fileBytes("dev255.txt"), logHeaderBytes());

        // A bad number stops the click before anything changes, the state included.
        r.setText("Edit1", "abc");
        r.click("Button5");
        QCOMPARE(r.errors, QStringList{notInteger("abc")});
        QCOMPARE(r.listedAddresses(), QList<int>{});
        QCOMPARE(r.enabledControls(), State2);
    }

    // A log name that is a link is not written through, and every file
    // error names its file and cause below the standard text.
    void logFileErrorsNameTheFile()
    {
        MainRig r;
        r.connectToSim();
        QTemporaryDir elsewhere;
        const QString precious = elsewhere.filePath("precious.txt");
        QFile f(precious);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("keep me") == 7);
        f.close();
        QVERIFY(QFile::link(precious, r.path("dev2.txt")));
        QVERIFY(QDir(r.dir.path()).mkdir("dev3.txt"));
        for (const char *address : {"2", "3"}) {
            r.setText("Edit1", address);
            r.click("Button5");
        }
        QCOMPARE(r.errors.size(), 2);
        QCOMPARE(r.errors[0], QStringLiteral("I/O error %1\n%2: %3").arg(ELOOP).arg(r.path("dev2.txt"), strerror(ELOOP)));
        QCOMPARE(r.errors[1], QStringLiteral("I/O error %1\n%2: %3").arg(EISDIR).arg(r.path("dev3.txt"), strerror(EISDIR)));
        QCOMPARE(r.listedAddresses(), QList<int>{247});
        QVERIFY(QFileInfo(r.path("dev2.txt")).isSymLink());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("keep me"));
    }

    void clearTable()
    {
        MainRig r{247};
        r.connectToSim();
        r.click("Button2");
        // The status display fills the rest of the device's row.
        QTRY_VERIFY(!r.gridCell(1, 1).isEmpty());
        r.click("Button2");
        QTRY_VERIFY(!r.form->session().polling().running());
        r.setText("Edit1", "5");
        r.click("Button5");
        QCOMPARE(r.gridRows(), 2);

        r.click("Button9");
        QCOMPARE(r.gridRows(), 1);
        for (int col = 0; col < 19; ++col)
            QVERIFY2(r.gridCell(1, col).isEmpty(), qPrintable(QString::number(col)));
        QCOMPARE(r.listedAddresses(), QList<int>{});
        QVERIFY(!r.form->session().state().devices.log(0).isOpen());
        QVERIFY(!r.form->session().state().devices.log(1).isOpen());
        QCOMPARE(r.fileBytes("dev247.txt"), logHeaderBytes());
        QCOMPARE(r.fileBytes("dev5.txt"), logHeaderBytes());
        QCOMPARE(r.enabledControls(), State2);
        QCOMPARE(r.errors, QStringList());
    }

    void searchFindsTheAnsweringAddresses()
    {
        MainRig r({5, 9}, ScanReadMs);
        // An exception reply with a good CRC is an answer too.
        r.sim.detector(9)->setFault({FaultKind::Exception, 0, -1});
        r.connectToSim();
        r.click("Button9");

        QStringList progress;
        QList<QColor> requestLamp;
        QObject::connect(r.w<QLineEdit>("edtserch"), &QLineEdit::textChanged, r.form.get(), [&](const QString &t) {
            if (!t.isEmpty()) {
                progress << t;
                requestLamp << lamp(r, "Shape1");
            }
        });
        r.click("Button3");
        QCOMPARE(r.caption("Button3"), QStringLiteral("Остановить"));
        QCOMPARE(r.enabledControls(), State6);
        QCOMPARE(lamp(r, "Shape1"), Red);
        QTRY_VERIFY_WITH_TIMEOUT(!r.form->session().busSearch().running(), ScanTimeoutMs);

        QCOMPARE(r.listedAddresses(), (QList<int>{5, 9}));
        QCOMPARE(r.gridCell(1, 0), QStringLiteral("5"));
        QCOMPARE(r.gridCell(2, 0), QStringLiteral("9"));
        QCOMPARE(r.fileBytes("dev5.txt"), logHeaderBytes());
        QCOMPARE(r.probedAddresses(), range(1, 247));
        QStringList expected;
        for (int a : range(1, 247))
            expected << Progress + QString::number(a);
        QCOMPARE(progress, expected);
        QCOMPARE(requestLamp, QList<QColor>(247, Red));

        QCOMPARE(r.caption("Button3"), QStringLiteral("Поиск"));
        QCOMPARE(r.w<QLineEdit>("edtserch")->text(), QString());
        QCOMPARE(lamp(r, "Shape1"), White);
        QCOMPARE(lamp(r, "Shape2"), White);
        QCOMPARE(r.enabledControls(), State3);
        QCOMPARE(r.errors, QStringList());
    }

    void searchWithAFullListProbesToTheEnd()
    {
        MainRig r({5, 9, 247}, ScanReadMs);
        r.connectToSim(); // lists 247
        r.click("Button3");
        QTRY_VERIFY_WITH_TIMEOUT(!r.form->session().busSearch().running(), ScanTimeoutMs);
        // 5 fills the list; 9 finds no room and 247 is listed already.
        QCOMPARE(r.listedAddresses(), (QList<int>{247, 5}));
        QCOMPARE(r.gridRows(), 2);
        QVERIFY(!QFile::exists(r.path("dev9.txt")));
        QCOMPARE(r.probedAddresses(), range(1, 247));
        QCOMPARE(r.enabledControls(), State3);
        // ...and is named at the end, not left out in silence.
        QCOMPARE(r.errors, QStringList{"Таблица заполнена, не внесены найденные приборы: 9"});
    }

    void stopLetsTheProbeInFlightFinish()
    {
        // The reply of address 2 takes 300 ms to come in, well inside the
        // read time-out, so the stop lands while that probe is in flight.
        MainRig r({2, 4}, 1500);
        r.sim.detector(2)->setFault({FaultKind::Slow, 300, -1});
        r.connectToSim();
        r.click("Button9");

        bool stopped = false;
        bool stillRunning = false;
        QString whileInFlight, captionInFlight;
        QObject::connect(&r.sim, &Simulator::frameReceived, r.form.get(), [&](const QByteArray &request) {
            if (stopped || uint8_t(request[0]) != 2)
                return;
            stopped = true;
            r.click("Button3");
            stillRunning = r.form->session().busSearch().running();
            whileInFlight = r.enabledControls();
            captionInFlight = r.caption("Button3");
            // Neither a new search nor polling may start under the probe.
            r.click("Button3");
            r.click("Button2");
        });
        r.click("Button3");
        QTRY_VERIFY_WITH_TIMEOUT(stopped, ScanTimeoutMs);
        QVERIFY(stillRunning);
        QCOMPARE(captionInFlight, QStringLiteral("Поиск"));
        for (const char *name : {"Button1", "Button2", "Button3", "Button5", "Button9"})
            QVERIFY2(!whileInFlight.split(u' ').contains(QLatin1String(name)), name);

        QTRY_VERIFY_WITH_TIMEOUT(!r.form->session().busSearch().running(), ScanTimeoutMs);
        QCOMPARE(r.listedAddresses(), QList<int>{2}); // the answer still counts
        QCOMPARE(r.enabledControls(), State3);
        QCOMPARE(r.caption("Button3"), QStringLiteral("Поиск"));
        QCOMPARE(r.caption("Button2"), QStringLiteral("Запрос"));
        QVERIFY(!r.form->session().polling().running());
        QCOMPARE(r.w<QLineEdit>("edtserch")->text(), QString());
        QCOMPARE(lamp(r, "Shape1"), White);
        QCOMPARE(lamp(r, "Shape2"), White);
        // Nothing is probed after the stopped address.
        QTest::qWait(300);
        QCOMPARE(r.probedAddresses(), (QList<int>{1, 2}));
        QCOMPARE(r.errors, QStringList());
    }
};

QTEST_MAIN(TestMainWindowDevices)
#include "test_mainwindow_devices.moc"
