#include "daemon/gatewayconfig.h"
#include "daemon/gateway/listenaddress.h"

#include <QHostAddress>

using namespace Qt::StringLiterals;

namespace {
using Listen = std::pair<QHostAddress, quint16>;

// Whether two listening sockets would want one port: the same port on the
// same address, or on every address of the other's kind (0.0.0.0, [::]).
bool samePort(const Listen &a, const Listen &b)
{
    if (a.second != b.second || a.first.protocol() != b.first.protocol())
        return false;
    const QHostAddress any(a.first.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress::AnyIPv6
                                                                               : QHostAddress::AnyIPv4);
    return a.first == b.first || a.first == any || b.first == any;
}

QString listenText(const Listen &a)
{
    const QString host = a.first.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + a.first.toString() + u']'
                                                                             : a.first.toString();
    return host + u':' + QString::number(a.second);
}

QString listenText(const QString &listen)
{
    return listenText(*listenAddress(listen));
}
} // namespace

GatewayConfig readGateway(const TableReader &r, const toml::table &t)
{
    GatewayConfig g;
    const auto address = [&](const toml::node &n, const QString &k) {
        const QString text = r.string(n, k);
        if (!listenAddress(text))
            r.fail(n.source(), k, QStringLiteral("PORT or ADDRESS:PORT with a port 1..65535 is expected"));
        return text;
    };
    r.read(t, {
        {"listen", [&](auto &n, auto &k) { g.listen = address(n, k); }},
        {"rtu_listen", [&](auto &n, auto &k) { g.rtuListen = address(n, k); }},
        {"max_clients", [&](auto &n, auto &k) { g.maxClients = r.integer(n, k, 1, 64); }},
        {"idle_timeout_s", [&](auto &n, auto &k) { g.idleTimeoutS = r.integer(n, k, 1, 86400); }},
        {"guest_share", [&](auto &n, auto &k) { g.guestShare = r.number(n, k, 0.01, 1); }},
        {"max_status_age_ms", [&](auto &n, auto &k) { g.maxStatusAgeMs = r.integer(n, k, 100, 3600000); }},
        {"wait_ms", [&](auto &n, auto &k) { g.waitMs = r.integer(n, k, 1, 60000); }},
        {"writes", [&](auto &n, auto &k) { g.writes = r.boolean(n, k); }},
        {"allow", [&](auto &n, auto &k) {
             if (!n.is_array())
                 r.fail(n.source(), k, QStringLiteral("a list of ADDRESS/BITS is expected"));
             for (const toml::node &item : *n.as_array()) {
                 const QString subnet = r.string(item, k);
                 if (QHostAddress::parseSubnet(subnet).second < 0)
                     r.fail(item.source(), k, QStringLiteral("\"%1\" is no ADDRESS/BITS").arg(subnet));
                 g.allow << subnet;
             }
         }},
    });
    if (!g.enabled())
        r.fail(t.source(), QStringLiteral("listen"), QStringLiteral("listen or rtu_listen is needed"));
    if (!g.listen.isEmpty() && !g.rtuListen.isEmpty() && samePort(*listenAddress(g.listen), *listenAddress(g.rtuListen)))
        r.fail(t.source(), QStringLiteral("rtu_listen"), QStringLiteral("the same port as listen"));
    return g;
}

void checkListenPorts(const TableReader &r, const DaemonConfig &config, const std::vector<toml::source_region> &gatewayAt)
{
    struct Port {
        QString line; // empty: the HTTP endpoint's
        Listen at;
    };
    std::vector<Port> taken;
    if (config.http.enabled)
        taken.push_back({{}, {QHostAddress(config.http.host), quint16(config.http.port)}});
    for (qsizetype i = 0; i < config.lines.size(); ++i) {
        const LineConfig &l = config.lines[i];
        for (const auto &[key, text] : {std::pair{u"listen"_s, l.gateway.listen}, {u"rtu_listen"_s, l.gateway.rtuListen}}) {
            if (text.isEmpty())
                continue;
            const Listen at = *listenAddress(text);
            for (const Port &other : taken)
                if (other.line != l.name && samePort(other.at, at)) // a line's own two: readGateway
                    r.fail(gatewayAt[size_t(i)], u"line.gateway."_s + key,
                           (other.line.isEmpty() ? u"line \""_s + l.name + u"\"'s gateway and [http]"_s
                                                 : u"lines \""_s + other.line + u"\" and \""_s + l.name + u'"')
                               + u" would both listen on "_s + listenText(at));
            taken.push_back({l.name, at});
        }
    }
}

QString describeGateway(const LineConfig &l)
{
    const GatewayConfig &g = l.gateway;
    QStringList ports;
    if (!g.listen.isEmpty())
        ports << u"Modbus TCP on "_s + listenText(g.listen);
    if (!g.rtuListen.isEmpty())
        ports << u"RTU over TCP on "_s + listenText(g.rtuListen);
    return u"line "_s + l.name + u": gateway, "_s + ports.join(u", "_s) + u", at most "_s
           + QString::number(g.maxClients) + u" client(s)"_s
           + (g.allow.isEmpty() ? QString() : u" from "_s + g.allow.join(u", "_s)) + u", idle ones closed after "_s
           + QString::number(g.idleTimeoutS) + u" s; guests take at most "_s + QString::number(g.guestShare * 100)
           + u" % of the line's time, keep every status fresher than "_s + QString::number(g.maxStatusAgeMs)
           + u" ms, wait at most "_s + QString::number(g.waitMs) + u" ms; "_s
           + (g.writes && l.writes ? u"guest writes carried out"_s : u"guest writes refused"_s) + u'\n';
}
