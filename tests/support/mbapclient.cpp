#include "support/mbapclient.h"

#include <QEventLoop>
#include <QTimer>

bool loopUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() >= timeoutMs)
            loop.quit();
    });
    check.start(1);
    if (!done())
        loop.exec();
    return done();
}

void loopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

MbapClient::MbapClient(quint16 port, QObject *parent) : QObject(parent), port(port)
{
    connect(&sock, &QTcpSocket::readyRead, this, &MbapClient::onReadable);
    connect(&sock, &QTcpSocket::disconnected, this, [this] {
        if (!std::exchange(closedSeen, true))
            all.append({{}, double(sentAt.nsecsElapsed()) / 1e6});
    });
}

// The socket goes last: its close must not reach answers that are gone.
MbapClient::~MbapClient()
{
    sock.disconnect(this);
    sock.abort();
}

bool MbapClient::open(int timeoutMs, const QHostAddress &from)
{
    if (!from.isNull() && !sock.bind(from))
        return false;
    sock.connectToHost(QHostAddress::LocalHost, port);
    sock.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    loopUntil([this] { return sock.state() == QAbstractSocket::ConnectedState || sock.state() == QAbstractSocket::UnconnectedState; },
              timeoutMs);
    return sock.state() == QAbstractSocket::ConnectedState;
}

void MbapClient::send(uint8_t unit, const QByteArray &pdu)
{
    ++transaction;
    QByteArray adu;
    for (const int v : {transaction >> 8, transaction & 0xFF, 0, 0, int((pdu.size() + 1) >> 8), int((pdu.size() + 1) & 0xFF)})
        adu.append(char(v));
    adu.append(char(unit));
    sendRaw(adu + pdu);
}

void MbapClient::sendRaw(const QByteArray &bytes)
{
    sentAt.start();
    ++sent;
    sock.write(bytes);
}

void MbapClient::repeat(uint8_t unit, const QByteArray &pdu)
{
    repeating = true;
    repeatUnit = unit;
    repeatPdu = pdu;
    send(unit, pdu);
}

void MbapClient::onReadable()
{
    pending += sock.readAll();
    // Header: transaction, protocol, length (unit and PDU), unit.
    while (pending.size() >= 7) {
        const int length = uint8_t(pending[4]) << 8 | uint8_t(pending[5]);
        if (pending.size() < 6 + length)
            return;
        all.append({pending.mid(7, length - 1), double(sentAt.nsecsElapsed()) / 1e6,
                    uint16_t(uint8_t(pending[0]) << 8 | uint8_t(pending[1]))});
        pending.remove(0, 6 + length);
        if (repeating)
            send(repeatUnit, repeatPdu);
    }
}

std::optional<MbapClient::Answer> MbapClient::next(int timeoutMs)
{
    if (!loopUntil([this] { return all.size() > taken; }, timeoutMs))
        return std::nullopt;
    return all[taken++];
}
