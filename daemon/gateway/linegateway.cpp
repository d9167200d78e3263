#include "daemon/gateway/linegateway.h"
#include "daemon/gateway/guestrules.h"
#include "daemon/gateway/listenaddress.h"
#include "daemon/gateway/rtuframes.h"
#include "daemon/failurelog.h"
#include "daemon/log.h"
#include "daemon/logthrottle.h"
#include "session/lineservice.h"

#include <QTcpSocket>
#include <cmath>

using namespace gatewayexception;

namespace {
// A status read of the watch: 8 request and 53 reply bytes.
constexpr int StatusRequestBytes = 8, StatusReplyBytes = 53;

// A line's kind for the log's throttle: its text up to the first figure, so
// that "expired, not started within 1203 ms" and "... 1187 ms" are one kind.
QString kindOf(const QString &what)
{
    const auto at = std::find_if(what.begin(), what.end(), [](QChar c) { return c.isDigit() || c == u'('; });
    return what.first(at - what.begin());
}

// "127.0.0.1:53312" -> "127.0.0.1", "[::1]:53312" -> "[::1]"
QString addressOf(const QString &peer)
{
    return peer.left(peer.lastIndexOf(u':'));
}
} // namespace

LineGateway::LineGateway(const LineConfig &l, LineService &service, Watch watch, QObject *parent)
    : QObject(parent), line(l), cfg(l.gateway), service(service), watch(std::move(watch)),
      policy(cfg.guestShare, cfg.maxStatusAgeMs)
{
    expiry.setSingleShot(true);
    connect(&expiry, &QTimer::timeout, this, &LineGateway::expire);
    connect(&modbusServer, &QTcpServer::newConnection, this,
            [this] { accept(modbusServer, GuestConnection::Kind::ModbusTcp); });
    connect(&rtuServer, &QTcpServer::newConnection, this, [this] { accept(rtuServer, GuestConnection::Kind::Rtu); });
    service.setGuestSource([guard = QPointer(this)]() -> std::optional<GuestJob> {
        return guard ? guard->nextJob() : std::nullopt;
    });
}

// The service may be gone before its children: the source's guard, not a
// call here, keeps it from asking a gateway that is no more.
LineGateway::~LineGateway() = default;

void LineGateway::start()
{
    listen(modbusServer, cfg.listen, "Modbus TCP");
    listen(rtuServer, cfg.rtuListen, "RTU over TCP");
}

void LineGateway::listen(QTcpServer &server, const QString &where, const char *what)
{
    if (where.isEmpty())
        return;
    const auto address = listenAddress(where);
    if (!server.listen(address->first, address->second)) {
        logEvent(QStringLiteral("gateway %1: cannot listen for %2 on %3: %4; it stays closed")
                     .arg(line.name, QLatin1StringView(what), where, server.errorString()));
        return;
    }
    logEvent(QStringLiteral("gateway %1: %2 on %3").arg(line.name, QLatin1StringView(what), where));
}

int LineGateway::connectedCount() const
{
    return int(std::count_if(clients.begin(), clients.end(), [](const auto &c) { return !c.second.connection.isNull(); }));
}

// Empty when the address may come in, else why not.
QString LineGateway::admission(const QHostAddress &peer) const
{
    if (connectedCount() >= cfg.maxClients)
        return QStringLiteral("%1 client(s) connected already").arg(cfg.maxClients);
    if (cfg.allow.isEmpty())
        return {};
    bool v4 = false;
    const QHostAddress plain(peer.toIPv4Address(&v4)); // an IPv4 client of a dual-stack port
    for (const QString &subnet : cfg.allow)
        if ((v4 ? plain : peer).isInSubnet(QHostAddress::parseSubnet(subnet)))
            return {};
    return QStringLiteral("not in allow");
}

