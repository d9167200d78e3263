#include "support/testbroker.h"
#include <QtTest>

using namespace Qt::StringLiterals;

// The secured broker the service's tests run against: it lets in the user
// with the right password over TLS checked against the right CA, and no one else.
class TestTestBroker : public QObject {
    Q_OBJECT
private slots:
    void onlyWhoBelongsGetsIn()
    {
        TestBroker broker(true);
        QVERIFY2(broker.start(), qPrintable(broker.failure()));
        const QStringList ok = broker.clientArguments();
        const QStringList publish{u"-t"_s, u"kalmir/test"_s, u"-r"_s, u"-m"_s, u"hello"_s};
        QVERIFY2(broker.run(u"mosquitto_pub"_s, ok + publish), qPrintable(broker.failure()));

        QProcess sub;
        sub.start(u"mosquitto_sub"_s, ok + QStringList{u"-t"_s, u"kalmir/test"_s, u"-C"_s, u"1"_s, u"-W"_s, u"10"_s});
        QVERIFY(sub.waitForFinished(15000));
        QCOMPARE(sub.readAllStandardOutput().trimmed(), QByteArray("hello"));

        QStringList wrongPassword = ok;
        wrongPassword[wrongPassword.indexOf(broker.password())] = u"guess"_s;
        QVERIFY(!broker.run(u"mosquitto_pub"_s, wrongPassword + publish));
        QVERIFY2(broker.failure().contains(u"not authori"_s), qPrintable(broker.failure()));

        QStringList wrongCa = ok;
        wrongCa[wrongCa.indexOf(broker.caFile())] = broker.otherCaFile();
        QVERIFY(!broker.run(u"mosquitto_pub"_s, wrongCa + publish));
        QVERIFY2(broker.failure().contains(u"TLS error"_s), qPrintable(broker.failure()));

        const QStringList plain = ok.mid(0, 4) + QStringList{u"-u"_s, broker.user(), u"-P"_s, broker.password()};
        QVERIFY(!broker.run(u"mosquitto_pub"_s, plain + publish));
        QVERIFY(broker.running());
        // One log line for each: the password, the unknown CA, the plain connection.
        QTRY_VERIFY2(broker.log().contains("wrong version number"), broker.log());
        QCOMPARE(broker.log().count("not authorised"), 1);
        QCOMPARE(broker.log().count("alert unknown ca"), 1);
    }
};

QTEST_GUILESS_MAIN(TestTestBroker)
#include "test_testbroker.moc"
