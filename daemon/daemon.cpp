#include "daemon/daemon.h"
#include "daemon/gateway/linegateway.h"
#include "daemon/log.h"
#include "daemon/remotecontrol.h"
#include "daemon/statethrottle.h"

namespace {
MqttClient::Options clientOptions(const MqttConfig &m, const QByteArray &password)
{
    MqttClient::Options o;
    o.host = m.host;
    o.port = m.port;
    o.clientId = m.clientId;
    o.username = m.username;
    o.password = password;
    o.caFile = m.caFile;
    o.certFile = m.certFile;
    o.keyFile = m.keyFile;
    o.willTopic = m.topic + QStringLiteral("/status");
    o.willPayload = "offline";
    return o;
}
const QByteArray Online = "online";
const QByteArray Offline = "offline";
} // namespace

Daemon::Daemon(DaemonConfig config, QByteArray password, QObject *parent)
    : QObject(parent), cfg(std::move(config)), client(clientOptions(cfg.mqtt, password)),
      box(client, cfg.queuePath(), int64_t(cfg.queueMaxMb) * 1024 * 1024)
{
    for (const LineConfig &l : cfg.lines) {
        watches.push_back(std::make_unique<LineWatch>(l));
        attach(*watches.back());
    }
    connect(&client, &MqttClient::connected, this, [this] {
        logEvent(QStringLiteral("broker %1:%2 connected").arg(cfg.mqtt.host).arg(cfg.mqtt.port));
        box.setRetained(statusTopic(), Online, 1);
    });
    connect(&client, &MqttClient::disconnected, this, [this](const QString &reason, int retryMs) {
        logEvent(QStringLiteral("broker %1:%2 lost: %3; next attempt in %4 s")
                     .arg(cfg.mqtt.host)
                     .arg(cfg.mqtt.port)
                     .arg(reason)
                     .arg(retryMs / 1000));
    });
    connect(&client, &MqttClient::stopped, this, [this] {
        logEvent(QStringLiteral("stopped"));
        emit finished();
    });
    remote = new RemoteControl(*this);
    statsTimer.setInterval(cfg.mqtt.statsIntervalS * 1000);
    connect(&statsTimer, &QTimer::timeout, this, &Daemon::publishStats);
}

Daemon::~Daemon() = default;

void Daemon::attach(LineWatch &w)
{
    const QString name = w.config().name;
    // A child of the line: it goes with it.
    auto *throttle = new StateThrottle(w.config().stateMinIntervalMs, w.config().stateHeartbeatS, &w);
    connect(&w, &LineWatch::stateRead, throttle, &StateThrottle::offer);
    connect(throttle, &StateThrottle::publish, this,
            [this, name](uint8_t a, const DeviceStatus &s, const StatusRegisters &regs, const QDateTime &t) {
                box.setRetained(deviceTopic(name, a, QStringLiteral("state")), stateJson(t, a, s, regs));
            });
    if (w.config().gateway.enabled()) {
        // A child of the line as well: a line restarted by a reload opens its ports anew.
        const auto freshness = [&w] {
            std::vector<DetectorFreshness> list;
            for (const uint8_t a : w.addresses()) {
                const DetectorRecord *r = w.session().detectors().find(a);
                list.push_back({a, r && r->online(), r ? r->readAtMs : 0});
            }
            return list;
        };
        auto *gateway = new LineGateway(w.config(), w.session().lineService(), freshness, &w);
        gateway->start();
    }
    connect(&w, &LineWatch::availabilityChanged, this, [this, name](uint8_t a, bool online) {
        box.setRetained(deviceTopic(name, a, QStringLiteral("availability")), online ? Online : Offline, 1);
        remember({QDateTime::currentDateTime(), name, a, QStringLiteral("online"), online});
    });
    connect(&w, &LineWatch::alarmChanged, this,
            [this, name](uint8_t a, const QString &kind, bool on, const QDateTime &t) {
                logEvent(QStringLiteral("line %1: detector %2 %3 %4").arg(name).arg(a).arg(kind, on ? "on" : "off"));
                box.sendEvent(deviceTopic(name, a, QStringLiteral("event")), eventJson(t, kind, on));
                remember({t, name, a, kind, on});
            });
}

LineWatch *Daemon::line(const QString &name) const
{
    for (const auto &w : watches)
        if (w->config().name == name)
            return w.get();
    return nullptr;
}

QString Daemon::deviceTopic(const QString &line, uint8_t address, const QString &leaf) const
{
    return QStringLiteral("%1/%2/%3/%4").arg(cfg.mqtt.topic, line).arg(address).arg(leaf);
}

void Daemon::start()
{
    logEvent(QStringLiteral("starting: %1 line(s), broker %2:%3")
                 .arg(watches.size())
                 .arg(cfg.mqtt.host)
                 .arg(cfg.mqtt.port));
    for (const auto &w : watches)
        w->start();
    client.start();
    statsTimer.start();
}

void Daemon::stop()
{
    stopping = true;
    statsTimer.stop();
    remote->stop();
    for (const auto &w : watches)
        retire(*w);
    box.setRetained(statusTopic(), Offline, 1);
    client.stop();
}

void Daemon::retire(LineWatch &w)
{
    w.stop();
    if (auto *throttle = w.findChild<StateThrottle *>())
        throttle->flush();
    for (const uint8_t a : w.addresses())
        box.setRetained(deviceTopic(w.config().name, a, QStringLiteral("availability")), Offline, 1);
}

void Daemon::remember(SiteEvent event)
{
    recent.push_back(std::move(event));
    if (recent.size() > RecentEvents)
        recent.pop_front();
}

void Daemon::publishStats()
{
    const QDateTime now = QDateTime::currentDateTime();
    for (const auto &w : watches) {
        const CommStats &stats = w->session().linkCounts();
        for (const uint8_t a : w->addresses())
            box.setRetained(deviceTopic(w->config().name, a, QStringLiteral("stats")), statsJson(now, stats.counts(a)));
        if (const auto *gateway = w->findChild<LineGateway *>())
            box.setRetained(QStringLiteral("%1/%2/gateway").arg(cfg.mqtt.topic, w->config().name),
                            gatewayJson(now, gateway->counts()));
    }
}