void LineGateway::accept(QTcpServer &server, GuestConnection::Kind kind)
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        const QString refusal = admission(socket->peerAddress());
        auto *c = new GuestConnection(socket, kind, nextNumber++, cfg.idleTimeoutS, this);
        if (!refusal.isEmpty()) {
            logClient(c->peer(), QStringLiteral("refused, ") + kindOf(refusal),
                      QStringLiteral("refused, %1").arg(refusal));
            c->close(QStringLiteral("refused"));
            continue;
        }
        logClient(c->peer(), QStringLiteral("connected"),
                  QStringLiteral("%1 client connected").arg(kind == GuestConnection::Kind::Rtu ? "RTU" : "Modbus TCP"));
        clients[c->number()] = Client{c, c->peer(), kind == GuestConnection::Kind::Rtu};
        connect(c, &GuestConnection::requested, this, &LineGateway::onRequest);
        connect(c, &GuestConnection::closed, this, &LineGateway::onClosed);
    }
}

void LineGateway::onClosed(GuestConnection *connection, const QString &why)
{
    const int n = connection->number();
    logClient(connection->peer(), QStringLiteral("closed, ") + kindOf(why), QStringLiteral("closed, %1").arg(why));
    if (const auto left = policy.drop(n)) { // a request not yet started never goes out
        ++tally.abandoned;
        logFailure(n, left->request, QStringLiteral("abandoned, the client left before it started"));
    }
    const auto it = clients.find(n);
    if (it != clients.end() && !it->second.onLine)
        clients.erase(it);
    armExpiry();
}

void LineGateway::onRequest(GuestConnection *connection, const QByteArray &request, double ageMs)
{
    const int n = connection->number();
    Client &client = clients[n];
    ++tally.requests;
    if (const auto no = refusal(request, cfg.writes && line.writes)) {
        refuse(n, request, no->code, tally.refused, QLatin1StringView(no->why));
        return;
    }
    if (!service.lineUp()) {
        refuse(n, request, PathUnavailable, tally.expired, QStringLiteral("line lost"));
        return;
    }
    const double came = service.nowMs() - ageMs;
    const double ch = service.charMs();
    const guestclock::AnswerBound bound = guestclock::answerTo(request);
    const double worst = guestclock::worstMs(int(request.size()) + 2, bound.windowBytes, ch);
    GuestRequest r{n, request, came, came + cfg.waitMs, worst};
    if (client.rtu) {
        // Started later than this, even a prompt answer would miss the client's window.
        client.answerByMs = came + guestclock::ReadWindowMs - guestclock::AnswerMarginMs;
        const double answerTakes =
            bound.endsByLength ? guestclock::exchangeMs(int(request.size()) + 2, bound.longest, ch) : worst;
        r.startByMs = std::min(r.startByMs, client.answerByMs - answerTakes);
    }
    policy.add(std::move(r));
    armExpiry();
    service.guestWaiting(); // a watch with nobody due leaves the line to guests
}

LineFacts LineGateway::facts(double nowMs)
{
    LineFacts f;
    f.nowMs = nowMs;
    const double ch = service.charMs();
    f.ownExchangeMs = std::max(guestclock::exchangeMs(StatusRequestBytes, StatusReplyBytes, ch) + line.delayMs,
                               ownPace.median());
    for (const DetectorFreshness &d : watch()) {
        if (d.online)
            f.lastGoodMs.push_back(d.lastGoodMs);
        else
            f.probeMs = guestclock::worstMs(StatusRequestBytes, StatusReplyBytes, ch);
    }
    return f;
}

std::optional<GuestJob> LineGateway::nextJob()
{
    const double now = service.nowMs();
    if (!service.idleTurn()) { // the watch's pace is timed between its own exchanges only
        if (lastTurnMs >= 0)
            ownPace.note(now - lastTurnMs);
        lastTurnMs = now;
    }
    expire();
    auto chosen = policy.take(facts(now));
    if (!chosen)
        return std::nullopt;
    clients[chosen->client].onLine = true;
    armExpiry();
    GuestJob job;
    job.request = chosen->request;
    job.done = [guard = QPointer(this), r = *chosen, now](const GuestResult &result) {
        if (guard)
            guard->onDone(r, now, result);
    };
    return job;
}

