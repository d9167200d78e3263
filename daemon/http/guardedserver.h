#pragma once
#include <QSslConfiguration>
#include <QTcpServer>
#include <optional>

class QTcpSocket;

// The listening socket of the HTTP endpoint, which keeps a slow or greedy
// client from holding the service: at most MaxConnections at once (one
// more is closed at once), and a connection is closed when a request has
// not been answered RequestTimeoutMs after its first byte, or when it has
// sat idle that long (not told: a client that is done may leave it open). With a TLS configuration every connection is
// encrypted, and handed on only after its handshake.
class GuardedServer : public QTcpServer {
    Q_OBJECT
public:
    static constexpr int MaxConnections = 16;
    static constexpr int RequestTimeoutMs = 10000;

    explicit GuardedServer(std::optional<QSslConfiguration> tls, QObject *parent = nullptr);
    int openConnections() const { return open; }

signals:
    // A connection closed with a request unfinished after RequestTimeoutMs.
    void timedOut(const QString &peer);
    // Connections closed at once while MaxConnections were open, told when
    // one of those ends: a flood gets one line, not one per connection.
    void refusedWhileFull(int count);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void guard(QTcpSocket *socket);

    std::optional<QSslConfiguration> tls;
    int open = 0;
    int refused = 0; // since the last refusedWhileFull
};
