#pragma once
#include "link/lineport.h"
#include "link/tcpline.h"
#include <QTcpSocket>
#include <QTimer>

// A line behind a serial device server (raw TCP): the server's port speed is
// set on the server, and its characters come packed in a few segments.
class SocketLine : public LinePort {
    Q_OBJECT
public:
    explicit SocketLine(QObject *parent = nullptr);
    ~SocketLine() override;

    // Starts the connect; it ends in opened() or, within TcpConnectBoundMs, openFailed().
    Result<bool> open(const QString &name, qint32 baud) override;
    void close() override;
    void closeLost() override { close(); }
    bool isOpen() const override { return up; }
    bool opening() const override { return !up && connectBound.isActive(); }
    QIODevice &device() override { return socket; }
    qint64 writeNow(const char *data, qint64 count) override;
    int waiting() const override;
    void dropInput() override;
    bool purge() override;

private:
    void onConnected();
    void onError(QAbstractSocket::SocketError error);
    void failConnect(const Failure &failure);

    QTcpSocket socket;
    TcpTarget target;
    bool up = false;
    QTimer connectBound;
};
