#include "daemon/outbox.h"
#include "daemon/log.h"
#include "daemon/mqttclient.h"

Outbox::Outbox(MqttClient &mqtt, QObject *parent) : QObject(parent), client(mqtt)
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
    if (client.publish(topic, payload, EventQos, false))
        return;
    if (held.size() >= size_t(MaxHeldEvents)) {
        held.pop_front();
        ++dropped;
    }
    held.emplace_back(topic, payload);
}

void Outbox::onConnected()
{
    // Before the first connection nothing was away: the states read during
    // the connect are no news, only events held or dropped are.
    if (everConnected && (superseded || dropped || !held.empty()))
        logEvent(QStringLiteral("broker: while away %1 retained updates were superseded by newer ones, %2 events "
                                "dropped, %3 events held are sent now")
                     .arg(superseded)
                     .arg(dropped)
                     .arg(held.size()));
    else if (!everConnected && (dropped || !held.empty()))
        logEvent(QStringLiteral("broker: %1 events dropped before the first connection, %2 held are sent now")
                     .arg(dropped)
                     .arg(held.size()));
    everConnected = true;
    superseded = dropped = 0;
    for (auto it = retained.begin(); it != retained.end(); ++it)
        it->unsent = !client.publish(it.key(), it->payload, it->qos, true);
    while (!held.empty() && client.publish(held.front().first, held.front().second, EventQos, false))
        held.pop_front();
}
