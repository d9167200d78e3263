#include "daemon/http/httpendpoint.h"
#include "daemon/log.h"
#include "daemon/logthrottle.h"

#include <QFile>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslKey>
#include <QTimer>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;
using namespace httplimits;
using Connection = ConnectionGuard::Connection;
using Stage = ConnectionGuard::Stage;

// The library's callbacks, each handing on to the endpoint or its guard.
struct HttpHooks {
    static HttpEndpoint *self(void *cls) { return static_cast<HttpEndpoint *>(cls); }

    static MHD_Result admit(void *cls, const sockaddr *address, socklen_t)
    {
        return self(cls)->guard->admit(address) ? MHD_YES : MHD_NO;
    }

    static void connection(void *cls, MHD_Connection *c, void **socketContext, MHD_ConnectionNotificationCode code)
    {
        ConnectionGuard &guard = *self(cls)->guard;
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const int fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD)->connect_fd;
            *socketContext = guard.opened(fd, MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS)->client_addr);
        } else if (*socketContext) {
            guard.closed(static_cast<Connection *>(*socketContext));
        }
    }

    // Called once the request line is in: from here on the library tells
    // how the request ended, even one it refused on its own.
    static void *requestLine(void *, const char *, MHD_Connection *c)
    {
        auto *conn = static_cast<Connection *>(
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT)->socket_context);
        conn->stage = Stage::LineIn;
        return conn;
    }

    static MHD_Result request(void *cls, MHD_Connection *c, const char *url, const char *method, const char *,
                              const char *, size_t *uploadSize, void **context)
    {
        // No route takes a body: one that came anyway is never read on.
        if (*uploadSize != 0)
            return MHD_NO;
        return self(cls)->onRequest(c, static_cast<Connection *>(*context), url, method) ? MHD_YES : MHD_NO;
    }

    static void completed(void *cls, MHD_Connection *, void **context, MHD_RequestTerminationCode how)
    {
        auto *conn = static_cast<Connection *>(*context);
        if (!conn)
            return;
        HttpEndpoint &endpoint = *self(cls);
        if (how == MHD_REQUEST_TERMINATED_COMPLETED_OK) {
            endpoint.guard->answered(conn);
            return;
        }
        if (how == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED && conn->stage == Stage::Answered)
            endpoint.logRefusal(HttpRefusal::AnswerNotTaken, conn->peer,
                                u"answer to %1 not taken for %2 s, closed"_s.arg(conn->peer).arg(RequestTimeoutS));
        else if (how == MHD_REQUEST_TERMINATED_WITH_ERROR && conn->stage == Stage::LineIn)
            endpoint.logRefusal(HttpRefusal::Unreadable, conn->peer,
                                u"request from %1 refused unread: not HTTP, or its headers over %2 KiB; closed"_s
                                    .arg(conn->peer)
                                    .arg(MaxHeaderBytes / 1024));
        conn->stage = Stage::Ended;
    }

    // Heard only while the library starts: the reason it cannot. Later
    // words would be one line per bad client, which the endpoint tells itself.
    static void log(void *cls, const char *format, va_list arguments)
    {
        HttpEndpoint &endpoint = *self(cls);
        if (endpoint.mhd)
            return;
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        endpoint.startError += QByteArray(text).trimmed() + ' ';
    }
};

namespace {
// A non-blocking listening socket on host:port; -1 and the reason when not.
int openListener(const QString &host, int port, QString *error)
{
    const QHostAddress address(host);
    sockaddr_storage storage{};
    socklen_t size = 0;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *a = reinterpret_cast<sockaddr_in *>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(uint16_t(port));
        a->sin_addr.s_addr = htonl(address.toIPv4Address());
        size = sizeof *a;
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(uint16_t(port));
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&a->sin6_addr, &bytes, sizeof bytes);
        size = sizeof *a;
    } else {
        *error = u"not an IP address"_s;
        return -1;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0
        || ::bind(fd, reinterpret_cast<sockaddr *>(&storage), size) != 0 || ::listen(fd, 64) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

quint16 localPort(int fd)
{
    sockaddr_storage storage{};
    socklen_t size = sizeof storage;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&storage), &size) != 0)
        return 0;
    return ntohs(storage.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port
                                               : reinterpret_cast<sockaddr_in *>(&storage)->sin_port);
}
} // namespace

HttpEndpoint::HttpEndpoint(Daemon &daemon, HttpConfig config, QByteArray token, QString version, QObject *parent)
    : QObject(parent), daemon(daemon), cfg(std::move(config)), token(std::move(token)), version(std::move(version))
{
}

HttpEndpoint::~HttpEndpoint()
{
    ready.reset(); // before the library closes the descriptor it watches
    if (mhd)
        MHD_stop_daemon(mhd); // closes the connections, told to the guard
}

