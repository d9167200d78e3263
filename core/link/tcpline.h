#pragma once
#include "link/failure.h"
#include <QAbstractSocket>
#include <QString>
#include <optional>

// A line reached through a serial device server: "tcp://HOST:PORT", or
// "tcp://[ADDR]:PORT" for an IPv6 address. The server passes the bytes of its
// RS-485 port unchanged (raw TCP).
struct TcpTarget {
    QString host;
    quint16 port = 0;
    // HOST:PORT as the user wrote it, brackets around an IPv6 address kept.
    QString text() const;
};

// True for a "tcp://" name.
bool isTcpName(const QString &portName);
// The target a port name stands for; nullopt for a local port's name and
// for a "tcp://" name without a host or a valid port.
std::optional<TcpTarget> tcpTarget(const QString &portName);
// What is wrong with a "tcp://" name; nothing for a good one or a local name.
std::optional<Failure> tcpNameFailure(const QString &portName);

// A name under ".invalid", which no resolver may resolve (RFC 6761).
bool neverResolves(const QString &host);

// How long a connect may take before it counts as failed.
inline constexpr int TcpConnectBoundMs = 3000;

// A connect that failed with `error` (a time-out when nullopt).
Failure tcpConnectFailure(const TcpTarget &target, std::optional<QAbstractSocket::SocketError> error,
                          const QString &systemText = {});
