#include "startoptions.h"
#include "link/tcpline.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::array<int, 5> Speeds{1200, 2400, 4800, 9600, 19200};
// The device table holds two detectors.
constexpr int MaxDevices = 2;

// Applies one option's value; returns what is wrong with it, if anything.
using Apply = std::optional<Failure> (*)(StartOptions &, const QString &);

// The whole message is the failure's text: an option names itself best.
Failure badOption(const QString &why)
{
    return Failure::withText(Failure::Kind::Config, why);
}

struct OptionRow {
    const char *name;
    bool takesValue;
    Apply apply;
};

std::optional<Failure> setPort(StartOptions &o, const QString &v)
{
    if (v.trimmed().isEmpty())
        return badOption(QStringLiteral("--port: пустое имя порта"));
    // A server's address is checked now, not at the connect.
    if (const auto bad = tcpNameFailure(v))
        return badOption(QStringLiteral("--port: ") + windowText(*bad));
    o.port = v;
    return std::nullopt;
}

std::optional<Failure> setSpeed(StartOptions &o, const QString &v)
{
    bool ok = false;
    const int baud = v.toInt(&ok);
    if (!ok || std::find(Speeds.begin(), Speeds.end(), baud) == Speeds.end())
        return badOption(QStringLiteral("--speed: скорость \"%1\" не из списка 1200, 2400, 4800, 9600, 19200").arg(v));
    o.speed = baud;
    return std::nullopt;
}

std::optional<Failure> addDevice(StartOptions &o, const QString &v)
{
    bool ok = false;
    const int address = v.toInt(&ok);
    if (!ok || address < 1 || address > 247)
        return badOption(QStringLiteral("--device: адрес \"%1\" вне диапазона 1..247").arg(v));
    if (o.devices.contains(uint8_t(address)))
        return std::nullopt;
    if (o.devices.size() == MaxDevices)
        return badOption(QStringLiteral("--device: в таблице не более %1 приборов").arg(MaxDevices));
    o.devices.append(uint8_t(address));
    return std::nullopt;
}

std::optional<Failure> setQuitAfter(StartOptions &o, const QString &v)
{
    bool ok = false;
    const int seconds = v.toInt(&ok);
    if (!ok || seconds < 1 || seconds > 86400)
        return badOption(QStringLiteral("--quit-after: число секунд \"%1\" вне диапазона 1..86400").arg(v));
    o.quitAfter = seconds;
    return std::nullopt;
}

std::optional<Failure> setShots(StartOptions &o, const QString &v)
{
    if (v.trimmed().isEmpty())
        return badOption(QStringLiteral("--shots: пустое имя папки"));
    o.shotsDir = v;
    return std::nullopt;
}

std::optional<Failure> setMonitorFile(StartOptions &o, const QString &v)
{
    if (v.trimmed().isEmpty())
        return badOption(QStringLiteral("--monitor: пустое имя файла"));
    o.monitorFile = v;
    return std::nullopt;
}

std::optional<Failure> setSearchMargin(StartOptions &o, const QString &v)
{
    bool ok = false;
    const int ms = v.toInt(&ok);
    if (!ok || ms < 0 || ms > 500)
        return badOption(QStringLiteral("--search-margin: число миллисекунд \"%1\" вне диапазона 0..500").arg(v));
    o.searchMarginMs = ms;
    return std::nullopt;
}

// clang-format off
const std::array<OptionRow, 13> Options{{
    {"port",    true,  setPort},
    {"speed",   true,  setSpeed},
    {"device",  true,  addDevice},
    {"connect", false, [](StartOptions &o, const QString &) { o.connect = true; return std::optional<Failure>(); }},
    {"poll",    false, [](StartOptions &o, const QString &) { o.poll = true; return std::optional<Failure>(); }},
    {"chart",   false, [](StartOptions &o, const QString &) { o.chart = true; return std::optional<Failure>(); }},
    {"log",     false, [](StartOptions &o, const QString &) { o.log = true; return std::optional<Failure>(); }},
    {"quit-after", true, setQuitAfter},
    {"shots",   true,  setShots},
    {"monitor", true,  setMonitorFile},
    {"search-margin", true, setSearchMargin},
    {"version", false, [](StartOptions &o, const QString &) { o.version = true; return std::optional<Failure>(); }},
    {"help",    false, [](StartOptions &o, const QString &) { o.help = true; return std::optional<Failure>(); }},
}};
// clang-format on

