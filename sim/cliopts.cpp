#include "sim/cliopts.h"
#include "sim/simulator.h"

#include <QCommandLineParser>

namespace {

constexpr int Speeds[] = {1200, 2400, 4800, 9600, 19200};

std::optional<SimOptions::Device> parseDevice(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() > 2)
        return std::nullopt;
    bool ok = false;
    const int address = parts[0].toInt(&ok);
    if (!ok || address < 1 || address > 247)
        return std::nullopt;
    int baud = 9600;
    if (parts.size() == 2) {
        baud = parts[1].toInt(&ok);
        if (!ok || std::find(std::begin(Speeds), std::end(Speeds), baud) == std::end(Speeds))
            return std::nullopt;
    }
    return SimOptions::Device{uint8_t(address), baud};
}

void addOptions(QCommandLineParser &p)
{
    p.addHelpOption();
    p.addOption({QStringLiteral("link"), QStringLiteral("Also make PATH a symbolic link to the slave side."),
                 QStringLiteral("PATH")});
    p.addOption({QStringLiteral("device"),
                 QStringLiteral("A detector at address ADDR (1..247) and speed BAUD (1200, 2400, 4800, "
                                "9600 or 19200; default 9600). Repeatable; default 1:9600."),
                 QStringLiteral("ADDR[:BAUD]")});
    p.addOption({QStringLiteral("log"), QStringLiteral("Append every frame on the line to FILE."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("frozen"), QStringLiteral("Keep the signals still.")});
    p.addOption({QStringLiteral("wire-time"),
                 QStringLiteral("Keep the times of a real line at the speed the client set: 10 bits a "
                                "character, replies 3.5 characters after the request.")});
    p.addOption({QStringLiteral("turnaround"),
                 QStringLiteral("With --wire-time: answer MS later still, as a slow device would."),
                 QStringLiteral("MS")});
    p.addOption({QStringLiteral("fault"),
                 QStringLiteral("Spoil replies: [ADDR/]KIND[:ARG][*COUNT], KIND one of silence, crc, "
                                "truncate:BYTES, exception:CODE, noise:BYTES, slow:MS, trailing:BYTES, "
                                "drop[:REOPEN_MS], late:MS, foreign:ADDR; COUNT replies (default all); ADDR one detector. "
                                "Repeatable."),
                 QStringLiteral("FAULT")});
    p.addOption({QStringLiteral("password"), QStringLiteral("Password that grants service access (default 1234)."),
                 QStringLiteral("N")});
}

} // namespace

QString simUsage()
{
    QCommandLineParser p;
    p.setApplicationDescription(
        QStringLiteral("Simulates КАЛМИР-ИК/УФ detectors on a pseudo-terminal; prints its slave path."));
    addOptions(p);
    return p.helpText();
}

namespace {
Failure badOption(const QString &why)
{
    return Failure::withText(Failure::Kind::Config, why);
}
} // namespace

Result<SimOptions> parseSimOptions(const QStringList &arguments)
{
    QCommandLineParser p;
    addOptions(p);
    if (!p.parse(arguments)) {
        return badOption(p.errorText());
    }
    if (!p.positionalArguments().isEmpty()) {
        return badOption(QStringLiteral("unexpected argument: %1").arg(p.positionalArguments().first()));
    }
    SimOptions o;
    o.help = p.isSet(QStringLiteral("help"));
    o.link = p.value(QStringLiteral("link"));
    o.logFile = p.value(QStringLiteral("log"));
    o.frozen = p.isSet(QStringLiteral("frozen"));
    o.wireTime = p.isSet(QStringLiteral("wire-time"));
    if (p.isSet(QStringLiteral("turnaround"))) {
        bool ok = false;
        o.turnaroundMs = p.value(QStringLiteral("turnaround")).toInt(&ok);
        if (!ok || o.turnaroundMs < 0 || o.turnaroundMs > 10000) {
            return badOption(QStringLiteral("bad --turnaround: %1").arg(p.value(QStringLiteral("turnaround"))));
        }
    }
    for (const QString &text : p.values(QStringLiteral("device"))) {
        const auto device = parseDevice(text);
        if (!device) {
            return badOption(QStringLiteral("bad --device: %1").arg(text));
        }
        o.devices.append(*device);
    }
    if (o.devices.isEmpty())
        o.devices.append({1, 9600});
    for (const QString &text : p.values(QStringLiteral("fault"))) {
        const auto option = parseFaultOption(text);
        if (!option) {
            return badOption(QStringLiteral("bad --fault: %1").arg(text));
        }
        o.faults.append(*option);
    }
    if (p.isSet(QStringLiteral("password"))) {
        bool ok = false;
        const uint value = p.value(QStringLiteral("password")).toUInt(&ok);
        if (!ok || value > 0xFFFF) {
            return badOption(QStringLiteral("bad --password: %1").arg(p.value(QStringLiteral("password"))));
        }
        o.password = uint16_t(value);
    }
    return o;
}

std::optional<Failure> applySimOptions(const SimOptions &o, Simulator &sim)
{
    sim.setFrozen(o.frozen);
    sim.setWireTime(o.wireTime, o.turnaroundMs);
    for (const SimOptions::Device &d : o.devices)
        sim.addDetector(d.address, d.baud);
    if (o.password)
        sim.setPassword(*o.password);
    for (const FaultOption &option : o.faults) {
        if (option.address == 0) {
            sim.setFault(option.fault);
            continue;
        }
        Detector *d = sim.detector(uint8_t(option.address));
        if (!d) {
            return badOption(QStringLiteral("--fault names address %1, which has no detector").arg(option.address));
        }
        d->setFault(option.fault);
    }
    if (!o.logFile.isEmpty() && !sim.setLogFile(o.logFile)) {
        return badOption(QStringLiteral("cannot open %1: %2").arg(o.logFile, sim.errorString()));
    }
    return std::nullopt;
}
