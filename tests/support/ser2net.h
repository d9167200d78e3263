#pragma once
#include "support/localport.h"
#include <QProcess>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>


// The real serial device server: ser2net in raw TCP mode on 127.0.0.1,
// passing the bytes of a serial device (a simulator's pseudo-terminal) at
// `baud`, 8N1. Stops it at the end.
class Ser2Net {
public:
    Ser2Net(const QString &device, int baud);
    ~Ser2Net() { stop(); }
    // Starts it (again on the same port) and waits until it takes connections.
    bool start();
    void stop();
    quint16 port() const { return tcpPort; }
    QString url() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(tcpPort); }

private:
    QTemporaryDir dir;
    QProcess proc;
    quint16 tcpPort;
};

// A relay between the program and a server that hands every reply over in
// pieces: one byte at a time, or split in two at a random place.
class PieceRelay : public QObject {
public:
    enum class Pieces { ByteByByte, RandomSplit };
    PieceRelay(quint16 upstreamPort, Pieces pieces);
    QString url() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort()); }

private:
    void accept();
    void handOn();

    quint16 upstream;
    Pieces mode;
    QTcpServer server;
    QTcpSocket *client = nullptr;
    QTcpSocket toServer;
    QByteArray held; // reply bytes not yet handed over
};

// A relay to a server (a serial server, a broker) that can hang or break:
// after silence() the connection it carries passes no byte either way,
// though its socket stays open; the next connection is relayed again. cut()
// closes the connection and turns every new one away until restore(). A
// close on either side closes the other.
class SilentRelay : public QObject {
public:
    explicit SilentRelay(quint16 upstreamPort);
    QString url() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(server.serverPort()); }
    quint16 port() const { return server.serverPort(); }
    void silence() { silent = true; }
    void cut();
    void restore() { refusing = silent = false; }
    int connections() const { return accepted; }
    // What the program sent while the relay was silent, passed to nobody.
    QByteArray swallowed() const { return dropped; }

private:
    void accept();
    void dropConnection();

    quint16 upstream;
    QTcpServer server;
    QTcpSocket *client = nullptr;
    QTcpSocket *toServer = nullptr;
    bool silent = false;
    bool refusing = false;
    int accepted = 0;
    QByteArray dropped;
};
