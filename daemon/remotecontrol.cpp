#include "daemon/remotecontrol.h"
#include "daemon/daemon.h"
#include "daemon/discovery.h"
#include "daemon/log.h"
#include "detector/valueformats.h"

using namespace Qt::StringLiterals;

RemoteControl::RemoteControl(Daemon &d) : QObject(&d), daemon(d)
{
    for (const auto &w : daemon.lines())
        addLine(*w);
    // QoS 2: the broker hands each command over exactly once, so a resend on
    // the way cannot run a toggle twice.
    daemon.mqtt().subscribe(daemon.config().mqtt.topic + u"/+/+/set/+"_s, 2);
    daemon.mqtt().setLongestPayload(LongestCommandPayload);
    connect(&daemon.mqtt(), &MqttClient::messageReceived, this, &RemoteControl::onMessage);
}

void RemoteControl::stop()
{
    for (auto &[name, commands] : lines)
        commands->dropAll(u"kalmird stopped after sending the command, before its echo: it may have acted"_s,
                          u"kalmird stopped before the command went out"_s);
}

void RemoteControl::addLine(LineWatch &w)
{
    const QString name = w.config().name;
    auto commands = std::make_unique<LineCommands>(w.session(), std::chrono::seconds(w.config().commandTimeoutS), this);
    connect(commands.get(), &LineCommands::answered, this,
            [this, name](uint8_t a, const RemoteDecision &c, bool ok, const QString &error) {
                answer(name, a, c, ok, error);
            });
    lines[name] = std::move(commands);
    if (daemon.config().mqtt.haDiscovery)
        connect(&w.session(), &Session::detectorChanged, this,
                [this, name, &w](uint8_t a, const DetectorChange &change) {
                    if (change.kind == DetectorChange::Kind::Status)
                        discover(name, a, w.session().detectors().find(a)->status);
                });
}

void RemoteControl::removeLine(const QString &name)
{
    const auto it = lines.find(name);
    if (it == lines.end())
        return;
    it->second->dropAll(u"the line was stopped by a reload after sending the command, before its echo: it may "
                        "have acted"_s,
                        u"the line was stopped by a reload before the command went out"_s);
    lines.erase(it);
}

namespace {
bool hasAnswered(LineWatch &watch, uint8_t address)
{
    const DetectorRecord *device = watch.session().detectors().find(address);
    return device && device->answered;
}
} // namespace

void RemoteControl::onMessage(const QString &topic, const QByteArray &payload, bool retained, bool tooLong)
{
    // <prefix>/<line>/<addr>/set/<name>: the subscription admits no other shape.
    const QStringList levels = topic.split(u'/');
    if (levels.size() != 5 || levels[3] != "set"_L1)
        return;
    const QString &lineName = levels[1];
    const QString shownTopic = u"%1/%2/%3/set/%4"_s.arg(levels[0], shownText(lineName.toUtf8()),
                                                      shownText(levels[2].toUtf8()), shownText(levels[4].toUtf8()));
    LineWatch *watch = daemon.line(lineName);
    const std::optional<uint8_t> address = remoteAddress(levels[2]);
    RemoteDecision d = decideRemoteCommand(watch && watch->config().writes, levels[4].toUtf8(), payload);
    if (tooLong)
        refuseTooLong(d);
    else if (retained)
        refuseRetained(d);
    const bool polled = watch && address && watch->addresses().contains(*address);
    if (!polled)
        refuseNoDetector(d, shownText(lineName.toUtf8()), shownText(levels[2].toUtf8()));
    else if (d.accepted() && changesChannels(d.command) && !hasAnswered(*watch, *address))
        // Said now: the detector's pass may be a rare probe, long after the command expired.
        refuseChannelsUnknown(d, *address);
    else if (d.accepted() && !lines.at(lineName)->enqueue(*address, d))
        refuseQueueFull(d, LineCommands::Capacity);
    if (d.accepted())
        return;
    logEvent(u"command %1 \"%2\" refused: %3"_s.arg(shownTopic, shownText(payload), d.reason));
    // Nobody answers for a detector that is not polled here: only the log hears of it.
    if (polled)
        daemon.outbox().sendEvent(daemon.deviceTopic(lineName, *address, u"result"_s), refusalJson(d));
}

void RemoteControl::answer(const QString &line, uint8_t address, const RemoteDecision &c, bool ok,
                           const QString &error)
{
    const QString topic = daemon.deviceTopic(line, address, u"set/"_s + c.name);
    logEvent(u"command %1%2: %3"_s.arg(topic, c.value ? u" "_s + QString::number(*c.value) : QString(),
                                           ok ? u"ok"_s : u"failed: "_s + error));
    daemon.outbox().sendEvent(daemon.deviceTopic(line, address, u"result"_s),
                              remoteResultJson(c.name, c.value, ok, error));
}

void RemoteControl::discover(const QString &line, uint8_t address, const DeviceStatus &s)
{
    const DiscoveredDetector detector{daemon.config().mqtt.topic, line, address, QString::number(s.serialNumber),
                                      versionText(s.versionMajor, s.versionMinor, s.versionBuild)};
    const QByteArray seen = (detector.serial + u' ' + detector.version).toUtf8();
    QByteArray &published = discovered[daemon.deviceTopic(line, address, {})];
    if (published == seen)
        return;
    published = seen;
    for (const RetainedMessage &m : discoveryConfigs(detector))
        daemon.outbox().setRetained(QString::fromUtf8(m.topic), m.payload, 1);
}
