#include "daemon/daemon.h"
#include "daemon/detectortopics.h"
#include "daemon/gateway/linegateway.h"
#include "daemon/log.h"
#include "daemon/payloads.h"
#include "daemon/remotecontrol.h"

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
    // A child of the line: it goes with it.
    auto *topics = new DetectorTopics(w.session(), w.config(), cfg.mqtt.topic, box, &w);
    connect(topics, &DetectorTopics::happened, this, &Daemon::remember);
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
    return DetectorTopics::topic(cfg.mqtt.topic, line, address, leaf);
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
    if (auto *topics = w.findChild<DetectorTopics *>())
        topics->retire(w.addresses());
}

void Daemon::remember(const SiteEvent &event)
{
    recent.push_back(event);
    if (recent.size() > RecentEvents)
        recent.pop_front();
}

void Daemon::publishStats()
{
    const QDateTime now = QDateTime::currentDateTime();
    for (const auto &w : watches) {
        if (auto *topics = w->findChild<DetectorTopics *>())
            topics->publishStats(w->addresses(), now);
        if (const auto *gateway = w->findChild<LineGateway *>())
            box.setRetained(QStringLiteral("%1/%2/gateway").arg(cfg.mqtt.topic, w->config().name),
                            gatewayJson(now, gateway->counts()));
    }
}
