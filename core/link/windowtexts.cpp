#include "link/failure.h"
#include <QDir>

namespace {
QString connectText(const Failure &f, const QString &cause)
{
    return QStringLiteral("Нет связи с %1: %2").arg(f.address, cause);
}

QString fileText(const Failure &f, const QString &standard)
{
    return QStringLiteral("%1\n%2: %3").arg(standard, QDir::toNativeSeparators(f.path), f.osText);
}
} // namespace

QString windowText(const Failure &f)
{
    using K = Failure::Kind;
    switch (f.kind) {
    case K::PortRead: return QStringLiteral("Ошибка чтения из порта");
    case K::PortWrite: return QStringLiteral("Ошибка записи в порт");
    case K::PortSettings: return QStringLiteral("Ошибка функции SetCommState");
    case K::PortPurge: return QStringLiteral("Ошибка функции PurgeComm");
    case K::PortSetup: return QStringLiteral("Ошибка функции SetupComm");
    case K::PortMissing: return QStringLiteral("Попытка открыть несуществующий COM-порт");
    case K::PortBusy: return QStringLiteral("Порт занят другой программой");
    case K::PortAccess:
        return QStringLiteral("Нет доступа к порту %1: нужны права группы %2. "
                              "Добавьте пользователя в группу (sudo adduser $USER %2) и войдите в систему заново")
            .arg(f.path, f.text);
    case K::PortOpenSetting: return QStringLiteral("Нельзя менять свойство, пока порт открыт");
    case K::LineName: return QStringLiteral("Адрес линии должен иметь вид tcp://УЗЕЛ:ПОРТ: %1").arg(f.text);
    case K::ConnectTimeout: return connectText(f, QStringLiteral("нет ответа за %1 с").arg(f.timeoutMs / 1000));
    case K::ConnectRefused: return connectText(f, QStringLiteral("соединение отклонено"));
    case K::HostNotFound: return connectText(f, QStringLiteral("узел не найден"));
    case K::NetworkDown: return connectText(f, QStringLiteral("сеть недоступна"));
    case K::ConnectFailed: return connectText(f, f.osText);
    case K::LineBusy: return QStringLiteral("Линия занята: предыдущий обмен не завершен");
    case K::NotAFrame: return QStringLiteral("the request is not a frame that can be sent");
    case K::BadInteger: return QStringLiteral("'%1' is not a valid integer value").arg(f.text);
    case K::ValueOutOfRange:
        return QStringLiteral("Значение %1 вне допустимого диапазона: команда отменена").arg(f.value);
    case K::BadUvHours:
        return QStringLiteral("Значение T_UV_FAULT \"%1\" не является целым числом от 0 до 65535: команда отменена")
            .arg(f.text);
    case K::SpeedNotListed:
        return QStringLiteral("Скорость \"%1\" не из списка 2400, 4800, 9600, 19200: команда отменена").arg(f.text);
    case K::G42Unknown:
        return QStringLiteral("Прибор %1 еще не ответил, G_42 неизвестен: команда отменена").arg(f.value);
    case K::ChannelsUnknown:
        return QStringLiteral("Прибор %1 еще не ответил, его каналы неизвестны: команда отменена").arg(f.value);
    case K::BroadcastAddress:
        return QStringLiteral("Адрес 0 — широковещательный, прибору его не назначить: команда отменена");
    case K::NotPolled: return QStringLiteral("Прибор %1 не опрашивается: команда отменена").arg(f.value);
    case K::NoRequest: return QStringLiteral("no request exists for this code");
    case K::NoValue: return QStringLiteral("Значение команды не задано: команда отменена");
    case K::FileAccess: return fileText(f, QStringLiteral("File access denied"));
    case K::FileIo: return fileText(f, QStringLiteral("I/O error %1").arg(f.value));
    case K::Config: return configText(f);
    }
    return {};
}

QString configText(const Failure &f)
{
    if (f.path.isEmpty())
        return f.text;
    return f.value >= 0 ? QStringLiteral("%1:%2: %3").arg(f.path).arg(f.value).arg(f.text)
                       : QStringLiteral("%1: %2").arg(f.path, f.text);
}
