#include "session/devicelist.h"
#include <QMap>
#include <QtTest>

namespace {
// The header line in Windows-1251 with CR LF (its bytes are spelled out in the log test).
const QByteArray Header =
    QByteArray::fromHex("c2f0e5ecff2020202055e8ea202055f3f4202055eae7202055f22020cfeee6e0f020c0e2e0f0e8ff20ca2ec72e")
    + "\r\n";

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class TestDeviceList : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString file(const char *name) const { return dir.filePath(name); }

private slots:
    void init()
    {
        QVERIFY(dir.isValid());
        for (const QString &f : QDir(dir.path()).entryList(QDir::Files))
            QFile::remove(dir.filePath(f));
    }

    void duplicatesAndFullListAreIgnored()
    {
        DeviceList list(dir.path(), 2);
        list.add(247);
        QCOMPARE(list.count(), 1);
        QVERIFY(list.log(0).isOpen());
        QCOMPARE(contents(file("dev247.txt")), Header);
        list.add(247);
        QCOMPARE(list.count(), 1);
        QVERIFY(!list.full());
        list.add(5);
        QVERIFY(list.full());
        QCOMPARE(contents(file("dev5.txt")), Header);

        list.add(9);
        QCOMPARE(list.count(), 2);
        QVERIFY(!list.contains(9));
        QVERIFY(!QFile::exists(file("dev9.txt")));
        QCOMPARE(int(list.address(0)), 247);
        QCOMPARE(int(list.address(1)), 5);
    }

    void clearClosesLogsAndAllowsReAdd()
    {
        DeviceList list(dir.path(), 2);
        list.add(1);
        list.add(2);
        list.log(1).writeRow(QStringLiteral("12:00:00"), 1, 2, 3, 4, false, false, false);
        list.clear();
        QCOMPARE(list.count(), 0);
        QCOMPARE(int(list.address(0)), 0);
        QVERIFY(!list.contains(1));
        QVERIFY(!list.log(0).isOpen() && !list.log(1).isOpen());
        QCOMPARE(contents(file("dev2.txt")), Header + "12:00:00  1  2  3  4  0  0  0  \r\n");

        list.add(2); // listed again: first slot, fresh file
        QCOMPARE(list.count(), 1);
        QCOMPARE(int(list.address(0)), 2);
        QCOMPARE(contents(file("dev2.txt")), Header);
    }

    void failedLogLeavesDeviceUncounted()
    {
        DeviceList list(dir.filePath("missing"), 2);
        const std::optional<Failure> failure = list.add(7);
        QVERIFY2(failure, "no error for an impossible log file");
        QCOMPARE(windowText(*failure).section(u'\n', 0, 0), QStringLiteral("I/O error 2"));
        QCOMPARE(list.count(), 0);
        QCOMPARE(int(list.address(0)), 7);
        QVERIFY(!list.contains(7));
        list.clear(); // an empty list: nothing changes, the slot included
        QCOMPARE(int(list.address(0)), 7);

        list.setWorkDir(dir.path());
        list.add(7);
        QCOMPARE(list.count(), 1);
        QCOMPARE(contents(file("dev7.txt")), Header);
    }

    void newAddressKeepsTheLogName()
    {
        DeviceList list(dir.path(), 2);
        list.add(247);
        list.setAddress(0, 44);
        QVERIFY(list.contains(44) && !list.contains(247));
        list.log(0).writeRow(QStringLiteral("12:00:01"), 0, 0, 0, 0, false, false, false);
        QVERIFY(contents(file("dev247.txt")).endsWith("12:00:01  0  0  0  0  0  0  0  \r\n"));
        list.add(247); // the old address is free again
        QCOMPARE(list.count(), 2);
    }

    void closeAllLogsKeepsTheList()
    {
        DeviceList list(dir.path(), 2);
        list.add(3);
        list.add(4);
        list.closeAllLogs();
        QVERIFY(!list.log(0).isOpen() && !list.log(1).isOpen());
        QCOMPARE(list.count(), 2);
        list.clear();
        QCOMPARE(list.count(), 0);
    }

    void logPaths()
    {
        QCOMPARE(DeviceList({}, 2).logPath(5), QStringLiteral("dev5.txt")); // current directory
        QCOMPARE(DeviceList(dir.path(), 2).logPath(247), file("dev247.txt"));
    }

};

QTEST_GUILESS_MAIN(TestDeviceList)
#include "test_devicelist.moc"
