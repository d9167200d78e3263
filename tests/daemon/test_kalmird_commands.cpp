// kalmird's commands over a secured broker: what reaches the wire and what
// is refused, a burst, commands while the line is away, a silent detector.
#include "support/kalmirdrun.h"
#include "support/simprocess.h"
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
// A simulator on a line of its own, every frame in its wire log.
struct Line {
    QString wireLog;
    SimProcess sim;
    Line(const QTemporaryDir &dir, const QString &name, QStringList devices, QStringList extra = {})
        : wireLog(dir.filePath(name + u".wire"_s)), sim(QStringList{u"--frozen"_s, u"--log"_s, wireLog, u"--link"_s,
                                                                  dir.filePath(name)} + devices + extra)
    {
    }
    // The requests the detectors received, each as its hex fields from the address on.
    QList<QStringList> received()
    {
        QFile f(wireLog);
        QList<QStringList> out;
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray &line : f.readAll().split('\n'))
                if (line.contains(" RX "))
                    out << QString::fromLatin1(line).split(u' ').mid(2);
        return out;
    }
    // Writes (function 6) the detector received, as "ADDR REG VALUE" in hex.
    QStringList writes()
    {
        QStringList out;
        for (const QStringList &r : received())
            if (r.value(1) == "06"_L1)
                out << r.mid(0, 6).join(u' ');
        return out;
    }
    // Writes that came to a detector with no status read of it since its previous write.
    int writesWithoutStatusBetween()
    {
        QHash<QString, bool> lastWasWrite;
        int count = 0;
        for (const QStringList &r : received()) {
            const bool write = r.value(1) == "06"_L1;
            count += write && lastWasWrite.value(r.value(0));
            lastWasWrite[r.value(0)] = write;
        }
        return count;
    }
};
} // namespace

