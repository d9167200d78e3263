#pragma once
#include <QSslConfiguration>
#include <QTcpServer>
#include <optional>

class QTcpSocket;

// The listening socket of the HTTP endpoint, which keeps a slow or greedy
// client from holding the service: at most MaxConnections at once (one
// more is closed at once), and a connection is closed when a request has
// not been answered RequestTimeoutMs after its first byte, or when it has
// sat idle that long. With a TLS configuration every connection is
// encrypted, and handed on only after its handshake.
class GuardedServer : public QTcpServer {
    Q_OBJECT
public:
    static constexpr int MaxConnections = 16;
    static constexpr int RequestTimeoutMs = 10000;

    explicit GuardedServer(std::optional<QSslConfiguration> tls, QObject *parent = nullptr);
    int openConnections() const { return open; }

signals:
    // A connection closed unanswered: too many were open, or it ran out of time.
    void refused(const QString &peer, const QString &why);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void guard(QTcpSocket *socket);

    std::optional<QSslConfiguration> tls;
    int open = 0;
};
