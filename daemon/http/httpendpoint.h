#pragma once
#include "daemon/config.h"
#include "daemon/http/connectionguard.h"
#include "daemon/http/httplimits.h"
#include <QByteArray>
#include <QObject>
#include <memory>

class Daemon;
class QSocketNotifier;
class QTimer;
struct MHD_Connection;
struct MHD_Daemon;

// kalmird's HTTP endpoint, on libmicrohttpd and on the service's own event
// loop (no thread of its own): the library's epoll descriptor is watched
// like any socket, and the library is run when it is ready or when its
// time-out is due. /metrics for Prometheus, the status page at / and its
// data at /status.json. Read only. With a token every request must carry
// it, as a bearer token or as the password of basic authentication (any
// user name). What a client may cost is in httplimits.h; a request that
// fails gets one line in the log, a good one none.
class HttpEndpoint : public QObject {
    Q_OBJECT
public:
    HttpEndpoint(Daemon &daemon, HttpConfig config, QByteArray token, QString version, QObject *parent = nullptr);
    ~HttpEndpoint() override;

    // Opens the listening socket (reading the certificate and key for
    // HTTPS); the reason when it cannot, else empty.
    QString listen();
    // The port listened on (the configured one, or the system's pick for 0).
    quint16 port() const;

private:
    friend struct HttpHooks; // the library's callbacks

    // Every line of a refused or dropped client goes out here.
    void logRefusal(HttpRefusal kind, const QString &peer, const QString &text);

    QString loadTls();
    QString start(int listenFd);
    void run();
    // The access handler's work: true when the request was taken (answered
    // or let on to its end), false to have the library drop the connection.
    bool onRequest(MHD_Connection *c, ConnectionGuard::Connection *conn, const char *url, const char *method);
    bool refuse(MHD_Connection *c, ConnectionGuard::Connection *conn, int status, const char *method, const char *url);
    bool answer(MHD_Connection *c, const QByteArray &path);
    bool authorized(MHD_Connection *c) const;

    Daemon &daemon;
    HttpConfig cfg;
    QByteArray token;
    QString version;
    QByteArray certPem, keyPem;
    QByteArray startError; // the library's words while it starts
    quint16 boundPort = 0;
    MHD_Daemon *mhd = nullptr;
    std::unique_ptr<ConnectionGuard> guard;
    std::unique_ptr<QSocketNotifier> ready;
    std::unique_ptr<QTimer> due;
};

// Whether an Authorization header carries this token: "Bearer <token>", or
// "Basic" with base64 of "<any user>:<token>".
bool carriesToken(const QByteArray &authorization, const QByteArray &token);