class TestKalmirdCommands : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    TestBroker broker{true};
    QProcess results; // every result the service publishes, "topic payload" a line
    QByteArray resultText;

    QString config(const QString &passwordFile, const QString &ca, const QByteArray &lines)
    {
        return securedConfig(dir, broker, passwordFile, ca, lines);
    }
    bool publish(const QString &topic, const QByteArray &payload, const QStringList &options = {})
    {
        return broker.run(u"mosquitto_pub"_s, broker.clientArguments() + options + QStringList{u"-q"_s, u"1"_s, u"-t"_s, topic}
                                                  + (payload.isEmpty() ? QStringList{u"-n"_s}
                                                                       : QStringList{u"-m"_s, QString::fromUtf8(payload)}));
    }
    // One message for each line of `lines`, in order, from one client.
    bool publishLines(const QString &topic, const QByteArray &lines)
    {
        static int n = 0;
        QProcess feeder;
        feeder.setStandardInputFile(writeFile(dir, u"lines%1"_s.arg(++n), lines, 0600));
        feeder.start(u"mosquitto_pub"_s, broker.clientArguments() + QStringList{u"-q"_s, u"1"_s, u"-t"_s, topic, u"-l"_s});
        return feeder.waitForFinished(10000) && feeder.exitCode() == 0;
    }
    QByteArray lineConfig(const QString &name, const QByteArray &devices, const QByteArray &extra = {})
    {
        return "[[line]]\nname = \"" + name.toUtf8() + "\"\nport = \"" + dir.filePath(name).toUtf8()
               + "\"\ndevices = " + devices + "\nwrites = true\n" + extra;
    }
    // The results so far, in the order they came.
    QList<QJsonObject> resultsOn(const QByteArray &topic)
    {
        resultText += results.readAllStandardOutput();
        QList<QJsonObject> out;
        qint64 last = 0;
        for (const QByteArray &line : resultText.split('\n'))
            if (line.startsWith(topic + ' ')) {
                // Each answer's seq is above the one before; the rest is compared as it is.
                out << QJsonDocument::fromJson(line.mid(topic.size() + 1)).object();
                if (const qint64 seq = out.last().take(u"seq"_s).toInteger(); seq <= std::exchange(last, seq))
                    out.last()[u"seq"_s] = u"not above the one before"_s;
            }
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
    // in order even in a burst, each detector's status read between two of
    // its commands; everything else is refused with nothing sent, and what
    // names no polled detector is answered in the log only.
    void commandsReachOnlyWhatIsAllowed()
    {
        Line north(dir, u"north"_s, {u"--device"_s, u"5"_s, u"--device"_s, u"6"_s});
        Line south(dir, u"south"_s, {u"--device"_s, u"7"_s});
        QVERIFY(north.sim.start() && south.sim.start());
        // Met at every subscription, so it is never run.
        QVERIFY(publish(u"kalmir/north/5/set/write-uv-threshold"_s, "500", {u"-r"_s}));
        const QString password = writeFile(dir, u"password"_s, broker.password().toUtf8() + "\n", 0640);
        Kalmird service(config(password, broker.caFile(),
                               lineConfig(u"north"_s, "[5, 6]") + "[[line]]\nname = \"south\"\nport = \""
                                   + dir.filePath(u"south"_s).toUtf8() + "\"\ndevices = [7]\n"));
        QVERIFY2(service.waitFor("line north: detector 6 online") && service.waitFor("line south: detector 7 online")
                     && service.waitFor("connected"),
                 service.log());
        QTRY_VERIFY_WITH_TIMEOUT(broker.log().contains("kalmir/+/+/set/+ (QoS 2)"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/north/5/result").size(), 1, 10000);

        QVERIFY(publish(u"kalmir/north/5/set/write-ir-threshold"_s, "650"));
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/north/5/result").size(), 2, 10000);
        QCOMPARE(resultsOn("kalmir/north/5/result")[1],
                 QJsonObject({{"command", "write-ir-threshold"}, {"value", 650}, {"ok", true}, {"error", QJsonValue()}}));
        QVERIFY2(service.waitFor("command kalmir/north/5/set/write-ir-threshold 650: ok"), service.log());
        // Clears the IR bit of detector 5's own channels (all three on), whatever the line's other detector has.
        QVERIFY(publish(u"kalmir/north/5/set/ir-channel-off"_s, {}));
        // A QoS 2 publisher that resends before it has the broker's PUBREC: one write, one answer.
        QVERIFY(broker.run(u"/usr/bin/python3"_s, {QStringLiteral(KALMIR_SOURCE_DIR "/tests/support/mqtt_qos2_resend.py"),
                                                   QString::number(broker.port()), broker.caFile(), broker.user(),
                                                   broker.password(), u"kalmir/north/5/set/toggle-heater"_s, {}}));

        const QByteArray longName(60000, 'x');
        const QString shownName = QString(64, u'x') + u'…';
        const struct {
            QString topic;
            QByteArray payload;
            QString error; // empty: no answer, a line in the log only
        } refused[] = {
            {u"kalmir/south/7/set/reset-fire"_s, {}, u"commands are off for this line (writes = false)"_s},
            {u"kalmir/north/5/set/write-uv-fault-time"_s, "70000", u"70000 is out of the range 0..65535 of write-uv-fault-time"_s},
            {u"kalmir/north/5/set/write-ir-threshold"_s, "66186", u"66186 is out of the range 0..32767 of write-ir-threshold"_s},
            {u"kalmir/north/5/set/write-serial-number"_s, "-1", u"-1 is out of the range 0..65535 of write-serial-number"_s},
            {u"kalmir/north/5/set/write-ir-threshold"_s, "1\nkalmird: forged", u"\"1\\nkalmird: forged\" is not a decimal integer"_s},
            {u"kalmir/north/5/set/reset-fire"_s, QByteArray(300, '1'), u"messages longer than 256 bytes are not taken"_s},
            {u"kalmir/north/5/set/fire-reset"_s, {}, u"no command \"fire-reset\" (kalmird --list-commands)"_s},
            {u"kalmir/north/5/set/"_s + QString::fromLatin1(longName), {}, u"no command \"%1\" (kalmird --list-commands)"_s.arg(shownName)},
            {u"kalmir/north/5/set/write-address"_s, "9", u"write-address is not offered over MQTT"_s},
            {u"kalmir/north/9/set/reset-fire"_s, {}, {}},
            {u"kalmir/north/05/set/reset-fire"_s, {}, {}},
            {u"kalmir/north/ 5/set/reset-fire"_s, {}, {}},
            {u"kalmir/north/5 /set/reset-fire"_s, {}, {}},
            {u"kalmir/west/5/set/reset-fire"_s, {}, {}},
        };
        for (const auto &r : refused)
            QVERIFY(publish(r.topic, r.payload));
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/north/5/result").size(), 12, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/south/7/result").size(), 1, 10000);
        const QList<QJsonObject> north5 = resultsOn("kalmir/north/5/result");
        QCOMPARE(north5[0]["error"], QJsonValue(u"retained commands are not executed"_s));
        QCOMPARE(north5[2], QJsonObject({{"command", "ir-channel-off"}, {"value", QJsonValue()}, {"ok", true}, {"error", QJsonValue()}}));
        QCOMPARE(north5[3]["command"], QJsonValue(u"toggle-heater"_s));
        QCOMPARE(north5[3]["ok"], QJsonValue(true));
        const QList<QJsonObject> answers = resultsOn("kalmir/south/7/result") + north5.mid(4);
        for (int i = 0; i < answers.size(); ++i) {
            QCOMPARE(answers[i]["ok"], QJsonValue(false));
            QCOMPARE(answers[i]["error"].toString(), refused[i].error);
        }
        QCOMPARE(answers[7]["command"].toString(), shownName);
        // The log lines are waited for themselves: those without a result come in their own time.
        QVERIFY2(service.waitFor("command kalmir/north/5/set/write-ir-threshold \"1\\nkalmird: forged\" refused"),
                 service.log());
        QVERIFY2(service.waitFor(u"command kalmir/north/5/set/%1 \"\" refused: no command \"%1\" (kalmird --list-commands)\n"_s
                                     .arg(shownName).toUtf8()),
                 service.log());
        for (const char *level : {"9", "05", " 5", "5 "})
            QVERIFY2(service.waitFor("command kalmir/north/" + QByteArray(level) + "/set/reset-fire \"\" refused: no detector "
                                     + level + " is polled on a line \"north\"\n"),
                     service.log());
        QVERIFY2(service.waitFor("command kalmir/west/5/set/reset-fire \"\" refused: no detector 5 is polled on a line \"west\"\n"),
                 service.log());
        QVERIFY(south.writes().isEmpty());

        // 100 at once: all go out in the order they came, and all are answered.
        QByteArray burst;
        for (int v = 1; v <= 100; ++v)
            burst += QByteArray::number(1000 + v) + '\n';
        QVERIFY(publishLines(u"kalmir/north/6/set/write-uv-threshold"_s, burst));
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/north/6/result").size(), 100, 60000);
        const QList<QJsonObject> burstAnswers = resultsOn("kalmir/north/6/result");
        QStringList expected{u"05 06 00 04 02 8A"_s, u"05 06 00 06 03 05"_s, u"05 06 00 0F 00 06"_s};
        for (int v = 1; v <= 100; ++v) {
            QCOMPARE(burstAnswers[v - 1]["value"].toInt(), 1000 + v);
            QCOMPARE(burstAnswers[v - 1]["ok"], QJsonValue(true));
            expected << u"06 06 00 05 %1 %2"_s.arg((1000 + v) >> 8, 2, 16, QChar(u'0')).arg((1000 + v) & 0xFF, 2, 16, QChar(u'0')).toUpper();
        }
        QCOMPARE(north.writes(), expected);
        QCOMPARE(north.writesWithoutStatusBetween(), 0);
        QCOMPARE(resultText.count('\n'), 12 + 1 + 100);

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

    // Commands sent while the line is away wait for it, at most 100, and go
    // out when it is back, with a status read between any two of them.
    void commandsWaitForTheLine()
    {
        Line west(dir, u"west"_s, {u"--device"_s, u"3"_s, u"--fault"_s, u"drop:3000*1"_s});
        QVERIFY(west.sim.start());
        const QString password = writeFile(dir, u"password"_s, broker.password().toUtf8() + "\n", 0640);
        Kalmird service(config(password, broker.caFile(), lineConfig(u"west"_s, "[3]", "command_timeout_s = 60\n")));
        QVERIFY2(service.waitFor("connected") && service.waitFor("lost"), service.log());
        QVERIFY(publish(u"kalmir/west/3/set/reset-fire"_s, {}));
        QByteArray values;
        for (int v = 1; v <= 100; ++v)
            values += QByteArray::number(v) + '\n';
        QVERIFY(publishLines(u"kalmir/west/3/set/write-uv-threshold"_s, values));
        QVERIFY2(service.waitFor("line west: detector 3 online"), service.log());
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/west/3/result").size(), 101, 30000);
        const QList<QJsonObject> answers = resultsOn("kalmir/west/3/result");
        QCOMPARE(answers[0], QJsonObject({{"command", "write-uv-threshold"}, {"value", QJsonValue()}, {"ok", false},
                                          {"error", "the line's command queue is full (100)"}}));
        QStringList expected{u"03 06 00 01 00 01"_s};
        for (int i = 1; i <= 100; ++i) {
            QCOMPARE(answers[i]["ok"], QJsonValue(true));
            if (i > 1)
                expected << u"03 06 00 05 00 %1"_s.arg(i - 1, 2, 16, QChar(u'0')).toUpper();
        }
        QCOMPARE(west.writes(), expected);
        QCOMPARE(west.writesWithoutStatusBetween(), 0);
    }

    // What the core refuses, and a command the line fails under, are
    // answered and logged in the service's words, never in the window's: a
    // calibration for a detector that never answered (its G_42 unknown), and
    // a write on the wire when the line goes.
    void coreRefusalsAreInTheServicesWords()
    {
        Line mute(dir, u"mute"_s, {u"--device"_s, u"1"_s}); // detector 3 is listed but never answers
        QVERIFY(mute.sim.start());
        const QString password = writeFile(dir, u"password"_s, broker.password().toUtf8() + "\n", 0640);
        const qsizetype subscribed = broker.log().count("kalmir/+/+/set/+ (QoS 2)");
        Kalmird service(config(password, broker.caFile(), lineConfig(u"mute"_s, "[1, 3]", "offline_probe_s = 1\n")));
        QVERIFY2(service.waitFor("line mute: detector 1 online"), service.log());
        QTRY_COMPARE_WITH_TIMEOUT(broker.log().count("kalmir/+/+/set/+ (QoS 2)"), subscribed + 1, 10000);

        QVERIFY(publish(u"kalmir/mute/3/set/calibrate-uv"_s, {}));
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/mute/3/result").size(), 1, 10000);
        const QString unknown = u"detector 3 has not answered yet, G_42 unknown: command dropped"_s;
        QCOMPARE(resultsOn("kalmir/mute/3/result")[0],
                 QJsonObject({{"command", "calibrate-uv"}, {"value", QJsonValue()}, {"ok", false}, {"error", unknown}}));
        QVERIFY2(service.waitFor("command kalmir/mute/3/set/calibrate-uv: failed: " + unknown.toUtf8() + "\n"), service.log());

        QVERIFY(publish(u"kalmir/mute/3/set/write-ir-threshold"_s, "100"));
        QTRY_VERIFY_WITH_TIMEOUT(mute.writes().contains(u"03 06 00 04 00 64"_s), 5000);
        mute.sim.process().kill(); // well inside the reply's read window
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/mute/3/result").size(), 2, 10000);
        const QString failed = resultsOn("kalmir/mute/3/result")[1]["error"].toString();
        QVERIFY2(failed.startsWith(u"the line failed: port read failed: "_s), qPrintable(failed)); // then the system's words
        QVERIFY2(service.waitFor("command kalmir/mute/3/set/write-ir-threshold 100: failed: " + failed.toUtf8() + "\n"),
                 service.log());
        QVERIFY2(!QString::fromUtf8(service.log()).contains(QRegularExpression(u"[\\x{0400}-\\x{04FF}]"_s)), service.log());
    }

    // A silent detector's commands go out each in a pass of its own or
    // expire unsent; they hold up no other detector's; a channel command for
    // it is refused (its channels are unknown); and a stop tells the command
    // on the wire from those that wait.
    void silentDetectorHoldsUpNoOne()
    {
        Line quiet(dir, u"quiet"_s, {u"--device"_s, u"1"_s}); // detector 3 is listed but never answers
        QVERIFY(quiet.sim.start());
        const QString password = writeFile(dir, u"password"_s, broker.password().toUtf8() + "\n", 0640);
        Kalmird service(config(password, broker.caFile(), lineConfig(u"quiet"_s, "[1, 3]", "command_timeout_s = 2\noffline_probe_s = 1\n")));
        QVERIFY2(service.waitFor("connected") && service.waitFor("line quiet: detector 1 online"), service.log());
        QTest::qWait(300); // the subscription follows the connection

        QVERIFY(publish(u"kalmir/quiet/3/set/ir-channel-off"_s, {}));
        QByteArray values;
        for (int v = 1; v <= 20; ++v)
            values += QByteArray::number(v) + '\n';
        QVERIFY(publishLines(u"kalmir/quiet/3/set/write-ir-threshold"_s, values));
        QVERIFY(publish(u"kalmir/quiet/1/set/reset-fire"_s, {}));
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/quiet/3/result").size(), 21, 10000);
        QCOMPARE(resultsOn("kalmir/quiet/1/result").size(), 1);
        QCOMPARE(resultsOn("kalmir/quiet/1/result")[0]["ok"], QJsonValue(true));
        const QList<QJsonObject> answers = resultsOn("kalmir/quiet/3/result");
        QCOMPARE(answers[0]["error"], QJsonValue(u"detector 3 has not answered yet: its channels are unknown"_s));
        // Those that went out (and timed out) are the first ones, in order; the rest expired unsent.
        QMap<int, QString> errors;
        for (const QJsonObject &a : answers.mid(1))
            errors[a["value"].toInt()] = a["error"].toString();
        QCOMPARE(errors.size(), 20);
        QStringList sent;
        for (int v = 1; v <= 20; ++v) {
            if (errors[v] == "time-out: the detector did not answer"_L1 && sent.size() == v - 1)
                sent << u"03 06 00 04 00 %1"_s.arg(v, 2, 16, QChar(u'0')).toUpper();
            else
                QCOMPARE(errors[v], u"expired"_s);
        }
        QVERIFY2(!sent.isEmpty() && sent.size() < 20, qPrintable(sent.join(u", ")));
        QStringList written = quiet.writes();
        QVERIFY2(written.indexOf(u"01 06 00 01 00 01"_s) < 3, qPrintable(written.join(u", ")));
        written.removeAll(u"01 06 00 01 00 01"_s);
        QCOMPARE(written, sent);

        // Stopped while the first of two waits for its echo.
        QVERIFY(publishLines(u"kalmir/quiet/3/set/write-ir-threshold"_s, "100\n101\n"));
        QTRY_VERIFY_WITH_TIMEOUT(quiet.writes().contains(u"03 06 00 04 00 64"_s), 5000);
        service.proc.terminate();
        QVERIFY(service.proc.waitForFinished(5000));
        QTRY_COMPARE_WITH_TIMEOUT(resultsOn("kalmir/quiet/3/result").size(), 23, 5000);
        QCOMPARE(resultsOn("kalmir/quiet/3/result")[21]["error"],
                 QJsonValue(u"kalmird stopped after sending the command, before its echo: it may have acted"_s));
        QCOMPARE(resultsOn("kalmir/quiet/3/result")[22]["error"], QJsonValue(u"kalmird stopped before the command went out"_s));
        QVERIFY(!quiet.writes().contains(u"03 06 00 04 00 65"_s));
    }
};

QTEST_GUILESS_MAIN(TestKalmirdCommands)
#include "test_kalmird_commands.moc"
