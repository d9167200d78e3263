#include "daemon/config.h"

#include "daemon/gatewayconfig.h"
#include "daemon/tablereader.h"
#include "link/tcpline.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSet>
#include <QSysInfo>
#include <functional>
#include <map>

using namespace Qt::StringLiterals;

namespace {

constexpr int Speeds[] = {1200, 2400, 4800, 9600, 19200};

bool validTcpName(const QString &port)
{
    const std::optional<TcpTarget> target = tcpTarget(port);
    return target && !target->host.isEmpty();
}

// What a line's port names, so that two spellings of one port are one: a
// device path through its links, a server by host and port.
QString portIdentity(const QString &port)
{
    if (isTcpName(port))
        return tcpTarget(port)->text().toLower();
    const QString canonical = QFileInfo(port).canonicalFilePath();
    return canonical.isEmpty() ? port : canonical;
}


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
        {"ca_file", [&](auto &n, auto &k) { m.caFile = r.readableFile(n, k); }},
        {"cert_file", [&](auto &n, auto &k) { m.certFile = r.readableFile(n, k); }},
        {"key_file", [&](auto &n, auto &k) { m.keyFile = r.readableFile(n, k); }},
        {"ha_discovery", [&](auto &n, auto &k) { m.haDiscovery = r.boolean(n, k); }},
        {"stats_interval_s", [&](auto &n, auto &k) { m.statsIntervalS = r.integer(n, k, 1, 86400); }},
    });
    if (m.host.isEmpty())
        throw ConfigError{configFailure(r.file, -1, QStringLiteral("mqtt.host: must not be empty"))};
    if (m.certFile.isEmpty() != m.keyFile.isEmpty() || (!m.certFile.isEmpty() && m.caFile.isEmpty()))
        r.fail(t.source(), QStringLiteral("cert_file"),
               QStringLiteral("a client certificate needs key_file, cert_file and ca_file together"));
    return m;
}

HttpConfig readHttp(const TableReader &r, const toml::table &t)
{
    HttpConfig h;
    h.enabled = true;
    r.read(t, {
        {"listen", [&](auto &n, auto &k) {
             const QString text = r.string(n, k);
             const std::optional<TcpTarget> target = tcpTarget(u"tcp://"_s + text);
             if (!target || QHostAddress(target->host).isNull())
                 r.fail(n.source(), k, u"ADDRESS:PORT is expected (\"127.0.0.1:9740\", \"[::1]:9740\", \"0.0.0.0:9740\")"_s);
             h.host = target->host;
             h.port = target->port;
         }},
        {"token_file", [&](auto &n, auto &k) { h.tokenFile = r.string(n, k); }},
        {"cert_file", [&](auto &n, auto &k) { h.certFile = r.readableFile(n, k); }},
        {"key_file", [&](auto &n, auto &k) { h.keyFile = r.readableFile(n, k); }},
    });
    if (h.certFile.isEmpty() != h.keyFile.isEmpty())
        r.fail(t.source(), QStringLiteral("cert_file"), QStringLiteral("HTTPS needs cert_file and key_file together"));
    return h;
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
             if (isTcpName(line.port) && !validTcpName(line.port))
                 r.fail(n.source(), k, QStringLiteral("tcp://HOST:PORT with a port 1..65535 is expected"));
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
        {"search", [&](auto &n, auto &k) {
             const QString how = r.string(n, k);
             if (how != u"fast" && how != u"normal")
                 r.fail(n.source(), k, QStringLiteral("\"fast\" or \"normal\" is expected"));
             line.fastSearch = how == u"fast";
         }},
        {"search_margin_ms", [&](auto &n, auto &k) { line.searchMarginMs = r.integer(n, k, 0, 500); }},
        {"delay_ms", [&](auto &n, auto &k) { line.delayMs = r.integer(n, k, 0, 60000); }},
        {"log_dir", [&](auto &n, auto &k) { line.logDir = r.string(n, k); }},
        {"log_max_mb", [&](auto &n, auto &k) { line.logMaxMb = r.integer(n, k, 1, 10000); }},
        {"log_keep", [&](auto &n, auto &k) { line.logKeep = r.integer(n, k, 0, 100); }},
        {"offline_probe_s", [&](auto &n, auto &k) { line.offlineProbeS = r.integer(n, k, 1, 3600); }},
        {"tcp_silence_s", [&](auto &n, auto &k) { line.tcpSilenceS = r.integer(n, k, 1, 3600); }},
        {"writes", [&](auto &n, auto &k) { line.writes = r.boolean(n, k); }},
        {"command_timeout_s", [&](auto &n, auto &k) { line.commandTimeoutS = r.integer(n, k, 1, 3600); }},
        {"state_min_interval_ms", [&](auto &n, auto &k) { line.stateMinIntervalMs = r.integer(n, k, 0, 3600000); }},
        {"state_heartbeat_s", [&](auto &n, auto &k) { line.stateHeartbeatS = r.integer(n, k, 1, 86400); }},
        {"gateway", [&](auto &n, auto &k) {
             if (!n.is_table())
                 r.fail(n.source(), k, QStringLiteral("a table is expected"));
             line.gateway = readGateway(TableReader(r.file, r.where + u'.' + k), *n.as_table());
         }},
    });
    for (const char *key : {"name", "port"})
        if (!t.contains(key))
            r.fail(t.source(), QString::fromLatin1(key), QStringLiteral("missing"));
    if (!hasDevices)
        r.fail(t.source(), QStringLiteral("devices"), QStringLiteral("missing"));
    if (!line.search() && (t.contains("search") || t.contains("search_margin_ms")))
        r.fail(t.source(), QString::fromLatin1(t.contains("search") ? "search" : "search_margin_ms"),
               QStringLiteral("only with devices = \"search\""));
    return line;
}

} // namespace

