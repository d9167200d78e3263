#pragma once
#include "daemon/http/httplimits.h"
#include <QString>
#include <functional>
#include <map>
#include <memory>

struct sockaddr;
class QTimer;

// The endpoint's account of its connections, below HTTP: who may come in
// (at most MaxConnections, MaxPerAddress from one address; the rest closed
// at accept), and each connection's deadline: its next request must be
// whole RequestTimeoutS after it opened or after its last answer went out,
// or it is shut down. Connections turned away at accept are told in one
// line when a slot frees, not one each.
class ConnectionGuard {
public:
    // Where a connection is in its current request; Ended: the request
    // ended without its answer, and the connection is on its way out.
    enum class Stage { Idle, LineIn, HeadersTaken, Answered, Ended };

    struct Connection {
        int fd = -1;
        QString peer;
        Stage stage = Stage::Idle;
        unsigned long long receivedAtAnswer = 0; // the socket's bytes received when the last answer went out
        std::unique_ptr<QTimer> deadline;
    };

    using Tell = std::function<void(HttpRefusal, const QString &peer, const QString &text)>;

    ConnectionGuard(bool tls, Tell tell);
    ~ConnectionGuard();

    // At accept: whether there is room for one more from this address.
    bool admit(const sockaddr *address);
    // A connection taken in; the guard owns it until closed().
    Connection *opened(int fd, const sockaddr *address);
    void closed(Connection *connection);
    // Its request is whole (or refused): the deadline stops until the answer is out.
    void requestTaken(Connection *connection);
    // Its answer went out: the next request's deadline starts.
    void answered(Connection *connection);
    // Whether bytes came since the last answer (a request was begun), as
    // far as the socket tells: over TLS only a request line counts.
    bool requestBegun(const Connection &connection) const;
    unsigned open() const { return unsigned(connections.size()); }

private:
    void startDeadline(Connection *connection);
    void expire(Connection *connection);

    bool tls;
    Tell tell;
    std::map<Connection *, std::unique_ptr<Connection>> connections;
    std::map<QString, unsigned> perAddress;
    unsigned refusedFull = 0; // since a slot last freed
    std::map<QString, unsigned> refusedFrom;
};

// An address as the log shows it; an IPv4 client of an IPv6 socket as IPv4.
QString addressText(const sockaddr *address);
