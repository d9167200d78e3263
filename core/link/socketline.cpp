#include "link/socketline.h"
#include "link/linefd.h"

SocketLine::SocketLine(QObject *parent) : LinePort(parent)
{
    connectBound.setSingleShot(true);
    connectBound.setInterval(TcpConnectBoundMs);
    connect(&connectBound, &QTimer::timeout, this, [this] { failConnect(tcpConnectFailure(target, std::nullopt)); });
    connect(&socket, &QTcpSocket::connected, this, &SocketLine::onConnected);
    connect(&socket, &QTcpSocket::errorOccurred, this, &SocketLine::onError);
}

SocketLine::~SocketLine()
{
    socket.disconnect();
}

Result<bool> SocketLine::open(const QString &name, qint32)
{
    target = *tcpTarget(name);
    socket.abort();
    connectBound.start();
    if (neverResolves(target.host)) {
        // No resolver is asked: the answer is known (and no query leaves the machine).
        QTimer::singleShot(0, this, [this] {
            if (connectBound.isActive())
                failConnect(tcpConnectFailure(target, QAbstractSocket::HostNotFoundError));
        });
        return false;
    }
    socket.connectToHost(target.host, target.port);
    return false;
}

void SocketLine::close()
{
    connectBound.stop();
    up = false;
    socket.abort();
}

void SocketLine::onConnected()
{
    if (!connectBound.isActive())
        return;
    connectBound.stop();
    // Requests are 8 bytes: they must leave at once, not wait to be merged.
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // A server that vanished without a word (power, cable) is noticed by the system.
    socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    up = true;
    dropInput();
    emit opened();
}

void SocketLine::failConnect(const Failure &failure)
{
    connectBound.stop();
    socket.abort();
    emit openFailed(failure);
}

// Seen at once, exchange or not: the server closed the connection or the network failed.
void SocketLine::onError(QAbstractSocket::SocketError error)
{
    if (connectBound.isActive()) {
        failConnect(tcpConnectFailure(target, error, socket.errorString()));
    } else if (up) {
        Failure lost = Failure::of(Failure::Kind::PortRead);
        lost.osText = socket.errorString();
        emit failed(lost); // the channel closes the line
    }
}

qint64 SocketLine::writeNow(const char *data, qint64 count)
{
    return linefd::writeNow(socket.socketDescriptor(), true, data, count);
}

int SocketLine::waiting() const
{
    return linefd::waiting(socket.socketDescriptor());
}

// A socket's outgoing bytes are the server's once taken, so only the input is dropped.
void SocketLine::dropInput()
{
    socket.skip(socket.bytesAvailable());
}

bool SocketLine::purge()
{
    if (!up)
        return false;
    dropInput();
    return true;
}
