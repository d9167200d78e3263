#include "support/ser2net.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>
#include "support/childprocess.h"

Ser2Net::Ser2Net(const QString &device, int baud) : tcpPort(freeLocalPort())
{
    QFile config(dir.filePath(QStringLiteral("ser2net.yaml")));
    if (!config.open(QIODevice::WriteOnly))
        qFatal("ser2net: no config file");
    // Set as the README advises for a detector line: Nagle off, and each
    // character passed on as it comes (ser2net's packing wait is at least
    // a millisecond, two characters at 19200 baud, on every reply).
    config.write(QStringLiteral("connection: &line\n"
                                "  accepter: tcp(nodelay),127.0.0.1,%1\n"
                                "  connector: serialdev,%2,%3n81,local\n"
                                "  options:\n    chardelay: false\n")
                     .arg(tcpPort)
                     .arg(device)
                     .arg(baud)
                     .toUtf8());
}

bool Ser2Net::start()
{
    // -n: in the foreground, -u: no lock files, its own pid file.
    stopsWithTest(proc);
    proc.start(QStringLiteral("ser2net"), {"-n", "-u", "-P", dir.filePath("pid"), "-c", dir.filePath("ser2net.yaml")});
    if (!proc.waitForStarted(5000))
        return false;
    for (int i = 0; i < 100; ++i) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, tcpPort);
        if (probe.waitForConnected(100)) {
            probe.abort();
            return true;
        }
        QTest::qWait(50);
    }
    return false;
}

void Ser2Net::stop()
{
    if (proc.state() == QProcess::NotRunning)
        return;
    proc.terminate();
    if (!proc.waitForFinished(5000)) {
        proc.kill();
        proc.waitForFinished(5000);
    }
}

PieceRelay::PieceRelay(quint16 upstreamPort, Pieces pieces) : upstream(upstreamPort), mode(pieces)
{
    server.listen(QHostAddress::LocalHost, 0);
    connect(&server, &QTcpServer::newConnection, this, &PieceRelay::accept);
    connect(&toServer, &QTcpSocket::readyRead, this, [this] {
        const bool idle = held.isEmpty();
        held += toServer.readAll();
        if (idle)
            handOn();
    });
}

void PieceRelay::accept()
{
    client = server.nextPendingConnection();
    toServer.connectToHost(QHostAddress::LocalHost, upstream);
    connect(client, &QTcpSocket::readyRead, this, [this] { toServer.write(client->readAll()); });
}

// One piece now, the rest a few ms later, each as a TCP segment of its own.
void PieceRelay::handOn()
{
    if (held.isEmpty() || !client)
        return;
    const qsizetype n = mode == Pieces::ByteByByte || held.size() < 2
                            ? 1
                            : qsizetype(QRandomGenerator::global()->bounded(1, int(held.size())));
    client->write(held.left(n));
    client->flush();
    held.remove(0, n);
    QTimer::singleShot(mode == Pieces::ByteByByte ? 1 : 15, this, &PieceRelay::handOn);
}

SilentRelay::SilentRelay(quint16 upstreamPort) : upstream(upstreamPort)
{
    server.listen(QHostAddress::LocalHost, 0);
    connect(&server, &QTcpServer::newConnection, this, &SilentRelay::accept);
}

void SilentRelay::dropConnection()
{
    for (QTcpSocket *old : {client, toServer})
        if (old) {
            old->disconnect(this);
            old->abort();
            old->deleteLater();
        }
    client = toServer = nullptr;
}

void SilentRelay::cut()
{
    refusing = true;
    dropConnection();
}

void SilentRelay::accept()
{
    // The server takes one connection: the one left behind goes first.
    dropConnection();
    if (refusing) {
        delete server.nextPendingConnection();
        return;
    }
    ++accepted;
    silent = false;
    client = server.nextPendingConnection();
    toServer = new QTcpSocket(this);
    toServer->connectToHost(QHostAddress::LocalHost, upstream);
    const auto pass = [this](QTcpSocket *from, QTcpSocket *to) {
        const QByteArray bytes = from->readAll();
        if (!silent)
            to->write(bytes);
        else if (from == client)
            dropped += bytes;
    };
    connect(client, &QTcpSocket::readyRead, this, [=, this] { pass(client, toServer); });
    connect(toServer, &QTcpSocket::readyRead, this, [=, this] { pass(toServer, client); });
    connect(client, &QTcpSocket::disconnected, toServer, &QTcpSocket::abort);
    connect(toServer, &QTcpSocket::disconnected, client, &QTcpSocket::abort);
}
