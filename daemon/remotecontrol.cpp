#include "daemon/remotecontrol.h"
#include "daemon/daemon.h"
#include "daemon/discovery.h"
#include "daemon/log.h"
#include "detector/valueformats.h"

using namespace Qt::StringLiterals;

RemoteControl::RemoteControl(Daemon &d) : QObject(&d), daemon(d)
{
    for (const auto &w : daemon.lines()) {
        const QString name = w->config().name;
        auto commands = std::make_unique<LineCommands>(w->session(), this);
        connect(commands.get(), &LineCommands::answered, this,
                [this, name](uint8_t a, const RemoteDecision &c, bool ok, const QString &error) {
                    answer(name, a, c, ok, error);
                });
        lines[name] = std::move(commands);
        if (daemon.config().mqtt.haDiscovery)
            connect(w.get(), &LineWatch::stateRead, this,
                    [this, name](uint8_t a, const DeviceStatus &s) { discover(name, a, s); });
    }
    daemon.mqtt().subscribe(daemon.config().mqtt.topic + u"/+/+/set/+"_s, 1);
    connect(&daemon.mqtt(), &MqttClient::messageReceived, this, &RemoteControl::onMessage);
}

void RemoteControl::stop()
{
    for (auto &[name, commands] : lines)
        commands->dropAll(u"kalmird stopped before the command went out"_s);
}

void RemoteControl::onMessage(const QString &topic, const QByteArray &payload)
{
    // <prefix>/<line>/<addr>/set/<name>: the subscription admits no other shape.
    const QStringList levels = topic.split(u'/');
    if (levels.size() != 5 || levels[3] != "set"_L1)
        return;
    const QString &lineName = levels[1];
    bool numeric = false;
    const uint addressNumber = levels[2].toUInt(&numeric);
    const uint8_t address = uint8_t(addressNumber);
    LineWatch *watch = daemon.line(lineName);
    RemoteDecision d = decideRemoteCommand(watch && watch->config().writes, levels[4].toUtf8(), payload);
    if (!watch || !numeric || addressNumber > 247 || !watch->addresses().contains(address))
        refuseNoDetector(d, lineName, levels[2]);
    if (d.accepted() && !lines.at(lineName)->enqueue(address, d))
        refuseQueueFull(d, LineCommands::Capacity);
    if (d.accepted())
        return;
    logEvent(u"command %1 \"%2\" refused: %3"_s.arg(topic, QString::fromUtf8(payload.left(32)), d.reason));
    daemon.outbox().sendEvent(levels.mid(0, 3).join(u'/') + "/result"_L1, refusalJson(d));
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
    const DiscoveredDetector detector{daemon.config().mqtt.topic, line, address, QString::number(s.SERIAL),
                                      versionText(s.VersionMajor, s.VersionMinor, s.VersionBuild)};
    const QByteArray seen = (detector.serial + u' ' + detector.version).toUtf8();
    QByteArray &published = discovered[daemon.deviceTopic(line, address, {})];
    if (published == seen)
        return;
    published = seen;
    for (const RetainedMessage &m : discoveryConfigs(detector))
        daemon.outbox().setRetained(QString::fromUtf8(m.topic), m.payload, 1);
}
