#include "daemon/discovery.h"
#include "daemon/failurelog.h"
#include "daemon/remotecommands.h"
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>
#include <set>

namespace {
struct Case {
    bool writes;
    const char *name, *payload;
    Refusal refusal;
    int code;       // accepted: the command
    int reg, value; // accepted: what the window's builder then sends
};
constexpr int Unsent = -1;
constexpr Case Cases[] = {
    {false, "reset-fire", "", Refusal::WritesOff, 0, Unsent, Unsent},
    {true, "reset-fire", "", Refusal::None, 17, 1, 1},
    {true, "reset-fire", "1", Refusal::BadValue, 0, Unsent, Unsent},
    {true, "test-on", "", Refusal::None, 24, 13, 3},
    {true, "ir-channel-on", "", Refusal::None, 12, 6, 768 + 2},
    {true, "write-ir-threshold", "650", Refusal::None, 4, 4, 650},
    {true, "write-ir-threshold", "-1", Refusal::BadValue, 0, Unsent, Unsent}, // would switch the channel off
    {true, "write-ir-threshold", "32767", Refusal::None, 4, 4, 32767},
    {true, "write-ir-threshold", "32768", Refusal::BadValue, 0, Unsent, Unsent},
    {true, "write-ir-threshold", "66186", Refusal::BadValue, 0, Unsent, Unsent},
    {true, "write-serial-number", "65535", Refusal::None, 26, 14, 65535}, // read back unsigned
    {true, "write-serial-number", "-1", Refusal::BadValue, 0, Unsent, Unsent},
    {true, "write-heater-point", "-40", Refusal::None, 34, 3, 65536 - 40},
    {true, "enter-password", "27469", Refusal::None, 35, 18, 27469},
    {true, "write-ir-threshold", "", Refusal::BadValue, 0, Unsent, Unsent},
    {true, "write-ir-threshold", "0x10", Refusal::BadValue, 0, Unsent, Unsent},
    {true, "write-ir-threshold", " 10", Refusal::BadValue, 0, Unsent, Unsent},
    {true, "write-ir-threshold", "2147483648", Refusal::BadValue, 0, Unsent, Unsent},
    {true, "write-uv-fault-time", "24", Refusal::None, 40, 22, 24},
    {true, "write-uv-fault-time", "65536", Refusal::BadValue, 0, Unsent, Unsent},
    {true, "write-address", "5", Refusal::NotOffered, 0, Unsent, Unsent},
    {true, "write-baud", "", Refusal::NotOffered, 0, Unsent, Unsent},
    {true, "write-config-mark", "", Refusal::NotOffered, 0, Unsent, Unsent},
    {true, "calibrate-ir", "", Refusal::NotOffered, 0, Unsent, Unsent},
    {true, "Reset-Fire", "", Refusal::UnknownName, 0, Unsent, Unsent},
    {true, "reset-fire/now", "", Refusal::UnknownName, 0, Unsent, Unsent},
};
} // namespace

class TestRemoteCommands : public QObject {
    Q_OBJECT
private slots:
    void namesAndList()
    {
        std::set<QString> names;
        const QStringList list = remoteCommandList().split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(list.size(), int(LastCommandCode));
        for (int code = 1; code <= LastCommandCode; ++code) {
            const QString name = RemoteCommandNames[code - 1].name;
            QVERIFY2(QRegularExpression(u"^[a-z0-9]+(-[a-z0-9]+)*$"_qs).match(name).hasMatch(), qPrintable(name));
            names.insert(name);
            const QStringList fields = list[code - 1].split(u' ', Qt::SkipEmptyParts);
            QCOMPARE(fields.value(0), name);
            QCOMPARE(fields.value(1).toInt(), code);
        }
        QCOMPARE(int(names.size()), int(LastCommandCode));
        // Every offered command that the window builds from a typed value has a range, and no other.
        for (const RemoteCommandName &c : RemoteCommandNames) {
            const ValueSource source = commandSpec(uint8_t(c.command))->source;
            QCOMPARE(offeredRemotely(c.command) && bool(commandValueRange(c.command)),
                     offeredRemotely(c.command) && (source == ValueSource::Field || source == ValueSource::UvFaultHours));
        }
        QVERIFY(list[3].endsWith(u"integer 0..32767"_qs));
        QVERIFY(list[33].endsWith(u"integer -32768..32767"_qs));
        QVERIFY(list[25].endsWith(u"integer 0..65535"_qs));
        QVERIFY(list[39].endsWith(u"integer 0..65535"_qs));
        QVERIFY(list[16].endsWith(u"no value"_qs));
        QVERIFY(list[0].endsWith(u"not offered over MQTT"_qs));
    }

    // Each case is decided, and an accepted one is built by the window's
    // builder from the value handed over as the service will hand it.
    void decisions()
    {
        for (const Case &c : Cases) {
            const QByteArray label = QByteArray(c.name) + " '" + c.payload + "'";
            const RemoteDecision d = decideRemoteCommand(c.writes, c.name, c.payload);
            QVERIFY2(d.refusal == c.refusal, label + " reason: " + d.reason.toUtf8());
            QCOMPARE(d.name, QString::fromUtf8(c.name));
            QCOMPARE(int(d.command), c.code);
            QCOMPARE(d.reason.isEmpty(), d.accepted());
            if (!d.accepted()) {
                const QJsonObject r = QJsonDocument::fromJson(refusalJson(d)).object();
                QCOMPARE(r.value("ok"), QJsonValue(false));
                QCOMPARE(r.value("error").toString(), d.reason);
                QVERIFY(r.value("value").isNull());
                continue;
            }
            uint8_t mask = 2;
            const BuiltCommand b = *buildCommand(d.command, CommandInputs{nullptr, 5, 8, 0, d.value}, mask);
            QVERIFY2(b.send, label);
            QCOMPARE(int(b.reg), c.reg);
            QCOMPARE(int(b.value), c.value);
        }
        QCOMPARE(remoteResultJson(u"write-ir-threshold"_qs, 650, true),
                 QByteArray(R"({"command":"write-ir-threshold","error":null,"ok":true,"value":650})"));
        RemoteDecision full = decideRemoteCommand(true, "reset-fire", "");
        refuseQueueFull(full, 100);
        const QByteArray fullJson = "{\"command\":\"reset-fire\",\"error\":\"the line's command queue is full (100)\",\"ok\":false,\"value\":null}";
        QCOMPARE(refusalJson(full), fullJson);
    }