const OptionRow *findOption(const QString &name)
{
    for (const OptionRow &row : Options)
        if (name == QLatin1String(row.name))
            return &row;
    return nullptr;
}

// Adding devices and polling are steps after "Соединить"; without it they
// would silently do nothing.
std::optional<Failure> checkCombination(const StartOptions &o)
{
    if (o.shotsDir && !o.quitAfter)
        return badOption(QStringLiteral("--shots сохраняет снимки при выходе: добавьте --quit-after"));
    if (o.connect)
        return std::nullopt;
    if (!o.devices.isEmpty())
        return badOption(QStringLiteral("--device действует только после соединения: добавьте --connect"));
    if (o.poll)
        return badOption(QStringLiteral("--poll действует только после соединения: добавьте --connect"));
    return std::nullopt;
}

} // namespace

Result<StartOptions> parseStartOptions(const QStringList &arguments)
{
    StartOptions o;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &arg = arguments[i];
        if (!arg.startsWith(QLatin1String("--")))
            return badOption(QStringLiteral("неизвестный параметр: %1").arg(arg));
        const qsizetype eq = arg.indexOf(u'=');
        const QString name = arg.mid(2, eq < 0 ? -1 : eq - 2);
        const OptionRow *row = findOption(name);
        if (!row)
            return badOption(QStringLiteral("неизвестный параметр: --%1").arg(name));
        QString value;
        if (row->takesValue && eq >= 0) {
            value = arg.mid(eq + 1);
        } else if (row->takesValue) {
            if (++i == arguments.size())
                return badOption(QStringLiteral("--%1: нет значения").arg(name));
            value = arguments[i];
        } else if (eq >= 0) {
            return badOption(QStringLiteral("--%1 не принимает значения").arg(name));
        }
        // "--port --connect" lacks the port's name; taking the next option
        // as the value would silently drop that option.
        if (row->takesValue && value.startsWith(QLatin1String("--")))
            return badOption(QStringLiteral("--%1: нет значения (следом идет %2)").arg(name, value));
        if (auto failure = row->apply(o, value))
            return *failure;
    }
    if (auto failure = checkCombination(o))
        return *failure;
    return o;
}

QString startUsage()
{
    return QStringLiteral(
        "Использование: kalmir [параметры]\n"
        "Программа для настройки извещателей пламени КАЛМИР-ИК/УФ.\n"
        "Без параметров окно открывается как обычно; параметры выполняют\n"
        "в окне то, что сделал бы пользователь, в порядке: соединение,\n"
        "приборы, запрос, график, запись в файл.\n"
        "\n"
        "  --port ИМЯ       порт в списке портов: COM1..COM5, /dev/ttyUSB0, ...,\n"
        "                   или линия за сервером: tcp://УЗЕЛ:ПОРТ, tcp://[IPv6]:ПОРТ\n"
        "  --speed БОД      скорость обмена: 1200, 2400, 4800, 9600 или 19200\n"
        "  --device АДРЕС   \"Добавить прибор\" с адресом 1..247; можно дважды\n"
        "                   (в таблице два прибора; адрес 247 тогда не остается)\n"
        "  --connect        нажать \"Соединить\"\n"
        "  --poll           нажать \"Запрос\" (опрос приборов; нужен --connect)\n"
        "  --chart          открыть окно \"График\"\n"
        "  --log            отметить \"Запись в файл\"\n"
        "  --quit-after СЕК закрыть программу через СЕК секунд; перед выходом\n"
        "                   напечатать статистику связи\n"
        "  --shots ПАПКА    при выходе (--quit-after) сохранить снимки главного\n"
        "                   окна, окна \"График\" и окна \"Статистика связи\"\n"
        "                   в ПАПКА/mainform.png, chart.png и commstats.png\n"
        "  --monitor ФАЙЛ   дописывать в ФАЙЛ каждый кадр линии (CSV, как\n"
        "                   \"Сохранить\" в окне \"Монитор обмена\")\n"
        "  --search-margin МС  быстрый поиск ждет начала ответа МС миллисекунд\n"
        "                   сверх времени запроса и 3,5 символа (по умолчанию 30)\n"
        "  --version        показать версию и выйти\n"
        "  --help           показать эту справку и выйти\n"
        "\n"
        "Неверный параметр, скорость или адрес: сообщение и код выхода 2.\n"
        "С --quit-after ошибки выводятся и в stderr; если порт не открылся,\n"
        "программа сразу завершается с кодом 1.\n");
}
