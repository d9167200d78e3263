#include "support/simprocess.h"
#include "support/testbroker.h"
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {
// kalmird run with a configuration of the test's own; its log collected.
struct Kalmird {
    QProcess proc;
    QByteArray output;
    explicit Kalmird(const QString &config, const QStringList &extra = {})
    {
        proc.setProcessChannelMode(QProcess::MergedChannels);
        proc.start(QStringLiteral(KALMIRD_BIN), QStringList{u"--config"_s, config} + extra);
    }
    ~Kalmird()
    {
        proc.terminate();
        if (!proc.waitForFinished(5000))
            proc.kill();
    }
    QByteArray log() { return output += proc.readAll(); }
    bool waitFor(const QByteArray &text, int ms = 15000)
    {
        return QTest::qWaitFor([&] { return log().contains(text); }, ms);
    }
};

// A simulator on a line of its own, every frame in its wire log.
struct Line {
    QString wireLog;
    SimProcess sim;
    Line(const QTemporaryDir &dir, const QString &name, QStringList devices, QStringList extra = {})
        : wireLog(dir.filePath(name + u".wire"_s)), sim(QStringList{u"--frozen"_s, u"--log"_s, wireLog, u"--link"_s,
                                                                  dir.filePath(name)} + devices + extra)
    {
    }
    // Writes (function 6) the detector received, as "ADDR REG VALUE" in hex.
    QStringList writes()
    {
        QFile f(wireLog);
        QStringList out;
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray &line : f.readAll().split('\n'))
                if (line.contains(" RX ") && line.split(' ').value(3) == "06")
                    out << QString::fromLatin1(line.split(' ').mid(2, 6).join(' '));
        return out;
    }
};

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &text, int mode)
{
    QFile f(dir.filePath(name));
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        return {};
    f.close();
    ::chmod(QFile::encodeName(f.fileName()), mode_t(mode));
    return f.fileName();
}
} // namespace