void LineGateway::onDone(const GuestRequest &r, double startedMs, const GuestResult &result)
{
    const double now = service.nowMs();
    // A time-out holds the line one more read window for a late answer: the guest's time too.
    policy.ran(startedMs, result.outcome == GuestResult::Outcome::TimedOut ? now + guestclock::ReadWindowMs : now);
    lastTurnMs = now;
    const auto it = clients.find(r.client);
    if (it == clients.end())
        return;
    it->second.onLine = false;
    const QByteArray &reply = result.reply;
    const uint8_t function = uint8_t(r.request[1]);
    QByteArray pdu;
    QString failure;
    if (result.outcome == GuestResult::Outcome::PortFailed) {
        failure = QStringLiteral("line failed: %1").arg(logText(result.error));
    } else if (reply.isEmpty() || result.outcome == GuestResult::Outcome::TimedOut) {
        failure = QStringLiteral("time-out");
    } else if (!result.crcGood) {
        failure = QStringLiteral("bad CRC");
    } else if (reply.size() < 4 || reply[0] != r.request[0] || (uint8_t(reply[1]) & 0x7F) != function) {
        failure = QStringLiteral("a reply that is not the answer");
    } else {
        pdu = reply.mid(1, reply.size() - 3);
    }
    const bool exception = !pdu.isEmpty() && (uint8_t(pdu[0]) & 0x80);
    ++(pdu.isEmpty() ? tally.timeouts : exception ? tally.exceptions : tally.ok);
    if (exception)
        failure = QStringLiteral("exception %1 from the detector").arg(pdu.size() > 1 ? uint8_t(pdu[1]) : 0);
    // Past its read window the client has given up: an answer now would be
    // taken for that of its next request.
    const bool late = it->second.rtu && now > it->second.answerByMs;
    if (late) {
        ++tally.late;
        failure += pdu.isEmpty() ? QStringLiteral(", past the guest's read window: nothing sent")
                                 : QStringLiteral("%1reply past the guest's read window: not sent")
                                       .arg(failure.isEmpty() ? QString() : QStringLiteral(", "));
    }
    if (!failure.isEmpty())
        logFailure(r.client, r.request, failure);
    if (!it->second.connection) {
        clients.erase(it);
        return;
    }
    if (late)
        it->second.connection->drop();
    else
        answer(r.client, pdu.isEmpty() ? rtuframe::exceptionPdu(function, TargetFailed) : pdu);
}

void LineGateway::answer(int client, const QByteArray &pdu)
{
    const auto it = clients.find(client);
    if (it != clients.end() && it->second.connection)
        it->second.connection->answer(pdu);
}

void LineGateway::refuse(int client, const QByteArray &request, uint8_t code, uint64_t &count, const QString &why)
{
    ++count;
    logFailure(client, request, why);
    answer(client, rtuframe::exceptionPdu(request.size() > 1 ? uint8_t(request[1]) : 0, code));
}

void LineGateway::logFailure(int client, const QByteArray &request, const QString &why) const
{
    const auto it = clients.find(client);
    const QString peer = it == clients.end() ? QStringLiteral("?") : it->second.peer;
    logThrottled(QStringLiteral("gateway %1 %2").arg(line.name, kindOf(why)), addressOf(peer),
                 QStringLiteral("gateway %1 %2 unit %3 fn %4: %5")
                     .arg(line.name, peer)
                     .arg(uint8_t(request[0]))
                     .arg(request.size() > 1 ? uint8_t(request[1]) : 0)
                     .arg(why));
}

// A line about one client: at most one a second of its kind from its address.
void LineGateway::logClient(const QString &peer, const QString &kind, const QString &what) const
{
    logThrottled(QStringLiteral("gateway %1 %2").arg(line.name, kind), addressOf(peer),
                 QStringLiteral("gateway %1 %2: %3").arg(line.name, peer, what));
}

// Requests that waited too long, or wait for a line that is lost, are
// answered "gateway path unavailable" with nothing on the line.
void LineGateway::expire()
{
    const bool up = service.lineUp();
    const std::vector<GuestRequest> out = up ? policy.takeExpired(service.nowMs()) : policy.takeAll();
    for (const GuestRequest &r : out)
        refuse(r.client, r.request, PathUnavailable, tally.expired,
               up ? QStringLiteral("expired, not started within %1 ms").arg(std::lround(service.nowMs() - r.arrivedMs))
                  : QStringLiteral("line lost"));
    armExpiry();
}

void LineGateway::armExpiry()
{
    const auto soonest = policy.soonestDeadline();
    if (!soonest) {
        expiry.stop();
        return;
    }
    expiry.start(std::max(0, int(std::ceil(*soonest - service.nowMs()))));
}
