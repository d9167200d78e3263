#include "link/tcpline.h"
#include "link/apperror.h"

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
        throw AppError(QStringLiteral("Адрес линии должен иметь вид tcp://УЗЕЛ:ПОРТ: %1").arg(portName));
    return TcpTarget{m.captured(1).isEmpty() ? m.captured(2) : m.captured(1), quint16(port)};
}

bool neverResolves(const QString &host)
{
    const QString h = host.toLower();
    return h == QStringLiteral("invalid") || h.endsWith(QStringLiteral(".invalid"))
           || h.endsWith(QStringLiteral(".invalid."));
}

QString tcpConnectFailure(const TcpTarget &target, std::optional<QAbstractSocket::SocketError> error,
                          const QString &systemText)
{
    QString cause;
    if (!error)
        cause = QStringLiteral("нет ответа за %1 с").arg(TcpConnectBoundMs / 1000);
    else if (*error == QAbstractSocket::ConnectionRefusedError)
        cause = QStringLiteral("соединение отклонено");
    else if (*error == QAbstractSocket::HostNotFoundError)
        cause = QStringLiteral("узел не найден");
    else if (*error == QAbstractSocket::NetworkError)
        cause = QStringLiteral("сеть недоступна");
    else
        cause = systemText;
    return QStringLiteral("Нет связи с %1: %2").arg(target.text(), cause);
}
