// The start options of kalmir: parsed without a display, refused with exit
// code 2, and applied by the real program against the simulator.
#include "app/startoptions.h"
#include "support/simprocess.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {
struct Run {
    int exitCode = -1;
    QString out, err;
};

Run runKalmir(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(KALMIR_APP_BIN), args);
    Run r;
    if (!p.waitForFinished(10000))
        return r;
    r.exitCode = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}
} // namespace

class TestStartOptions : public QObject {
    Q_OBJECT
private slots:
    void parsesWhatAShortcutGives()
    {
        const auto r = parseStartOptions({"kalmir", "--port=/dev/ttyUSB0", "--speed", "19200", "--device", "5",
                                          "--device=5", "--device", "2", "--connect", "--poll", "--chart", "--log"});
        QVERIFY2(r.options, qPrintable(r.error));
        QCOMPARE(*r.options->port, QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(*r.options->speed, 19200);
        QCOMPARE(r.options->devices, (QList<uint8_t>{5, 2}));
        QVERIFY(r.options->connect && r.options->poll && r.options->chart && r.options->log);
        const auto none = parseStartOptions({"kalmir"});
        QVERIFY(none.options && !none.options->port && !none.options->connect && none.options->devices.isEmpty());
    }

    void refusesBadOptionsWithCode2()
    {
        const QList<QStringList> bad{{"--speed", "1234"}, {"--speed", "fast"}, {"--device", "0", "--connect"},
                                     {"--device", "248", "--connect"}, {"--device=1", "--device=2", "--device=3", "--connect"},
                                     {"--device", "1"}, {"--poll"}, {"--port"}, {"--bogus"}, {"stray"}, {"--log=yes"}};
        for (const QStringList &args : bad) {
            const Run r = runKalmir(args);
            QVERIFY2(r.exitCode == 2, qPrintable(args.join(' ')));
            QVERIFY2(r.err.startsWith(QLatin1String("kalmir: ")) && r.out.isEmpty(), qPrintable(r.err));
        }
        QVERIFY(runKalmir({"--speed", "1234"}).err.contains(QStringLiteral("скорость \"1234\"")));

        const Run help = runKalmir({"--help"});
        QCOMPARE(help.exitCode, 0);
        for (const char *word : {"--port", "--speed", "--device", "--connect", "--poll", "--chart", "--log", "--version"})
            QVERIFY2(help.out.contains(QLatin1String(word)), word);
        QVERIFY(help.out.contains(QStringLiteral("\"Соединить\"")) && help.out.contains(QStringLiteral("\"Запись в файл\"")));
        const Run version = runKalmir({"--version"});
        QCOMPARE(version.exitCode, 0);
        QCOMPARE(version.out, QStringLiteral("kalmir " KALMIR_VERSION "\n"));
    }

    // A shortcut's command line: the program connects at the given speed,
    // lists the given detector (not 247), polls it and writes its log.
    void connectsListsPollsAndLogs()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("port"));
        const QString wire = dir.filePath(QStringLiteral("wire.log"));
        SimProcess sim({"--link", link, "--device", "2:19200", "--log", wire});
        QVERIFY2(sim.start(), sim.errorOutput().constData());

        QProcess kalmir;
        kalmir.setWorkingDirectory(dir.path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        kalmir.setProcessEnvironment(env);
        kalmir.start(QStringLiteral(KALMIR_APP_BIN), {"--port", link, "--speed", "19200", "--device", "2", "--connect",
                                                       "--poll", "--chart", "--log"});
        QFile log(wire);
        const auto count = [&](const char *frame) { return log.readAll().count(frame); };
        int statusReads = 0;
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(QTest::qWaitFor([&] { return (statusReads += count(" RX 02 03 00 01 00 18 ")) >= 3; }, 10000));
        kalmir.kill();
        QVERIFY(kalmir.waitForFinished(5000));

        log.seek(0);
        const QByteArray all = log.readAll();
        QVERIFY(!all.contains(" RX F7 ")); // 247 was cleared from the table
        // Rows are written only for replies, and the detector answers only at its speed.
        QFile devLog(dir.filePath(QStringLiteral("dev2.txt")));
        QVERIFY(devLog.open(QIODevice::ReadOnly));
        QVERIFY2(devLog.readAll().count("\r\n") >= 2, "no status rows logged"); // header + rows
        QVERIFY(sim.terminate());
    }
};

QTEST_GUILESS_MAIN(TestStartOptions)
#include "test_startoptions.moc"
