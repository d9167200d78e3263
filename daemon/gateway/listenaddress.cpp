#include "daemon/gateway/listenaddress.h"

std::optional<std::pair<QHostAddress, quint16>> listenAddress(const QString &text)
{
    const qsizetype colon = text.lastIndexOf(u':');
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return std::nullopt;
    QString host = colon < 0 ? QString() : text.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(u':'))
        return std::nullopt; // an IPv6 address is written in brackets
    const QHostAddress address = host.isEmpty() ? QHostAddress(QHostAddress::LocalHost) : QHostAddress(host);
    if (address.isNull())
        return std::nullopt;
    return std::pair{address, quint16(port)};
}
