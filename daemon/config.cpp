#include "daemon/config.h"

#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

#include <QRegularExpression>
#include <QSet>
#include <functional>
#include <map>

namespace {

constexpr int Speeds[] = {1200, 2400, 4800, 9600, 19200};

// Reads one table, key by key: each known key has its reader, anything else
// is an error at the key's own line.
class TableReader {
public:
    TableReader(const QString &file, QString where) : file(file), where(std::move(where)) {}

    [[noreturn]] void fail(const toml::source_region &at, const QString &key, const QString &what) const
    {
        const QString name = where.isEmpty() ? key : where + u'.' + key;
        throw ConfigError(QStringLiteral("%1:%2: %3: %4").arg(file).arg(at.begin.line).arg(name, what).toStdString());
    }

    using Reader = std::function<void(const toml::node &, const QString &key)>;

    void read(const toml::table &table, const std::map<std::string, Reader> &readers) const
    {
        for (auto &&[key, node] : table) {
            const auto it = readers.find(std::string(key.str()));
            if (it == readers.end())
                fail(key.source(), QString::fromStdString(std::string(key.str())), QStringLiteral("unknown key"));
            it->second(node, QString::fromStdString(std::string(key.str())));
        }
    }

    QString string(const toml::node &node, const QString &key) const
    {
        if (!node.is_string())
            fail(node.source(), key, QStringLiteral("a string is expected"));
        return QString::fromStdString(node.as_string()->get());
    }

    int integer(const toml::node &node, const QString &key, int64_t min, int64_t max) const
    {
        if (!node.is_integer())
            fail(node.source(), key, QStringLiteral("an integer is expected"));
        const int64_t v = node.as_integer()->get();
        if (v < min || v > max)
            fail(node.source(), key, QStringLiteral("%1 is out of range %2..%3").arg(v).arg(min).arg(max));
        return int(v);
    }

    bool boolean(const toml::node &node, const QString &key) const
    {
        if (!node.is_boolean())
            fail(node.source(), key, QStringLiteral("true or false is expected"));
        return node.as_boolean()->get();
    }

    QString file;
    QString where;
};

MqttConfig readMqtt(const TableReader &r, const toml::table &t)
{
    MqttConfig m;
    r.read(t, {
        {"host", [&](auto &n, auto &k) { m.host = r.string(n, k); }},
        {"port", [&](auto &n, auto &k) { m.port = r.integer(n, k, 1, 65535); }},
        {"topic", [&](auto &n, auto &k) {
             m.topic = r.string(n, k);
             if (!isTopicLevel(m.topic))
                 r.fail(n.source(), k, QStringLiteral("letters, digits, '-' and '_' only"));
         }},
        {"client_id", [&](auto &n, auto &k) { m.clientId = r.string(n, k); }},
        {"username", [&](auto &n, auto &k) { m.username = r.string(n, k); }},
        {"password_file", [&](auto &n, auto &k) { m.passwordFile = r.string(n, k); }},
        {"ca_file", [&](auto &n, auto &k) { m.caFile = r.string(n, k); }},
        {"cert_file", [&](auto &n, auto &k) { m.certFile = r.string(n, k); }},
        {"key_file", [&](auto &n, auto &k) { m.keyFile = r.string(n, k); }},
        {"ha_discovery", [&](auto &n, auto &k) { m.haDiscovery = r.boolean(n, k); }},
        {"stats_interval_s", [&](auto &n, auto &k) { m.statsIntervalS = r.integer(n, k, 1, 86400); }},
    });
    if (m.host.isEmpty())
        throw ConfigError(QStringLiteral("%1: mqtt.host: must not be empty").arg(r.file).toStdString());
    if (m.certFile.isEmpty() != m.keyFile.isEmpty() || (!m.certFile.isEmpty() && m.caFile.isEmpty()))
        r.fail(t.source(), QStringLiteral("cert_file"),
               QStringLiteral("a client certificate needs key_file, cert_file and ca_file together"));
    return m;
}

QList<uint8_t> readDevices(const TableReader &r, const toml::node &node, const QString &key)
{
    if (node.is_string()) {
        if (node.as_string()->get() != "search")
            r.fail(node.source(), key, QStringLiteral("a list of addresses or \"search\" is expected"));
        return {};
    }
    if (!node.is_array() || node.as_array()->empty())
        r.fail(node.source(), key, QStringLiteral("a list of addresses or \"search\" is expected"));
    QList<uint8_t> list;
    for (const toml::node &item : *node.as_array()) {
        const auto address = uint8_t(r.integer(item, key, 1, 247));
        if (list.contains(address))
            r.fail(item.source(), key, QStringLiteral("address %1 is listed twice").arg(address));
        list << address;
    }
    return list;
}

LineConfig readLine(const TableReader &r, const toml::table &t)
{
    LineConfig line;
    bool hasDevices = false;
    r.read(t, {
        {"name", [&](auto &n, auto &k) {
             line.name = r.string(n, k);
             if (!isTopicLevel(line.name))
                 r.fail(n.source(), k, QStringLiteral("letters, digits, '-' and '_' only"));
         }},
        {"port", [&](auto &n, auto &k) {
             line.port = r.string(n, k);
             if (line.port.isEmpty())
                 r.fail(n.source(), k, QStringLiteral("must not be empty"));
         }},
        {"speed", [&](auto &n, auto &k) {
             line.speed = r.integer(n, k, 1200, 19200);
             if (std::find(std::begin(Speeds), std::end(Speeds), line.speed) == std::end(Speeds))
                 r.fail(n.source(), k, QStringLiteral("one of 1200, 2400, 4800, 9600, 19200 is expected"));
         }},
        {"devices", [&](auto &n, auto &k) {
             line.devices = readDevices(r, n, k);
             hasDevices = true;
         }},
        {"delay_ms", [&](auto &n, auto &k) { line.delayMs = r.integer(n, k, 0, 60000); }},
        {"log_dir", [&](auto &n, auto &k) { line.logDir = r.string(n, k); }},
        {"writes", [&](auto &n, auto &k) { line.writes = r.boolean(n, k); }},
        {"command_timeout_s", [&](auto &n, auto &k) { line.commandTimeoutS = r.integer(n, k, 1, 3600); }},
    });
    for (const char *key : {"name", "port"})
        if (!t.contains(key))
            r.fail(t.source(), QString::fromLatin1(key), QStringLiteral("missing"));
    if (!hasDevices)
        r.fail(t.source(), QStringLiteral("devices"), QStringLiteral("missing"));
    return line;
}

} // namespace

