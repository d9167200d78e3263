#include "session/devicelog.h"
#include <QtTest>
#include <cerrno>
#include <unistd.h>

namespace {
// The header line as Windows-1251 bytes, word by word.
const QByteArray HeaderBytes = QByteArray::fromHex("c2f0e5ecff20202020" // "Время    "
                                                   "55e8ea2020"         // "Uик  "
                                                   "55f3f42020"         // "Uуф  "
                                                   "55eae72020"         // "Uкз  "
                                                   "55f22020"           // "Uт  "
                                                   "cfeee6e0f020"       // "Пожар "
                                                   "c0e2e0f0e8ff20"     // "Авария "
                                                   "ca2ec72e")          // "К.З."
                               + "\r\n";

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// The standard text of the error an action raises (its first line; the
// second names the file and the cause).
QString errorOf(const std::optional<Failure> &failure)
{
    return failure ? windowText(*failure).section(u'\n', 0, 0) : QStringLiteral("<no error>");
}
} // namespace

class TestDeviceLog : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString file(const char *name) const { return dir.filePath(name); }

private slots:
    void init() { QVERIFY(dir.isValid()); }

    void headerAndRowsAreOnDiskAtOnce()
    {
        QCOMPARE(DeviceLog::Header.size(), 45);
        DeviceLog log;
        log.open(file("dev5.txt"));
        QVERIFY(log.isOpen());
        // A second reader sees every line while the log is still open.
        QCOMPARE(contents(file("dev5.txt")), HeaderBytes);
        log.writeRow(QStringLiteral("14:03:27"), 512, 498, 120, 235, false, false, true);
        QCOMPARE(contents(file("dev5.txt")), HeaderBytes + "14:03:27  512  498  120  235  0  0  1  \r\n");
        log.writeRow(QStringLiteral("14:03:28"), -7, -32768, 0, -5, true, true, false);
        log.close();
        QVERIFY(!log.isOpen());
        QCOMPARE(contents(file("dev5.txt")), HeaderBytes + "14:03:27  512  498  120  235  0  0  1  \r\n"
                                                 + "14:03:28  -7  -32768  0  -5  1  1  0  \r\n");
    }

    void rowWithSystemTime()
    {
        DeviceLog log; // main() fixes a Russian system locale: 24-hour time, no zone
        log.open(file("dev2.txt"));
        log.writeRow(QTime(9, 5, 1), 1, 2, 3, 4, true, false, false);
        log.close();
        QCOMPARE(contents(file("dev2.txt")), HeaderBytes + "09:05:01  1  2  3  4  1  0  0  \r\n");
    }

    void reopeningEmptiesTheFile()
    {
        DeviceLog log;
        log.open(file("dev247.txt"));
        log.writeRow(QStringLiteral("10:00:00"), 1, 1, 1, 1, false, false, false);
        log.close();
        log.open(file("dev247.txt"));
        QCOMPARE(contents(file("dev247.txt")), HeaderBytes);
        // Opening an open log moves it to the new file.
        log.open(file("dev9.txt"));
        log.writeRow(QStringLiteral("10:00:02"), 3, 3, 3, 3, false, false, false);
        QCOMPARE(contents(file("dev247.txt")), HeaderBytes);
        QCOMPARE(contents(file("dev9.txt")), HeaderBytes + "10:00:02  3  3  3  3  0  0  0  \r\n");
    }

    void closedLogTakesNoRows()
    {
        DeviceLog log;
        log.open(file("dev3.txt"));
        log.close();
        log.close(); // harmless
        log.writeRow(QStringLiteral("10:00:00"), 1, 1, 1, 1, true, true, true);
        QCOMPARE(contents(file("dev3.txt")), HeaderBytes);
    }

    void openErrors()
    {
        DeviceLog log;
        QCOMPARE(errorOf(log.open(file("no-such-dir/dev5.txt"))), QStringLiteral("I/O error 2"));
        QCOMPARE(errorOf(log.open(dir.path())), QStringLiteral("I/O error 21"));
        QVERIFY(!log.isOpen());
    }

    void accessDenied()
    {
        // Root passes file permissions, but a read-only kernel setting stays closed to writers.
        QString target = QStringLiteral("/proc/sys/kernel/ostype");
        if (geteuid() != 0) {
            target = file("readonly.txt");
            QFile ro(target);
            QVERIFY(ro.open(QIODevice::WriteOnly));
            ro.close();
            QVERIFY(ro.setPermissions(QFileDevice::ReadOwner));
        } else if (!QFile::exists(target)) {
            QSKIP("no read-only kernel setting to try");
        }
        DeviceLog log;
        QCOMPARE(errorOf(log.open(target)), QStringLiteral("File access denied"));
        QVERIFY(!log.isOpen());
    }

    void anEarlierLogWithRowsIsKeptUnderItsTime()
    {
        const QByteArray night = HeaderBytes + "23:59:59  1  2  3  4  0  0  0  \r\n";
        const auto writeFile = [](const QString &path, const QByteArray &bytes, const QDateTime &changed) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.flush());
            QVERIFY(f.setFileTime(changed, QFileDevice::FileModificationTime));
        };
        const QDateTime changed(QDate(2026, 12, 6), QTime(23, 59, 59));
        writeFile(file("dev15.txt"), night, changed);
        writeFile(file("dev15-20261206-235959.txt"), "taken", changed); // a name already in use
        writeFile(file("dev17.txt"), HeaderBytes, changed);              // only a header: nothing to keep
        DeviceLog fifteen, seventeen;
        fifteen.open(file("dev15.txt"));
        seventeen.open(file("dev17.txt"));
        QCOMPARE(contents(file("dev15.txt")), HeaderBytes);
        QCOMPARE(contents(file("dev15-20261206-235959-2.txt")), night);
        QCOMPARE(contents(file("dev15-20261206-235959.txt")), QByteArray("taken"));
        QCOMPARE(QDir(dir.path()).entryList({"dev17*"}, QDir::Files), QStringList{"dev17.txt"});

        // A rename that fails (the dated name is too long) is a file error; the old log stays as it was.
        const QString longName = file(QByteArray(240, 'd') + ".txt");
        writeFile(longName, night, changed);
        DeviceLog log;
        QCOMPARE(errorOf(log.open(longName)), QStringLiteral("I/O error %1").arg(ENAMETOOLONG));
        QVERIFY(!log.isOpen());
        QCOMPARE(contents(longName), night);
    }

    void failedHeaderWriteLeavesLogClosed()
    {
        if (!QFile::exists(QStringLiteral("/dev/full")))
            QSKIP("no /dev/full");
        DeviceLog log; // /dev/full opens but refuses every write with ENOSPC
        QCOMPARE(errorOf(log.open(QStringLiteral("/dev/full"))), QStringLiteral("I/O error 28"));
        QVERIFY(!log.isOpen());
    }
};

int main(int argc, char **argv)
{
    qputenv("LC_ALL", "ru_RU.UTF-8");
    QCoreApplication app(argc, argv);
    TestDeviceLog test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_devicelog.moc"