bool isTopicLevel(const QString &text)
{
    static const QRegularExpression level(QStringLiteral("^[A-Za-z0-9_-]+$"));
    return level.match(text).hasMatch();
}

namespace {
DaemonConfig readConfig(const QString &path);
}

Result<DaemonConfig> loadConfig(const QString &path)
{
    try {
        return readConfig(path);
    } catch (const ConfigError &e) {
        return e.failure;
    }
}

namespace {
DaemonConfig readConfig(const QString &path)
{
    toml::table root;
    try {
        root = toml::parse_file(path.toStdString());
    } catch (const toml::parse_error &e) {
        throw ConfigError{configFailure(path, e.source().begin.line, QString::fromStdString(std::string(e.description())))};
    }
    DaemonConfig config;
    const TableReader top(path, QString());
    bool hasMqtt = false;
    std::vector<toml::source_region> gatewayAt; // each line's [line.gateway], or the line where there is none
    top.read(root, {
        {"state_dir", [&](auto &n, auto &k) {
             config.stateDir = top.string(n, k);
             if (config.stateDir.isEmpty())
                 top.fail(n.source(), k, QStringLiteral("must not be empty"));
         }},
        {"queue_max_mb", [&](auto &n, auto &k) { config.queueMaxMb = top.integer(n, k, 1, 100000); }},
        {"mqtt", [&](auto &n, auto &k) {
             if (!n.is_table())
                 top.fail(n.source(), k, QStringLiteral("a table is expected"));
             config.mqtt = readMqtt(TableReader(path, k), *n.as_table());
             hasMqtt = true;
         }},
        {"http", [&](auto &n, auto &k) {
             if (!n.is_table())
                 top.fail(n.source(), k, QStringLiteral("a table is expected"));
             config.http = readHttp(TableReader(path, k), *n.as_table());
         }},
        {"line", [&](auto &n, auto &k) {
             if (!n.is_array_of_tables())
                 top.fail(n.source(), k, QStringLiteral("[[line]] tables are expected"));
             for (const toml::node &item : *n.as_array()) {
                 const LineConfig line = readLine(TableReader(path, k), *item.as_table());
                 for (const LineConfig &other : config.lines) {
                     if (other.name == line.name)
                         top.fail(item.source(), QStringLiteral("line.name"),
                                  QStringLiteral("\"%1\" names two lines").arg(line.name));
                     // Two sessions on one port would fight over it for ever.
                     if (portIdentity(other.port) == portIdentity(line.port))
                         top.fail(item.source(), QStringLiteral("line.port"),
                                  QStringLiteral("lines \"%1\" and \"%2\" are both on %3")
                                      .arg(other.name, line.name, line.port));
                 }
                 config.lines << line;
                 const toml::node *gateway = item.as_table()->get("gateway");
                 gatewayAt.push_back(gateway ? gateway->source() : item.source());
             }
         }},
    });
    if (!hasMqtt)
        throw ConfigError{configFailure(path, -1, QStringLiteral("[mqtt]: missing"))};
    if (config.lines.isEmpty())
        throw ConfigError{configFailure(path, -1, QStringLiteral("[[line]]: none given"))};
    checkListenPorts(top, config, gatewayAt);
    return config;
}
} // namespace