// A flood of refusals is one line a second per kind and client address.
void HttpEndpoint::logRefusal(HttpRefusal kind, const QString &peer, const QString &text)
{
    logThrottled(u"http refusal %1"_s.arg(int(kind)), peer, u"http: "_s + text);
}

QString HttpEndpoint::listen()
{
    if (!cfg.certFile.isEmpty())
        if (QString problem = loadTls(); !problem.isEmpty())
            return problem;
    QString problem;
    const int fd = openListener(cfg.host, cfg.port, &problem);
    if (fd < 0)
        return u"cannot listen on %1 port %2: %3"_s.arg(cfg.host).arg(cfg.port).arg(problem);
    boundPort = localPort(fd);
    if (problem = start(fd); !problem.isEmpty())
        return problem;
    logEvent(u"http: listening on %1://%2:%3%4"_s.arg(certPem.isEmpty() ? u"http"_s : u"https"_s,
                                                      cfg.host.contains(u':') ? u'[' + cfg.host + u']' : cfg.host)
                 .arg(boundPort)
                 .arg(token.isEmpty() ? QString() : u", token required"_s));
    return {};
}

// The certificate and key are checked here, so that a wrong file is named
// in words; the library then takes them as they are.
QString HttpEndpoint::loadTls()
{
    QFile certFile(cfg.certFile), keyFile(cfg.keyFile);
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
        return u"cannot read %1 or %2"_s.arg(cfg.certFile, cfg.keyFile);
    certPem = certFile.readAll();
    keyPem = keyFile.readAll();
    const bool key = !QSslKey(keyPem, QSsl::Rsa).isNull() || !QSslKey(keyPem, QSsl::Ec).isNull();
    if (QSslCertificate::fromData(certPem, QSsl::Pem).isEmpty() || !key)
        return u"%1 holds no PEM certificate or %2 no RSA or EC key"_s.arg(cfg.certFile, cfg.keyFile);
    if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES)
        return u"this build of libmicrohttpd has no TLS"_s;
    // The library wants them ending in a NUL.
    certPem.append('\0');
    keyPem.append('\0');
    return {};
}

QString HttpEndpoint::start(int listenFd)
{
    const bool tls = !certPem.isEmpty();
    guard = std::make_unique<ConnectionGuard>(
        tls, [this](HttpRefusal kind, const QString &peer, const QString &text) { logRefusal(kind, peer, text); });
    // MHD_USE_EPOLL without an internal thread: this loop runs it. The
    // connection limits are the guard's at accept, where a refusal can be
    // told with its address (the library's own would close unseen).
    const unsigned flags = MHD_USE_EPOLL | MHD_USE_ERROR_LOG | (tls ? MHD_USE_TLS : 0);
    std::vector<MHD_OptionItem> options{
        {MHD_OPTION_LISTEN_SOCKET, listenFd, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, intptr_t(ConnectionMemoryBytes), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, intptr_t(RequestTimeoutS), nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, intptr_t(&HttpHooks::connection), this},
        {MHD_OPTION_URI_LOG_CALLBACK, intptr_t(&HttpHooks::requestLine), this},
        {MHD_OPTION_NOTIFY_COMPLETED, intptr_t(&HttpHooks::completed), this},
    };
    if (tls) {
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, certPem.data()});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, keyPem.data()});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    mhd = MHD_start_daemon(flags, 0, &HttpHooks::admit, this, &HttpHooks::request, this, MHD_OPTION_EXTERNAL_LOGGER,
                           &HttpHooks::log, this, MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    if (!mhd) // it has closed the listening socket
        return u"cannot start the HTTP%1 server: %2"_s.arg(tls ? u"S"_s : QString(),
                                                          QString::fromLocal8Bit(startError.trimmed()));
    const int epollFd = MHD_get_daemon_info(mhd, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
    ready = std::make_unique<QSocketNotifier>(epollFd, QSocketNotifier::Read);
    connect(ready.get(), &QSocketNotifier::activated, this, &HttpEndpoint::run);
    due = std::make_unique<QTimer>();
    due->setSingleShot(true);
    connect(due.get(), &QTimer::timeout, this, &HttpEndpoint::run);
    run();
    return {};
}

// The library does what is ready without waiting, then says when it wants
// to run again at the latest (a connection's time-out, or at once when it
// has more to do than one run did).
void HttpEndpoint::run()
{
    MHD_run(mhd);
    MHD_UNSIGNED_LONG_LONG ms = 0;
    if (MHD_get_timeout(mhd, &ms) == MHD_YES)
        due->start(int(std::min<MHD_UNSIGNED_LONG_LONG>(ms, INT_MAX)));
    else
        due->stop();
}

quint16 HttpEndpoint::port() const
{
    return mhd ? boundPort : 0;
}
