#include "daemon/outbox.h"
#include "daemon/log.h"
#include "daemon/mqttclient.h"

Outbox::Outbox(MqttClient &mqtt, const QString &queuePath, int64_t queueMaxBytes, QObject *parent)
    : QObject(parent), client(mqtt), events(mqtt, queuePath, queueMaxBytes)
{
    connect(&client, &MqttClient::connected, this, &Outbox::onConnected);
}

void Outbox::setRetained(const QString &topic, const QByteArray &payload, int qos)
{
    Retained &r = retained[topic];
    const bool sent = client.publish(topic, payload, qos, true);
    if (!sent && r.unsent)
        ++superseded;
    r = {payload, qos, !sent};
}

void Outbox::sendEvent(const QString &topic, const QByteArray &payload)
{
    events.add(topic, payload);
}

void Outbox::onConnected()
{
    // Before the first connection nothing was away: the states read during
    // the connect are no news, only events held or dropped are.
    const uint64_t dropped = events.takeDropped();
    const size_t held = events.size();
    if (everConnected && (superseded || dropped || held))
        logEvent(QStringLiteral("broker: while away %1 retained updates were superseded by newer ones, %2 events "
                                "dropped, %3 events held are sent now")
                     .arg(superseded)
                     .arg(dropped)
                     .arg(held));
    else if (!everConnected && (dropped || held))
        logEvent(QStringLiteral("broker: %1 events dropped before the first connection, %2 held are sent now")
                     .arg(dropped)
                     .arg(held));
    everConnected = true;
    superseded = 0;
    for (auto it = retained.begin(); it != retained.end(); ++it)
        it->unsent = !client.publish(it.key(), it->payload, it->qos, true);
    events.resend();
}
