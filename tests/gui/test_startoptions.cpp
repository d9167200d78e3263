// The start options of the real program: refused with exit code 2 without a
// display, and applied in the window against the simulator.
#include "support/simprocess.h"

#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <sys/resource.h>

namespace {
struct Run {
    int exitCode = -1;
    QString out, err;
};

Run runKalmir(const QStringList &args, const QString &workDir = {})
{
    QProcess p;
    p.setWorkingDirectory(workDir);
    p.start(QStringLiteral(KALMIR_APP_BIN), args);
    if (!p.waitForFinished(10000))
        return {};
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}
} // namespace

class TestStartOptions : public QObject {
    Q_OBJECT
private slots:
    void refusesBadOptionsWithCode2()
    {
        // Each refusal names what was wrong.
        const QList<QPair<QStringList, QString>> bad{
            {{"--speed", "1234"}, "\"1234\""}, {{"--speed", "fast"}, "\"fast\""},
            {{"--device", "0", "--connect"}, "1..247"}, {{"--device", "248", "--connect"}, "\"248\""},
            {{"--device=1", "--device=2", "--device=3", "--connect"}, "не более 2"},
            {{"--device", "1"}, "--connect"}, {{"--poll"}, "--connect"}, {{"--port"}, "нет значения"},
            {{"--port", "tcp://127.0.0.1"}, "tcp://УЗЕЛ:ПОРТ"},
            {{"--port", "--connect"}, "--connect"}, {{"--speed=--poll"}, "--poll"},
            {{"--bogus"}, "--bogus"}, {{"stray"}, "stray"}, {{"--log=yes"}, "--log"},
            {{"--quit-after", "0"}, "1..86400"}, {{"--shots", "d"}, "--quit-after"}};
        for (const auto &[args, fragment] : bad) {
            const Run r = runKalmir(args);
            QVERIFY2(r.exitCode == 2 && r.out.isEmpty() && r.err.startsWith(QLatin1String("kalmir: ")) && r.err.contains(fragment),
                     qPrintable(args.join(' ') + QStringLiteral(": ") + r.err));
        }
        const Run help = runKalmir({"--help"});
        QCOMPARE(help.exitCode, 0);
        for (const QString word : {"--port ИМЯ", "--speed БОД", "--device АДРЕС", "--connect", "\"Соединить\"", "--poll",
                                   "\"Запрос\"", "--chart", "--log", "\"Запись в файл\"", "--version", "--quit-after СЕК",
                                   "--shots ПАПКА"})
            QVERIFY2(help.out.contains(word), qPrintable(word));
        QCOMPARE(runKalmir({"--version"}).out, QStringLiteral("kalmir " KALMIR_VERSION "\n"));
    }

    // Nobody watches an unattended run: a port that does not open ends it
    // at once with the error on stderr and exit code 1; a file-size limit
    // fails the row (EFBIG) instead of killing the program, the message
    // names the file, and the log keeps whole rows only.
    void unattendedRunsReportTheirFailures()
    {
        QTemporaryDir dir;
        QElapsedTimer clock;
        clock.start();
        const Run noPort = runKalmir({"--port", "/nonexist", "--device", "7", "--connect", "--poll", "--quit-after", "5"},
                                     dir.path());
        QVERIFY2(noPort.exitCode == 1 && clock.elapsed() < 4000, qPrintable(noPort.err));
        QVERIFY2(noPort.err.contains("kalmir: Попытка открыть несуществующий COM-порт") && noPort.out.isEmpty(),
                 qPrintable(noPort.out + noPort.err));

        const QString link = dir.filePath(QStringLiteral("port"));
        SimProcess sim({"--link", link, "--device", "1"});
        QVERIFY2(sim.start(), sim.errorOutput().constData());
        QProcess kalmir;
        kalmir.setWorkingDirectory(dir.path());
        kalmir.setChildProcessModifier([] {
            const rlimit headerAndAPart{47 + 60, RLIM_INFINITY}; // a row is 33 bytes or more
            setrlimit(RLIMIT_FSIZE, &headerAndAPart);
        });
        kalmir.start(QStringLiteral(KALMIR_APP_BIN),
                     {"--port", link, "--device", "1", "--connect", "--poll", "--log", "--quit-after", "3"});
        QVERIFY(kalmir.waitForFinished(10000));
        const QString err = QString::fromUtf8(kalmir.readAllStandardError());
        QVERIFY2(kalmir.exitStatus() == QProcess::NormalExit, "killed by a signal");
        QVERIFY2(err.contains(QStringLiteral("kalmir: I/O error %1\n%2: ").arg(EFBIG).arg(dir.filePath("dev1.txt"))),
                 qPrintable(err));
        QFile devLog(dir.filePath(QStringLiteral("dev1.txt")));
        QVERIFY(devLog.open(QIODevice::ReadOnly));
        const QByteArray bytes = devLog.readAll();
        QVERIFY2(bytes.count("\r\n") == 2 && bytes.endsWith("\r\n"), bytes.constData()); // the header and one row
        QVERIFY(sim.terminate());
    }

    // A shortcut's command line: the program connects at the given speed,
    // lists the given detector (not 247), polls it and writes its log.
    void connectsListsPollsAndLogs()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("port"));
        QFile wire(dir.filePath(QStringLiteral("wire.log")));
        SimProcess sim({"--link", link, "--device", "2:19200", "--log", wire.fileName()});
        QVERIFY2(sim.start(), sim.errorOutput().constData());
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QProcess kalmir;
        kalmir.setWorkingDirectory(dir.path());
        kalmir.start(QStringLiteral(KALMIR_APP_BIN), {"--port", link, "--speed=19200", "--device", "2", "--device=2",
                                                       "--connect", "--poll", "--chart", "--log", "--quit-after",
                                                       "3", "--shots", "shots"});
        QVERIFY(wire.open(QIODevice::ReadOnly));
        QVERIFY(QTest::qWaitFor([&] { return wire.seek(0) && wire.readAll().count(" RX 02 03 00 01 00 18 ") >= 3; }, 10000));
        // --quit-after: the statistics on stdout, the pictures saved, exit 0.
        QVERIFY(kalmir.waitForFinished(10000));
        QCOMPARE(kalmir.exitCode(), 0);
        const QStringList stats = QString::fromUtf8(kalmir.readAllStandardOutput()).split(u'\n');
        QVERIFY2(stats.size() >= 3 && stats[0] == QStringLiteral("Статистика связи"), qPrintable(stats.join('|')));
        const QStringList row = stats[2].simplified().split(u' ');
        QVERIFY2(row.size() == 11 && row[0] == "2" && row[1].toInt() >= 3 && row[2].toInt() >= row[1].toInt() - 1
                     && row.mid(3, 4) == QStringList({"0", "0", "0", "0"}),
                 qPrintable(stats[2]));
        QCOMPARE(QImage(dir.filePath("shots/mainform.png")).size(), QSize(873, 416));
        QVERIFY(!QImage(dir.filePath("shots/chart.png")).isNull() && !QImage(dir.filePath("shots/commstats.png")).isNull());
        QVERIFY(wire.seek(0) && !wire.readAll().contains(" RX F7 ")); // 247 was cleared from the table
        // Rows are written only for replies, and the detector answers only at its speed.
        QFile devLog(dir.filePath(QStringLiteral("dev2.txt")));
        QVERIFY(devLog.open(QIODevice::ReadOnly) && devLog.readAll().count("\r\n") >= 2); // header + rows
        QVERIFY(sim.terminate());
    }
};

QTEST_GUILESS_MAIN(TestStartOptions)
#include "test_startoptions.moc"
