// What the endpoint answers: its routes, the token check and the refusals,
// decided when a request's headers are in, before any body is read.
#include "daemon/http/httpendpoint.h"
#include "daemon/http/metricstext.h"
#include "daemon/http/sitesnapshot.h"
#include "daemon/http/statusjson.h"

#include <QFile>
#include <microhttpd.h>

using namespace Qt::StringLiterals;
using namespace httplimits;
using Connection = ConnectionGuard::Connection;
using Stage = ConnectionGuard::Stage;

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

// A client's path or method as the log may show it: percent-encoded, so no
// byte of it can break the line, and cut short.
QString loggable(const char *text)
{
    constexpr qsizetype MaxLogged = 200;
    const QByteArray encoded = QByteArray(text).toPercentEncoding("/");
    return QString::fromLatin1(encoded.left(MaxLogged)) + (encoded.size() > MaxLogged ? u"..."_s : QString());
}

HttpRefusal refusalOf(int status)
{
    switch (status) {
    case MHD_HTTP_UNAUTHORIZED: return HttpRefusal::NoToken;
    case MHD_HTTP_NOT_FOUND: return HttpRefusal::NoSuchPath;
    case MHD_HTTP_METHOD_NOT_ALLOWED: return HttpRefusal::WrongMethod;
    case MHD_HTTP_CONTENT_TOO_LARGE: return HttpRefusal::BodyRefused;
    default: return HttpRefusal::HeadersTooLarge;
    }
}

const char *refusalText(int status)
{
    switch (status) {
    case MHD_HTTP_UNAUTHORIZED: return "token required\n";
    case MHD_HTTP_NOT_FOUND: return "not found\n";
    case MHD_HTTP_METHOD_NOT_ALLOWED: return "only GET\n";
    case MHD_HTTP_CONTENT_TOO_LARGE: return "no body taken here\n";
    default: return "request line and headers too large\n";
    }
}

// Whether the request comes with a body this route does not take. No route
// takes one today; one that does may take at most MaxBodyBytes, judged from
// Content-Length alone.
bool bodyRefused(MHD_Connection *c)
{
    constexpr long long RouteBodyBytes = 0;
    static_assert(RouteBodyBytes <= MaxBodyBytes);
    if (MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING))
        return true; // a length not known before it is read
    const char *length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    return length && QByteArray(length).trimmed().toULongLong() > RouteBodyBytes;
}

void addHeaders(MHD_Response *r, std::initializer_list<std::pair<const char *, const char *>> headers)
{
    for (const auto &[name, value] : headers)
        MHD_add_response_header(r, name, value);
}

bool queue(MHD_Connection *c, int status, MHD_Response *r)
{
    const bool queued = MHD_queue_response(c, unsigned(status), r) == MHD_YES;
    MHD_destroy_response(r);
    return queued;
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

bool HttpEndpoint::authorized(MHD_Connection *c) const
{
    return token.isEmpty()
           || carriesToken(MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION), token);
}

// Called when the headers are in, and again once the request is whole
// (at once: no route takes a body). A refusal is queued at the first call:
// the library then reads nothing more of that connection and closes it
// once the answer is out.
bool HttpEndpoint::onRequest(MHD_Connection *c, Connection *conn, const char *url, const char *method)
{
    if (conn->stage == Stage::HeadersTaken) {
        conn->stage = Stage::Answered;
        return answer(c, url);
    }
    guard->requestTaken(conn);
    const QByteArray path(url);
    const size_t headerBytes = MHD_get_connection_info(c, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE)->header_size;
    if (headerBytes > MaxHeaderBytes)
        return refuse(c, conn, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, method, url);
    if (!authorized(c))
        return refuse(c, conn, MHD_HTTP_UNAUTHORIZED, method, url);
    if (path != "/" && path != "/metrics" && path != "/status.json")
        return refuse(c, conn, MHD_HTTP_NOT_FOUND, method, url);
    if (qstrcmp(method, MHD_HTTP_METHOD_GET) != 0)
        return refuse(c, conn, MHD_HTTP_METHOD_NOT_ALLOWED, method, url);
    if (bodyRefused(c))
        return refuse(c, conn, MHD_HTTP_CONTENT_TOO_LARGE, method, url);
    conn->stage = Stage::HeadersTaken;
    return true;
}

bool HttpEndpoint::refuse(MHD_Connection *c, Connection *conn, int status, const char *method, const char *url)
{
    conn->stage = Stage::Answered;
    logRefusal(refusalOf(status), conn->peer,
               u"%1 %2 %3 from %4"_s.arg(status).arg(loggable(method), loggable(url), conn->peer));
    const char *text = refusalText(status);
    MHD_Response *r = MHD_create_response_from_buffer(qstrlen(text), const_cast<char *>(text), MHD_RESPMEM_PERSISTENT);
    addHeaders(r, {{MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain"}, {MHD_HTTP_HEADER_CONNECTION, "close"}});
    if (status == MHD_HTTP_UNAUTHORIZED)
        addHeaders(r, {{MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Basic realm=\"kalmird\", charset=\"UTF-8\""}});
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        addHeaders(r, {{MHD_HTTP_HEADER_ALLOW, "GET"}});
    return queue(c, status, r);
}

bool HttpEndpoint::answer(MHD_Connection *c, const QByteArray &path)
{
    if (path == "/") {
        static const QByteArray page = statusPage();
        MHD_Response *r = MHD_create_response_from_buffer(size_t(page.size()), const_cast<char *>(page.constData()),
                                                          MHD_RESPMEM_PERSISTENT);
        addHeaders(r, {{MHD_HTTP_HEADER_CONTENT_TYPE, "text/html; charset=utf-8"}, {MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache"}});
        return queue(c, MHD_HTTP_OK, r);
    }
    const SiteSnapshot site = takeSnapshot(daemon, version);
    const bool metrics = path == "/metrics";
    const QByteArray body = metrics ? metricsText(site) : statusJson(site);
    MHD_Response *r = MHD_create_response_from_buffer(size_t(body.size()), const_cast<char *>(body.constData()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (metrics)
        addHeaders(r, {{MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; version=0.0.4; charset=utf-8"}});
    else
        addHeaders(r, {{MHD_HTTP_HEADER_CONTENT_TYPE, "application/json"}, {MHD_HTTP_HEADER_CACHE_CONTROL, "no-store"}});
    return queue(c, MHD_HTTP_OK, r);
}
