#include "daemon/http/guardedserver.h"
#include <QHostAddress>
#include <QSslSocket>
#include <QTimer>
#include <unistd.h>

GuardedServer::GuardedServer(std::optional<QSslConfiguration> tls, QObject *parent)
    : QTcpServer(parent), tls(std::move(tls))
{
}

void GuardedServer::incomingConnection(qintptr descriptor)
{
    if (open >= MaxConnections) {
        ::close(int(descriptor));
        ++refused;
        return;
    }
    if (!tls) {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
        guard(socket);
        addPendingConnection(socket);
        return;
    }
    auto *socket = new QSslSocket(this);
    socket->setSslConfiguration(*tls);
    socket->setSocketDescriptor(descriptor);
    guard(socket);
    connect(socket, &QSslSocket::encrypted, this, [this, socket] { addPendingConnection(socket); });
    connect(socket, &QSslSocket::sslErrors, socket, &QSslSocket::abort);
    socket->startServerEncryption();
}

// One timer per connection: it runs from the connect, from a request's
// first byte (after an answer or at the start) and from each answer.
void GuardedServer::guard(QTcpSocket *socket)
{
    ++open;
    // An answer's last segment must not wait for the client's delayed ACK.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    auto *deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    deadline->start(RequestTimeoutMs);
    auto inRequest = std::make_shared<bool>(false);
    connect(socket, &QTcpSocket::readyRead, deadline, [deadline, inRequest] {
        if (!std::exchange(*inRequest, true))
            deadline->start(RequestTimeoutMs);
    });
    connect(socket, &QTcpSocket::bytesWritten, deadline, [deadline, inRequest] {
        *inRequest = false;
        deadline->start(RequestTimeoutMs);
    });
    connect(deadline, &QTimer::timeout, socket, [this, socket, inRequest] {
        if (*inRequest)
            emit timedOut(socket->peerAddress().toString());
        socket->abort();
    });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QObject::destroyed, this, [this] {
        --open;
        if (refused > 0)
            emit refusedWhileFull(std::exchange(refused, 0));
    });
}