    // What logs and results show of what a sender wrote, and the one spelling of an address.
    void shownTextAndAddresses()
    {
        const struct {
            QByteArray text;
            QString shown;
        } texts[] = {
            {"reset-fire", u"reset-fire"_qs},
            {"1\nkalmird: x\r\t\x01\x7f", u"1\\nkalmird: x\\r\\t\\x01\\x7f"_qs},
            {QByteArray(64, 'x'), QString(64, u'x')},
            {QByteArray(65, 'x'), QString(64, u'x') + u'…'},
            {QByteArray(40, '\n'), u"\\n"_qs.repeated(32) + u'…'},
            {"\xd0\xb0\xe2\x80\xa8", u"а\\u2028"_qs},
        };
        for (const auto &t : texts)
            QCOMPARE(shownText(t.text), t.shown);
        const struct {
            const char *level;
            int address; // 0: not an address
        } levels[] = {{"1", 1}, {"247", 247}, {"17", 17}, {"248", 0}, {"0", 0}, {"01", 0}, {" 1", 0},
                      {"1 ", 0}, {"+1", 0}, {"0x1", 0}, {"", 0}, {"1000", 0}};
        for (const auto &l : levels)
            QCOMPARE(int(remoteAddress(QString::fromLatin1(l.level)).value_or(0)), l.address);
    }

    // The log speaks English for every kind; the line's own kinds with their facts.
    void logTextOfEachKind()
    {
        using K = Failure::Kind;
        for (int k = int(K::PortRead); k <= int(K::Config); ++k) {
            Failure f = Failure::withText(K(k), QStringLiteral("x"));
            f.path = QStringLiteral("/dev/ttyUSB0");
            const QString text = logText(f);
            QVERIFY2(!text.isEmpty() && !text.contains(QRegularExpression(QStringLiteral("[\\x{0400}-\\x{04FF}]"))),
                     qPrintable(QString::number(k) + u' ' + text));
        }
        Failure lost = Failure::of(K::PortRead);
        lost.osText = QStringLiteral("Input/output error");
        QCOMPARE(logText(lost), QStringLiteral("port read failed: Input/output error"));
        QCOMPARE(logText(Failure::of(K::PortMissing)), QStringLiteral("no such port"));
        Failure slow = Failure::of(K::ConnectTimeout);
        slow.address = QStringLiteral("127.0.0.1:4001");
        slow.timeoutMs = 3000;
        QCOMPARE(logText(slow), QStringLiteral("no connection to 127.0.0.1:4001: no answer in 3 s"));
        Failure full = Failure::withValue(K::FileIo, 27);
        full.path = QStringLiteral("/var/log/dev5.txt");
        full.osText = QStringLiteral("File too large");
        QCOMPARE(logText(full), QStringLiteral("I/O error 27: /var/log/dev5.txt: File too large"));
    }

    void discovery()
    {
        const QList<RetainedMessage> configs = discoveryConfigs({"site1", "north", 5, "8001", "3.2"});
        QStringList topics;
        std::set<QString> ids;
        for (const RetainedMessage &m : configs) {
            topics << QString::fromUtf8(m.topic);
            const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
            QCOMPARE(o.value("state_topic").toString(), u"site1/north/5/state"_qs);
            const QJsonArray av = o.value("availability").toArray();
            QCOMPARE(av.at(0)["topic"].toString(), u"site1/north/5/availability"_qs);
            QCOMPARE(av.at(1)["topic"].toString(), u"site1/status"_qs);
            QCOMPARE(o.value("device")["serial_number"].toString(), u"8001"_qs);
            QCOMPARE(o.value("device")["sw_version"].toString(), u"3.2"_qs);
            ids.insert(o.value("unique_id").toString());
            const QString object = topics.last().section(u'/', 3, 3);
            QVERIFY(o.value("value_template").toString().contains(u"value_json."_qs + object));
            // The entity id with its domain; object_id is no longer read.
            QCOMPARE(o.value("default_entity_id").toString(),
                     topics.last().section(u'/', 1, 1) + u".site1_north_5_"_qs + object);
            QVERIFY(!o.contains("object_id"));
        }
        QCOMPARE(topics, QStringList({
            u"homeassistant/binary_sensor/site1_north_5/fire/config"_qs,
            u"homeassistant/binary_sensor/site1_north_5/fault/config"_qs,
            u"homeassistant/binary_sensor/site1_north_5/dust/config"_qs,
            u"homeassistant/sensor/site1_north_5/ir/config"_qs,
            u"homeassistant/sensor/site1_north_5/uv/config"_qs,
            u"homeassistant/sensor/site1_north_5/temperature/config"_qs,
        }));
        QCOMPARE(int(ids.size()), 6);
    }
};

QTEST_GUILESS_MAIN(TestRemoteCommands)
#include "test_remotecommands.moc"
