#include "link/tcpline.h"

#include <QRegularExpression>

QString TcpTarget::text() const
{
    const QString shownHost = host.contains(u':') ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1:%2").arg(shownHost).arg(port);
}

namespace {
const QString Scheme = QStringLiteral("tcp://");
}

bool isTcpName(const QString &portName)
{
    return portName.startsWith(Scheme, Qt::CaseInsensitive);
}

std::optional<TcpTarget> tcpTarget(const QString &portName)
{
    if (!isTcpName(portName))
        return std::nullopt;
    static const QRegularExpression form(QStringLiteral(R"(^(?:\[([0-9A-Fa-f:.%\w]+)\]|([^\[\]:/\s]+)):(\d{1,5})$)"));
    const auto m = form.match(portName.mid(Scheme.size()));
    const int port = m.hasMatch() ? m.captured(3).toInt() : 0;
    if (port < 1 || port > 65535)
        return std::nullopt;
    return TcpTarget{m.captured(1).isEmpty() ? m.captured(2) : m.captured(1), quint16(port)};
}

std::optional<Failure> tcpNameFailure(const QString &portName)
{
    if (!isTcpName(portName) || tcpTarget(portName))
        return std::nullopt;
    return Failure::withText(Failure::Kind::LineName, portName);
}

bool neverResolves(const QString &host)
{
    const QString h = host.toLower();
    return h == QStringLiteral("invalid") || h.endsWith(QStringLiteral(".invalid"))
           || h.endsWith(QStringLiteral(".invalid."));
}

Failure tcpConnectFailure(const TcpTarget &target, std::optional<QAbstractSocket::SocketError> error,
                          const QString &systemText)
{
    using K = Failure::Kind;
    Failure f;
    if (!error) {
        f.kind = K::ConnectTimeout;
        f.timeoutMs = TcpConnectBoundMs;
    } else if (*error == QAbstractSocket::ConnectionRefusedError) {
        f.kind = K::ConnectRefused;
    } else if (*error == QAbstractSocket::HostNotFoundError) {
        f.kind = K::HostNotFound;
    } else if (*error == QAbstractSocket::NetworkError) {
        f.kind = K::NetworkDown;
    } else {
        f.kind = K::ConnectFailed;
        f.osText = systemText;
    }
    f.address = target.text();
    return f;
}
