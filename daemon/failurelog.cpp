#include "daemon/failurelog.h"

namespace {
// The system's own words after a phrase, where it gave any.
QString withCause(const QString &phrase, const QString &cause)
{
    return cause.isEmpty() ? phrase : phrase + QStringLiteral(": ") + cause;
}
} // namespace

QString logText(const Failure &f)
{
    using K = Failure::Kind;
    switch (f.kind) {
    case K::PortRead: return withCause(QStringLiteral("port read failed"), f.osText);
    case K::PortWrite: return withCause(QStringLiteral("port write failed"), f.osText);
    case K::PortSettings: return QStringLiteral("the port refused its settings");
    case K::PortPurge: return QStringLiteral("the port could not be purged");
    case K::PortSetup: return QStringLiteral("the port could not be set up");
    case K::PortMissing: return QStringLiteral("no such port");
    case K::PortBusy: return QStringLiteral("the port is in use by another program");
    case K::PortAccess: return QStringLiteral("no access to %1: the user needs the group %2").arg(f.path, f.text);
    case K::PortOpenSetting: return QStringLiteral("a port setting cannot change while the port is open");
    case K::LineName: return QStringLiteral("a line address must be tcp://HOST:PORT: %1").arg(f.text);
    case K::ConnectTimeout: return QStringLiteral("no connection to %1: no answer in %2 s").arg(f.address).arg(f.timeoutMs / 1000);
    case K::ConnectRefused: return QStringLiteral("no connection to %1: connection refused").arg(f.address);
    case K::HostNotFound: return QStringLiteral("no connection to %1: host not found").arg(f.address);
    case K::NetworkDown: return QStringLiteral("no connection to %1: network unreachable").arg(f.address);
    case K::ConnectFailed: return withCause(QStringLiteral("no connection to %1").arg(f.address), f.osText);
    case K::LineBusy: return QStringLiteral("the line is busy: the exchange before has not ended");
    case K::NotAFrame: return QStringLiteral("the request is not a frame that can be sent");
    case K::BadInteger: return QStringLiteral("'%1' is not a valid integer value").arg(f.text);
    case K::ValueOutOfRange: return QStringLiteral("value %1 is out of range: command dropped").arg(f.value);
    case K::BadUvHours: return QStringLiteral("T_UV_FAULT \"%1\" is not a whole number 0 to 65535: command dropped").arg(f.text);
    case K::SpeedNotListed: return QStringLiteral("speed \"%1\" is not 2400, 4800, 9600 or 19200: command dropped").arg(f.text);
    case K::G42Unknown: return QStringLiteral("detector %1 has not answered yet, G_42 unknown: command dropped").arg(f.value);
    case K::ChannelsUnknown: return QStringLiteral("detector %1 has not answered yet: its channels are unknown").arg(f.value);
    case K::BroadcastAddress: return QStringLiteral("address 0 is the broadcast address: command dropped");
    case K::NotPolled: return QStringLiteral("detector %1 is not polled: command dropped").arg(f.value);
    case K::NoRequest: return QStringLiteral("no request exists for this code");
    case K::NoValue: return QStringLiteral("the command came without its value: command dropped");
    // The standard texts the device logs' failures have always had.
    case K::FileAccess: return QStringLiteral("File access denied: %1: %2").arg(f.path, f.osText);
    case K::FileIo: return QStringLiteral("I/O error %1: %2: %3").arg(f.value).arg(f.path, f.osText);
    case K::Config: return configText(f);
    }
    return {};
}