class TestKalmirdCommands : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    TestBroker broker{true};
    QProcess results; // every result the service publishes, "topic payload" a line
    QByteArray resultText;

    QString config(const QString &passwordFile, const QString &ca, const QByteArray &lines)
    {
        QByteArray text = "[mqtt]\nhost = \"127.0.0.1\"\nport = " + QByteArray::number(broker.port())
                          + "\nusername = \"" + broker.user().toUtf8() + "\"\npassword_file = \""
                          + passwordFile.toUtf8() + "\"\nca_file = \"" + ca.toUtf8() + "\"\nha_discovery = true\n";
        static int n = 0;
        return writeFile(dir, u"kalmird%1.toml"_s.arg(++n), text + lines, 0600);
    }
    bool publish(const QString &topic, const QByteArray &payload)
    {
        return broker.run(u"mosquitto_pub"_s, broker.clientArguments() + QStringList{u"-q"_s, u"1"_s, u"-t"_s, topic}
                                                  + (payload.isEmpty() ? QStringList{u"-n"_s}
                                                                       : QStringList{u"-m"_s, QString::fromUtf8(payload)}));
    }
    // The results so far, in the order they came.
    QList<QJsonObject> resultsOn(const QByteArray &topic)
    {
        resultText += results.readAllStandardOutput();
        QList<QJsonObject> out;
        for (const QByteArray &line : resultText.split('\n'))
            if (line.startsWith(topic + ' '))
                out << QJsonDocument::fromJson(line.mid(topic.size() + 1)).object();
        return out;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(broker.start(), qPrintable(broker.failure()));
        results.start(u"mosquitto_sub"_s, broker.clientArguments() + QStringList{u"-v"_s, u"-q"_s, u"1"_s, u"-t"_s,
                                                                               u"kalmir/+/+/result"_s});
        QTRY_VERIFY_WITH_TIMEOUT(broker.log().contains("kalmir/+/+/result (QoS 1)"), 10000);
    }

    void cleanupTestCase()
    {
        results.terminate();
        results.waitForFinished(5000);
    }

    // A secured service on two lines, commands on for one: what is allowed
    // reaches the wire once with its register and value and is answered ok,
    // in order even in a burst; everything else is refused with nothing sent.
    void commandsReachOnlyWhatIsAllowed()
    {
        Line north(dir, u"north"_s, {u"--device"_s, u"5"_s, u"--device"_s, u"6"_s});
        Line south(dir, u"south"_s, {u"--device"_s, u"7"_s});
        QVERIFY(north.sim.start() && south.sim.start());
        const QString password = writeFile(dir, u"password"_s, broker.password().toUtf8() + "\n", 0640);
        Kalmird service(config(password, broker.caFile(),
                               "[[line]]\nname = \"north\"\nport = \"" + dir.filePath(u"north"_s).toUtf8()
                                   + "\"\ndevices = [5, 6]\nwrites = true\n[[line]]\nname = \"south\"\nport = \""
                                   + dir.filePath(u"south"_s).toUtf8() + "\"\ndevices = [7]\n"));
        QVERIFY2(service.waitFor("line north: detector 6 online") && service.waitFor("line south: detector 7 online")
                     && service.waitFor("connected"),
                 service.log());
        QTest::qWait(300); // the subscription follows the connection

        QVERIFY(publish(u"kalmir/north/5/set/write-ir-threshold"_s, "650"));
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/north/5/result").size(), 1, 10000);
        QCOMPARE(resultsOn("kalmir/north/5/result")[0],
                 QJsonObject({{"command", "write-ir-threshold"}, {"value", 650}, {"ok", true}, {"error", QJsonValue()}}));
        QCOMPARE(north.writes(), QStringList{u"05 06 00 04 02 8A"_s});
        QVERIFY2(service.log().contains("command kalmir/north/5/set/write-ir-threshold 650: ok"), service.log());

        const struct {
            const char *topic, *payload, *error;
        } refused[] = {
            {"kalmir/south/7/set/reset-fire", "", "commands are off"},
            {"kalmir/north/5/set/write-uv-fault-time", "70000", "out of the range 0..65535"},
            {"kalmir/north/5/set/fire-reset", "", "no command \"fire-reset\""},
            {"kalmir/north/5/set/write-address", "9", "not offered"},
            {"kalmir/north/9/set/reset-fire", "", "no detector 9"},
        };
        for (const auto &r : refused)
            QVERIFY(publish(QString::fromLatin1(r.topic), r.payload));
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/north/5/result").size(), 4, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/north/9/result").size(), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/south/7/result").size(), 1, 10000);
        const QList<QJsonObject> answers = resultsOn("kalmir/south/7/result") + resultsOn("kalmir/north/5/result").mid(1)
                                           + resultsOn("kalmir/north/9/result");
        for (int i = 0; i < answers.size(); ++i) {
            QCOMPARE(answers[i]["ok"], QJsonValue(false));
            QVERIFY2(answers[i]["error"].toString().contains(QLatin1StringView(refused[i].error)),
                     qPrintable(answers[i]["error"].toString()));
        }
        QVERIFY(south.writes().isEmpty());

        // 100 at once: all go out in the order they came, and all are answered.
        QByteArray burst;
        for (int v = 1; v <= 100; ++v)
            burst += QByteArray::number(1000 + v) + '\n';
        const QString burstFile = writeFile(dir, u"burst"_s, burst, 0600);
        QProcess feeder;
        feeder.setStandardInputFile(burstFile);
        feeder.start(u"mosquitto_pub"_s, broker.clientArguments() + QStringList{u"-q"_s, u"1"_s, u"-t"_s,
                                                                              u"kalmir/north/6/set/write-uv-threshold"_s, u"-l"_s});
        QVERIFY(feeder.waitForFinished(10000));
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/north/6/result").size(), 100, 60000);
        const QList<QJsonObject> burstAnswers = resultsOn("kalmir/north/6/result");
        QStringList expected{u"05 06 00 04 02 8A"_s};
        for (int v = 1; v <= 100; ++v) {
            QCOMPARE(burstAnswers[v - 1]["value"].toInt(), 1000 + v);
            QCOMPARE(burstAnswers[v - 1]["ok"], QJsonValue(true));
            expected << u"06 06 00 05 %1 %2"_s.arg((1000 + v) >> 8, 2, 16, QChar(u'0')).arg((1000 + v) & 0xFF, 2, 16, QChar(u'0')).toUpper();
        }
        QCOMPARE(north.writes(), expected);

        // Dashboards find each detector: six retained configs each, with its serial number.
        QProcess discovery;
        discovery.start(u"mosquitto_sub"_s, broker.clientArguments() + QStringList{u"-t"_s, u"homeassistant/+/kalmir_south_7/+/config"_s,
                                                                                 u"-C"_s, u"6"_s, u"-W"_s, u"10"_s});
        QVERIFY(discovery.waitForFinished(15000));
        const QList<QByteArray> configs = discovery.readAllStandardOutput().trimmed().split('\n');
        QCOMPARE(configs.size(), 6);
        for (const QByteArray &c : configs)
            QVERIFY2(QJsonDocument::fromJson(c)["device"]["serial_number"].toString().toInt() > 0, c);
    }

    // A command sent while the line is away waits for it and goes out when it is back.
    void commandWaitsForTheLine()
    {
        Line west(dir, u"west"_s, {u"--device"_s, u"3"_s, u"--fault"_s, u"drop:3000*1"_s});
        QVERIFY(west.sim.start());
        const QString password = writeFile(dir, u"password"_s, broker.password().toUtf8() + "\n", 0640);
        Kalmird service(config(password, broker.caFile(),
                               "[[line]]\nname = \"west\"\nport = \"" + dir.filePath(u"west"_s).toUtf8()
                                   + "\"\ndevices = [3]\nwrites = true\n"));
        QVERIFY2(service.waitFor("connected") && service.waitFor("lost"), service.log());
        QVERIFY(publish(u"kalmir/west/3/set/reset-fire"_s, {}));
        QVERIFY2(service.waitFor("line west: detector 3 online"), service.log());
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/west/3/result").size(), 1, 10000);
        QCOMPARE(resultsOn("kalmir/west/3/result")[0]["ok"], QJsonValue(true));
        QCOMPARE(west.writes(), QStringList{u"03 06 00 01 00 01"_s});
    }

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
};

QTEST_GUILESS_MAIN(TestKalmirdCommands)
#include "test_kalmird_commands.moc"
