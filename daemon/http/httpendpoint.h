#pragma once
#include "daemon/config.h"
#include <QAbstractHttpServer>
#include <QByteArray>

class Daemon;
class GuardedServer;

// kalmird's HTTP endpoint, on the service's own event loop: /metrics for
// Prometheus, the status page at / and its data at /status.json. Read only.
// With a token every request must carry it, as a bearer token or as the
// password of basic authentication (any user name). A request that fails
// (401, 404, 405) gets one line in the log; a good one none.
class HttpEndpoint : public QAbstractHttpServer {
    Q_OBJECT
public:
    HttpEndpoint(Daemon &daemon, HttpConfig config, QByteArray token, QString version, QObject *parent = nullptr);
    ~HttpEndpoint() override;

    // Opens the listening socket (reading the certificate and key for
    // HTTPS); the reason when it cannot, else empty.
    QString listen();
    // The port listened on (the configured one, or the system's pick for 0).
    quint16 port() const;

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    bool authorized(const QHttpServerRequest &request) const;
    void fail(const QHttpServerRequest &request, QTcpSocket *socket, int status);

    Daemon &daemon;
    HttpConfig cfg;
    QByteArray token;
    QString version;
    GuardedServer *server = nullptr; // a child once listening
};

// Whether an Authorization header carries this token: "Bearer <token>", or
// "Basic" with base64 of "<any user>:<token>".
bool carriesToken(const QByteArray &authorization, const QByteArray &token);
