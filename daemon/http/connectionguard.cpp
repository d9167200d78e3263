#include "daemon/http/connectionguard.h"

#include <QTimer>
#include <arpa/inet.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace Qt::StringLiterals;
using namespace httplimits;

namespace {
unsigned long long bytesReceived(int fd)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return 0;
    return info.tcpi_bytes_received;
}
} // namespace

QString addressText(const sockaddr *address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        const in6_addr &a = reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a))
            ::inet_ntop(AF_INET, a.s6_addr + 12, text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &a, text, sizeof text);
    }
    return QString::fromLatin1(text);
}

ConnectionGuard::ConnectionGuard(bool tls, Tell tell) : tls(tls), tell(std::move(tell))
{
}

ConnectionGuard::~ConnectionGuard() = default;

bool ConnectionGuard::admit(const sockaddr *address)
{
    const QString peer = addressText(address);
    if (connections.size() >= MaxConnections) {
        ++refusedFull;
        return false;
    }
    if (const auto it = perAddress.find(peer); it != perAddress.end() && it->second >= MaxPerAddress) {
        ++refusedFrom[peer];
        return false;
    }
    return true;
}

ConnectionGuard::Connection *ConnectionGuard::opened(int fd, const sockaddr *address)
{
    auto owned = std::make_unique<Connection>();
    Connection *c = owned.get();
    c->fd = fd;
    c->peer = addressText(address);
    c->deadline = std::make_unique<QTimer>();
    c->deadline->setSingleShot(true);
    QObject::connect(c->deadline.get(), &QTimer::timeout, [this, c] { expire(c); });
    connections.emplace(c, std::move(owned));
    ++perAddress[c->peer];
    startDeadline(c);
    return c;
}

void ConnectionGuard::closed(Connection *connection)
{
    const auto it = connections.find(connection);
    if (it == connections.end())
        return;
    const QString peer = connection->peer;
    // A request line longer than the connection's buffer is refused by the
    // library before any callback hears of the request.
    if (const auto received = bytesReceived(connection->fd);
        connection->stage == Stage::Idle && received >= connection->receivedAtAnswer + ConnectionMemoryBytes)
        tell(HttpRefusal::Unreadable, peer, u"request from %1 refused unread: no request line in its first %2 KiB; closed"_s
                                                .arg(peer)
                                                .arg(ConnectionMemoryBytes / 1024));
    connections.erase(it);
    if (--perAddress[peer] == 0)
        perAddress.erase(peer);
    if (refusedFull > 0)
        tell(HttpRefusal::Full, {}, u"%1 connection(s) closed at once while %2 were open"_s
                                        .arg(std::exchange(refusedFull, 0)).arg(MaxConnections));
    if (const auto from = refusedFrom.find(peer); from != refusedFrom.end()) {
        tell(HttpRefusal::AddressFull, peer, u"%1 connection(s) from %2 closed at once while %3 were open from there"_s
                                                 .arg(from->second).arg(peer).arg(MaxPerAddress));
        refusedFrom.erase(from);
    }
}

void ConnectionGuard::requestTaken(Connection *connection)
{
    connection->deadline->stop();
}

void ConnectionGuard::answered(Connection *connection)
{
    connection->stage = Stage::Idle;
    connection->receivedAtAnswer = bytesReceived(connection->fd);
    startDeadline(connection);
}

bool ConnectionGuard::requestBegun(const Connection &connection) const
{
    if (connection.stage != Stage::Idle)
        return connection.stage != Stage::Ended;
    // The handshake's bytes say nothing of a request.
    return !tls && bytesReceived(connection.fd) > connection.receivedAtAnswer;
}

void ConnectionGuard::startDeadline(Connection *connection)
{
    connection->deadline->start(int(RequestTimeoutS * 1000));
}

// The library closes a connection on its own only when the client is idle;
// one that drips a byte now and then is shut down here. Its socket stays
// open until the library, woken by the shutdown, closes it and tells closed().
void ConnectionGuard::expire(Connection *connection)
{
    if (requestBegun(*connection))
        tell(HttpRefusal::Unfinished, connection->peer, u"408 request from %1 unfinished after %2 s, closed"_s
                                                            .arg(connection->peer).arg(RequestTimeoutS));
    ::shutdown(connection->fd, SHUT_RDWR);
}
