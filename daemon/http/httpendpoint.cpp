#include "daemon/http/httpendpoint.h"
#include "daemon/daemon.h"
#include "daemon/http/guardedserver.h"
#include "daemon/http/metricstext.h"
#include "daemon/http/sitesnapshot.h"
#include "daemon/http/statusjson.h"
#include "daemon/log.h"

#include <QFile>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QMetaEnum>
#include <QSslKey>
#include <QTcpSocket>

using namespace Qt::StringLiterals;

namespace {
// The same time for any token of the same length: a wrong guess shows nothing.
bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= uchar(a[i] ^ b[i]);
    return diff == 0;
}

QByteArray statusPage()
{
    QFile page(u":/kalmird/statuspage.html"_s);
    page.open(QIODevice::ReadOnly);
    return page.readAll();
}

QString peer(QTcpSocket *socket)
{
    return socket->peerAddress().toString();
}
} // namespace

bool carriesToken(const QByteArray &authorization, const QByteArray &token)
{
    const QByteArray value = authorization.trimmed();
    const qsizetype space = value.indexOf(' ');
    if (space < 0 || token.isEmpty())
        return false;
    const QByteArray scheme = value.left(space).toLower();
    const QByteArray rest = value.mid(space + 1).trimmed();
    if (scheme == "bearer")
        return sameBytes(rest, token);
    if (scheme != "basic")
        return false;
    const auto decoded = QByteArray::fromBase64Encoding(rest, QByteArray::AbortOnBase64DecodingErrors);
    const qsizetype colon = decoded ? decoded.decoded.indexOf(':') : -1;
    return colon >= 0 && sameBytes(decoded.decoded.mid(colon + 1), token);
}

HttpEndpoint::HttpEndpoint(Daemon &daemon, HttpConfig config, QByteArray token, QString version, QObject *parent)
    : QAbstractHttpServer(parent), daemon(daemon), cfg(std::move(config)), token(std::move(token)),
      version(std::move(version))
{
}

HttpEndpoint::~HttpEndpoint() = default;

QString HttpEndpoint::listen()
{
    std::optional<QSslConfiguration> tls;
    if (!cfg.certFile.isEmpty()) {
        QFile certFile(cfg.certFile), keyFile(cfg.keyFile);
        if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
            return u"cannot read %1 or %2"_s.arg(cfg.certFile, cfg.keyFile);
        const QList<QSslCertificate> chain = QSslCertificate::fromData(certFile.readAll(), QSsl::Pem);
        const QByteArray keyPem = keyFile.readAll();
        QSslKey key(keyPem, QSsl::Rsa);
        if (key.isNull())
            key = QSslKey(keyPem, QSsl::Ec);
        if (chain.isEmpty() || key.isNull())
            return u"%1 holds no PEM certificate or %2 no RSA or EC key"_s.arg(cfg.certFile, cfg.keyFile);
        QSslConfiguration c = QSslConfiguration::defaultConfiguration();
        c.setLocalCertificateChain(chain);
        c.setPrivateKey(key);
        c.setPeerVerifyMode(QSslSocket::VerifyNone);
        tls = c;
    }
    auto guarded = std::make_unique<GuardedServer>(tls);
    if (!guarded->listen(QHostAddress(cfg.host), quint16(cfg.port)))
        return u"cannot listen on %1 port %2: %3"_s.arg(cfg.host).arg(cfg.port).arg(guarded->errorString());
    connect(guarded.get(), &GuardedServer::timedOut, this, [](const QString &from) {
        logEvent(u"http: 408 request from %1 unfinished after %2 s, closed"_s.arg(from)
                     .arg(GuardedServer::RequestTimeoutMs / 1000));
    });
    connect(guarded.get(), &GuardedServer::refusedWhileFull, this, [](int count) {
        logEvent(u"http: %1 connection(s) closed at once while %2 were open"_s.arg(count)
                     .arg(GuardedServer::MaxConnections));
    });
    server = guarded.release();
    bind(server); // takes it as a child
    logEvent(u"http: listening on %1://%2:%3%4"_s.arg(tls ? u"https"_s : u"http"_s,
                                                      cfg.host.contains(u':') ? u'[' + cfg.host + u']' : cfg.host)
                 .arg(port())
                 .arg(token.isEmpty() ? QString() : u", token required"_s));
    return {};
}

quint16 HttpEndpoint::port() const
{
    return server ? server->serverPort() : 0;
}

bool HttpEndpoint::authorized(const QHttpServerRequest &request) const
{
    return token.isEmpty() || carriesToken(request.value("Authorization"), token);
}

bool HttpEndpoint::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    if (!authorized(request)) {
        fail(request, socket, 401);
        return true;
    }
    const QString path = request.url().path();
    const bool known = path == u"/" || path == u"/metrics" || path == u"/status.json";
    if (!known) {
        fail(request, socket, 404);
        return true;
    }
    if (request.method() != QHttpServerRequest::Method::Get) {
        fail(request, socket, 405);
        return true;
    }
    QHttpServerResponder responder = makeResponder(request, socket);
    if (path == u"/") {
        static const QByteArray page = statusPage();
        responder.write(page, {{"Content-Type", "text/html; charset=utf-8"}, {"Cache-Control", "no-cache"}});
        return true;
    }
    const SiteSnapshot site = takeSnapshot(daemon, version);
    if (path == u"/metrics")
        responder.write(metricsText(site), {{"Content-Type", "text/plain; version=0.0.4; charset=utf-8"}});
    else
        responder.write(statusJson(site), {{"Content-Type", "application/json"}, {"Cache-Control", "no-store"}});
    return true;
}

// Every request is answered by handleRequest; this is never reached.
void HttpEndpoint::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    fail(request, socket, 404);
}

void HttpEndpoint::fail(const QHttpServerRequest &request, QTcpSocket *socket, int status)
{
    const QByteArray method = QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(int(request.method()));
    logEvent(u"http: %1 %2 %3 from %4"_s.arg(status).arg(QString::fromLatin1(method).toUpper(),
                                                        request.url().path(QUrl::FullyEncoded), peer(socket)));
    QHttpServerResponder responder = makeResponder(request, socket);
    const auto code = QHttpServerResponder::StatusCode(status);
    if (status == 401)
        responder.write(QByteArray("token required\n"),
                        {{"Content-Type", "text/plain"}, {"WWW-Authenticate", "Basic realm=\"kalmird\", charset=\"UTF-8\""}},
                        code);
    else
        responder.write(QByteArray(status == 404 ? "not found\n" : "only GET\n"),
                        {{"Content-Type", "text/plain"}}, code);
}