QString defaultStateDir()
{
    const QString given = qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0);
    return given.isEmpty() ? QStringLiteral("/var/lib/kalmir") : given;
}

QString defaultClientId()
{
    return QStringLiteral("kalmird-") + QSysInfo::machineHostName();
}

// Built by concatenation: a host or client id may hold "%1" itself.
QString describeConfig(const DaemonConfig &c)
{
    const MqttConfig &m = c.mqtt;
    QString text = u"broker "_s + m.host + u':' + QString::number(m.port) + u", client id \""_s + m.clientId
                   + u"\", topics under "_s + m.topic + u"/, stats every "_s + QString::number(m.statsIntervalS)
                   + u" s"_s;
    if (!m.username.isEmpty())
        text += u", user "_s + m.username;
    if (!m.caFile.isEmpty())
        text += u", TLS with the CA "_s + m.caFile;
    if (!m.certFile.isEmpty())
        text += u", client certificate "_s + m.certFile;
    text += m.haDiscovery ? u", Home Assistant discovery\n"_s : u"\n"_s;
    for (const LineConfig &l : c.lines) {
        QStringList addresses;
        for (const uint8_t a : l.devices)
            addresses << QString::number(a);
        text += u"line "_s + l.name + u": "_s + l.port + u" at "_s + QString::number(l.speed) + u" baud, delay "_s
                + QString::number(l.delayMs) + u" ms, "_s
                + (!l.search()      ? u"detectors "_s + addresses.join(u", "_s)
                   : l.fastSearch ? u"detectors found by a fast bus search (answers begun within "_s
                                        + QString::number(l.searchMarginMs) + u" ms)"_s
                                  : u"detectors found by a bus search"_s)
                + u", "_s
                + (l.logDir.isEmpty() ? u"no device logs"_s
                                      : u"device logs in "_s + l.logDir + u" (rotated at "_s
                                            + QString::number(l.logMaxMb) + u" MiB, "_s + QString::number(l.logKeep)
                                            + u" kept)"_s)
                + u", "_s
                + (l.writes ? u"commands from the broker carried out (expired after "_s
                                  + QString::number(l.commandTimeoutS) + u" s unsent)"_s
                            : u"commands from the broker refused"_s)
                + u'\n';
        text += u"line "_s + l.name + u": a detector that is not online is asked every "_s
                + QString::number(l.offlineProbeS) + u" s"_s
                + (isTcpName(l.port) ? u", the connection made anew after "_s + QString::number(l.tcpSilenceS)
                                           + u" s without an answer"_s
                                     : QString())
                + u'\n';
        text += u"line "_s + l.name + u": "_s
                + (l.stateMinIntervalMs == 0 ? u"every status reply published"_s
                                             : u"a changed state published at most every "_s
                                                   + QString::number(l.stateMinIntervalMs)
                                                   + u" ms, an unchanged one every "_s
                                                   + QString::number(l.stateHeartbeatS) + u" s"_s)
                + u'\n';
        if (l.gateway.enabled())
            text += describeGateway(l);
    }
    const HttpConfig &h = c.http;
    if (h.enabled)
        text += u"HTTP endpoint on "_s + (h.certFile.isEmpty() ? u"http://"_s : u"https://"_s)
                + (h.host.contains(u':') ? u'[' + h.host + u']' : h.host) + u':' + QString::number(h.port)
                + (h.tokenFile.isEmpty() ? u", open to every client\n"_s : u", token from "_s + h.tokenFile + u'\n');
    text += u"events and results queued in "_s + c.queuePath() + u" until the broker has them, at most "_s
            + QString::number(c.queueMaxMb) + u" MiB\n"_s;
    return text;
}
