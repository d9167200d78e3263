#include "daemon/gateway/guestconnection.h"
#include "daemon/gateway/mbap.h"
#include "daemon/gateway/rtuframes.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <algorithm>

namespace {
// What a guest may have sent ahead while one request is under way; the rest
// stays with the kernel, which slows the guest down.
constexpr qint64 ReadAhead = 4096;

QString peerOf(const QTcpSocket &s)
{
    const QHostAddress a = s.peerAddress();
    const QString host = a.protocol() == QAbstractSocket::IPv6Protocol ? u'[' + a.toString() + u']' : a.toString();
    return host + u':' + QString::number(s.peerPort());
}
} // namespace

GuestConnection::GuestConnection(QTcpSocket *socket, Kind kind, int number, int idleTimeoutS, QObject *parent)
    : QObject(parent), socket(socket), how(kind), id(number), idleMs(idleTimeoutS * 1000), peerText(peerOf(*socket))
{
    socket->setParent(this);
    socket->setReadBufferSize(ReadAhead);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    idle.setSingleShot(true);
    connect(&idle, &QTimer::timeout, this, &GuestConnection::onIdle);
    connect(socket, &QTcpSocket::readyRead, this, &GuestConnection::onReadable);
    connect(socket, &QTcpSocket::disconnected, this, [this] { close(QStringLiteral("closed by the client")); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        close(e == QAbstractSocket::RemoteHostClosedError ? QStringLiteral("closed by the client")
                                                          : this->socket->errorString());
    });
    idle.start(idleMs);
    clock.start();
}

// Bytes are taken as they come, even behind a request under way, so that
// each request knows when it came.
void GuestConnection::onReadable()
{
    if (ended)
        return;
    const QByteArray more = socket->read(ReadAhead - buffer.size());
    if (!more.isEmpty()) {
        buffer += more;
        marks.emplace_back(buffer.size(), clock.elapsed());
    }
    takeRequests();
}

void GuestConnection::takeRequests()
{
    while (!busy && !ended)
        if (!(how == Kind::ModbusTcp ? takeMbap() : takeRtu()))
            return;
}

double GuestConnection::consume(qsizetype length)
{
    buffer.remove(0, length);
    // The read that brought the request's last byte: the first that filled the buffer past it.
    const auto came = std::find_if(marks.begin(), marks.end(), [&](const auto &m) { return m.first >= length; });
    const qint64 at = came == marks.end() ? clock.elapsed() : came->second;
    while (!marks.empty() && marks.front().first <= length)
        marks.pop_front();
    for (auto &m : marks)
        m.first -= length;
    return double(clock.elapsed() - at);
}

bool GuestConnection::takeMbap()
{
    const mbap::Cut cut = mbap::cut(buffer);
    if (cut.kind == mbap::Cut::Kind::Bad) {
        close(QStringLiteral("bad MBAP header (%1)").arg(cut.why));
        return false;
    }
    if (cut.kind == mbap::Cut::Kind::NeedMore)
        return false;
    const double age = consume(cut.length);
    transaction = cut.request.transaction;
    unit = cut.request.unit;
    busy = true;
    idle.stop();
    emit requested(this, char(unit) + cut.request.pdu, age);
    return true;
}

// A frame with a bad CRC is passed over as a device on the line would. A
// TCP stream has no silence to find the next frame by: once the front is
// no frame (half of one, say, with a whole one behind it) the next whole
// frame with a good CRC is looked for byte by byte, and what comes before
// it is dropped; 256 bytes without one close the connection.
bool GuestConnection::takeRtu()
{
    if (!hunting) {
        const int length = rtuframe::requestLength(buffer);
        if (length > 0 && buffer.size() >= length && rtuframe::crcGood(buffer.left(length)))
            return takeRtuFrame(length);
        hunting = length > 0 && buffer.size() >= length;
    }
    if (hunting)
        for (qsizetype from = 1; from < std::min<qsizetype>(buffer.size(), rtuframe::MaxFrame); ++from) {
            const QByteArray rest = buffer.mid(from, rtuframe::MaxFrame);
            const int length = rtuframe::requestLength(rest);
            if (length > 0 && rest.size() >= length && rtuframe::crcGood(rest.left(length))) {
                consume(from);
                hunting = false;
                return takeRtuFrame(length);
            }
        }
    if (buffer.size() >= rtuframe::MaxFrame)
        close(QStringLiteral("no RTU frame in %1 bytes").arg(buffer.size()));
    return false;
}

bool GuestConnection::takeRtuFrame(int length)
{
    const QByteArray frame = buffer.left(length);
    const double age = consume(length);
    unit = uint8_t(frame[0]);
    busy = true;
    idle.stop();
    emit requested(this, frame.chopped(2), age);
    return true;
}

void GuestConnection::answer(const QByteArray &pdu)
{
    if (ended || !busy)
        return;
    socket->write(how == Kind::ModbusTcp ? mbap::reply(transaction, unit, pdu)
                                         : rtuframe::withCrc(char(unit) + pdu));
    finish();
}

void GuestConnection::drop()
{
    if (!ended && busy)
        finish();
}

void GuestConnection::finish()
{
    busy = false;
    idle.start(idleMs);
    // The next request may be in already; read it from the event loop, not
    // from inside the answer.
    QMetaObject::invokeMethod(this, &GuestConnection::onReadable, Qt::QueuedConnection);
}

void GuestConnection::onIdle()
{
    close(buffer.isEmpty() ? QStringLiteral("idle for %1 s").arg(idleMs / 1000)
                           : QStringLiteral("half a request for %1 s").arg(idleMs / 1000));
}

void GuestConnection::close(const QString &why)
{
    if (std::exchange(ended, true))
        return;
    idle.stop();
    socket->disconnect(this);
    socket->abort();
    emit closed(this, why);
    deleteLater();
}