bool isTopicLevel(const QString &text)
{
    static const QRegularExpression level(QStringLiteral("^[A-Za-z0-9_-]+$"));
    return level.match(text).hasMatch();
}

DaemonConfig loadConfig(const QString &path)
{
    toml::table root;
    try {
        root = toml::parse_file(path.toStdString());
    } catch (const toml::parse_error &e) {
        throw ConfigError(QStringLiteral("%1:%2: %3")
                              .arg(path)
                              .arg(e.source().begin.line)
                              .arg(QString::fromStdString(std::string(e.description())))
                              .toStdString());
    }
    DaemonConfig config;
    const TableReader top(path, QString());
    bool hasMqtt = false;
    top.read(root, {
        {"mqtt", [&](auto &n, auto &k) {
             if (!n.is_table())
                 top.fail(n.source(), k, QStringLiteral("a table is expected"));
             config.mqtt = readMqtt(TableReader(path, k), *n.as_table());
             hasMqtt = true;
         }},
        {"line", [&](auto &n, auto &k) {
             if (!n.is_array_of_tables())
                 top.fail(n.source(), k, QStringLiteral("[[line]] tables are expected"));
             for (const toml::node &item : *n.as_array()) {
                 const LineConfig line = readLine(TableReader(path, k), *item.as_table());
                 for (const LineConfig &other : config.lines)
                     if (other.name == line.name)
                         top.fail(item.source(), QStringLiteral("line.name"),
                                  QStringLiteral("\"%1\" names two lines").arg(line.name));
                 config.lines << line;
             }
         }},
    });
    if (!hasMqtt)
        throw ConfigError(QStringLiteral("%1: [mqtt]: missing").arg(path).toStdString());
    if (config.lines.isEmpty())
        throw ConfigError(QStringLiteral("%1: [[line]]: none given").arg(path).toStdString());
    return config;
}

QString describeConfig(const DaemonConfig &c)
{
    QString text = QStringLiteral("broker %1:%2, client id \"%3\", topics under %4/, stats every %5 s%6%7")
                       .arg(c.mqtt.host)
                       .arg(c.mqtt.port)
                       .arg(c.mqtt.clientId, c.mqtt.topic)
                       .arg(c.mqtt.statsIntervalS)
                       .arg(c.mqtt.username.isEmpty() ? QString() : QStringLiteral(", user ") + c.mqtt.username)
                       .arg(c.mqtt.caFile.isEmpty() ? QString() : QStringLiteral(", TLS"))
                   + (c.mqtt.haDiscovery ? QStringLiteral(", Home Assistant discovery\n") : QStringLiteral("\n"));
    for (const LineConfig &l : c.lines) {
        QStringList addresses;
        for (const uint8_t a : l.devices)
            addresses << QString::number(a);
        text += QStringLiteral("line %1: %2 at %3 baud, delay %4 ms, %5, %6, %7\n")
                    .arg(l.name, l.port)
                    .arg(l.speed)
                    .arg(l.delayMs)
                    .arg(l.search() ? QStringLiteral("detectors found by a bus search")
                                    : QStringLiteral("detectors %1").arg(addresses.join(QStringLiteral(", "))),
                         l.logDir.isEmpty() ? QStringLiteral("no device logs")
                                            : QStringLiteral("device logs in %1").arg(l.logDir),
                         l.writes ? QStringLiteral("commands from the broker carried out (expired after %1 s unsent)")
                                        .arg(l.commandTimeoutS)
                                  : QStringLiteral("commands from the broker refused"));
    }
    return text;
}
