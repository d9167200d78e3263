// Who may connect kalmird to the secured broker: a wrong password, an
// unknown CA, two services with one client id, unsafe secrets; and a blank
// at the end of a secret file.
#include "support/httprig.h"
#include "support/kalmirdrun.h"
#include "support/localport.h"
#include <QtTest>

using namespace Qt::StringLiterals;

class TestKalmirdAccess : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    TestBroker broker{true};

    QString config(const QString &passwordFile, const QString &ca, const QByteArray &lines)
    {
        return securedConfig(dir, broker, passwordFile, ca, lines);
    }

private slots:
    void initTestCase() { QVERIFY2(broker.start(), qPrintable(broker.failure())); }

    // Who does not belong is refused with a log line at each attempt, at the
    // reconnect pace, saying why, and the service goes on. Two services
    // given one client id are told so. Secrets that are not safe, or a TLS
    // file that cannot be read, stop the start and --check alike.
    void onlyWhoBelongsConnects()
    {
        const QByteArray line = "[[line]]\nname = \"east\"\nport = \"/nonexistent/tty\"\ndevices = [1]\n";
        const QString right = writeFile(dir, u"right"_s, broker.password().toUtf8(), 0600);
        const QString wrong = writeFile(dir, u"wrong"_s, "guess\n", 0600);
        Kalmird badPassword(config(wrong, broker.caFile(), line));
        Kalmird badCa(config(right, broker.otherCaFile(), line));
        Kalmird twin1(config(right, broker.caFile(), "client_id = \"twin\"\n" + line));
        Kalmird twin2(config(right, broker.caFile(), "client_id = \"twin\"\n" + line));
        QTest::qWait(3500); // attempts at 0, 1 and 3 s
        for (Kalmird *k : {&badPassword, &badCa}) {
            QCOMPARE(k->proc.state(), QProcess::Running);
            QVERIFY2(k->log().count("lost:") == 3, k->log());
        }
        QVERIFY2(badPassword.log().contains("lost: refused by the broker: not authorised; next attempt in 1 s"),
                 badPassword.log());
        QVERIFY2(badCa.log().contains("lost: TLS: the broker's certificate is refused: unknown CA; next"), badCa.log());
        const QByteArray twins = twin1.log() + twin2.log();
        QVERIFY2(twins.contains("lost: the connection was closed by the broker twice within a minute: most likely "
                                "another client connects with the client id \"twin\""),
                 twins);

        const struct {
            QString passwordFile, caFile;
            QByteArray error;
        } unsafe[] = {
            {writeFile(dir, u"open"_s, broker.password().toUtf8(), 0644), broker.caFile(), "is readable by every user"},
            {writeFile(dir, u"group-writable"_s, broker.password().toUtf8(), 0660), broker.caFile(),
             "may be written by others than its owner (mode 0660): chmod go-w"},
            {writeFile(dir, u"world-writable"_s, broker.password().toUtf8(), 0622), broker.caFile(),
             "may be written by others than its owner (mode 0622)"},
            {dir.filePath(u"absent"_s), broker.caFile(), "absent: No such file or directory"},
            {right, u"/nonexistent/ca.pem"_s, "mqtt.ca_file: cannot read \"/nonexistent/ca.pem\": No such file"},
        };
        for (const auto &u : unsafe) {
            for (const QStringList &extra : {QStringList{}, QStringList{u"--check"_s}}) {
                Kalmird refused(config(u.passwordFile, u.caFile, line), extra);
                QVERIFY(refused.proc.waitForFinished(5000));
                QCOMPARE(refused.proc.exitCode(), 2);
                QVERIFY2(refused.log().contains(u.error) && !refused.log().contains("TLS with"), refused.log());
            }
        }
    }

    // The token's blank is trimmed, as the header it is compared with is;
    // the broker password's stops the start, since the broker would get it.
    void blanksInTheSecretFiles()
    {
        const QByteArray line = "[[line]]\nname = \"east\"\nport = \"/nonexistent/tty\"\ndevices = [1]\n";
        const QString blank = writeFile(dir, u"blank"_s, broker.password().toUtf8() + " \n", 0600);
        for (const QStringList &extra : {QStringList{}, QStringList{u"--check"_s}}) {
            Kalmird refused(config(blank, broker.caFile(), line), extra);
            QVERIFY(refused.proc.waitForFinished(5000));
            QCOMPARE(refused.proc.exitCode(), 2);
            QCOMPARE(refused.log(), "kalmird: password file " + blank.toUtf8()
                                        + ": the password ends in a blank (a space or a tab), which is taken for a "
                                          "slip: remove it from the file\n");
        }
        const QString right = writeFile(dir, u"right"_s, broker.password().toUtf8(), 0600);
        const QString token = writeFile(dir, u"token"_s, "s3cret \n", 0600);
        const quint16 port = freeLocalPort();
        Kalmird service(config(right, broker.caFile(),
                               u"[http]\nlisten = \"127.0.0.1:%1\"\ntoken_file = \"%2\"\n"_s.arg(port).arg(token).toUtf8() + line));
        QVERIFY2(service.waitFor("http: listening"), service.log());
        QCOMPARE(httpGet(port, "/metrics", "Bearer s3cret").status, 200);
        QCOMPARE(httpGet(port, "/metrics", "Basic " + QByteArray("any:s3cret").toBase64()).status, 200);
        QCOMPARE(httpGet(port, "/metrics", "Bearer s3cre").status, 401);
    }
};

QTEST_GUILESS_MAIN(TestKalmirdAccess)
#include "test_kalmird_access.moc"
