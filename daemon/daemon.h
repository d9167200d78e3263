#pragma once
#include "daemon/config.h"
#include "daemon/linefigures.h"
#include "daemon/linewatch.h"
#include "daemon/mqttclient.h"
#include "daemon/outbox.h"
#include <QObject>
#include <QTimer>
#include <deque>
#include <memory>
#include <vector>

class RemoteControl;

// The watch service: one LineWatch per configured line, one MQTT client, and
// the topics that join them: each detector's state, availability, event and
// stats (DetectorTopics; the stats every statsIntervalS), and
//   <prefix>/<line>/gateway              retained, the gateway's counts, every statsIntervalS
//   <prefix>/status                      retained, online; offline as last will and at stop
class Daemon : public QObject {
    Q_OBJECT
public:
    // The password is read from mqtt.passwordFile by the caller when one is set.
    Daemon(DaemonConfig config, QByteArray password = {}, QObject *parent = nullptr);
    ~Daemon() override;

    // Starts the lines and the broker connection. A line that cannot open
    // or keep its logs goes on trying or without them: nothing here fails.
    void start();
    // Marks every detector and the service offline, disconnects cleanly and
    // stops the lines; finished() follows.
    void stop();
    // A configuration read again: lines added start, lines removed stop with
    // their detectors offline, lines whose settings changed restart, and the
    // others go on untouched. A change to anything but the lines (the broker,
    // its topics) is refused, logged, and the running configuration stays:
    // false then. Defined in reload.cpp.
    bool reload(DaemonConfig next);

    const DaemonConfig &config() const { return cfg; }
    MqttClient &mqtt() { return client; }
    Outbox &outbox() { return box; }
    // The line of this name, or nullptr.
    LineWatch *line(const QString &name) const;
    const std::vector<std::unique_ptr<LineWatch>> &lines() const { return watches; }
    // "<prefix>/<line>/<address>/<leaf>"
    QString deviceTopic(const QString &line, uint8_t address, const QString &leaf) const;
    QString statusTopic() const { return cfg.mqtt.topic + QStringLiteral("/status"); }
    // The last RecentEvents alarm and availability changes of the site, oldest first.
    static constexpr size_t RecentEvents = 20;
    const std::deque<SiteEvent> &recentEvents() const { return recent; }

signals:
    void finished();

private:
    void attach(LineWatch &watch);
    // Stops a line, publishes the states it held back and takes its detectors offline.
    void retire(LineWatch &watch);
    void publishStats();
    void remember(const SiteEvent &event);

    DaemonConfig cfg;
    MqttClient client;
    Outbox box;
    std::vector<std::unique_ptr<LineWatch>> watches;
    QTimer statsTimer;
    RemoteControl *remote = nullptr; // commands from the broker; a child
    bool stopping = false;
    std::deque<SiteEvent> recent;
};
