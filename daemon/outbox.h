#pragma once
#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <cstdint>
#include <deque>
#include <utility>

class MqttClient;

// What goes to the broker, and what waits while it is away. Every retained
// topic keeps its latest payload only, and all of them are published anew on
// each connection; events wait in a queue of the last MaxHeldEvents. Memory
// stays bounded however long the broker is gone; what was superseded or
// dropped meanwhile is counted and logged when it comes back.
class Outbox : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxHeldEvents = 1000;
    static constexpr int EventQos = 1;

    explicit Outbox(MqttClient &client, QObject *parent = nullptr);

    // A retained topic's new payload: sent now, or on the next connection.
    void setRetained(const QString &topic, const QByteArray &payload, int qos = 0);
    // A message that is not retained (QoS 1): sent now, or held while disconnected.
    void sendEvent(const QString &topic, const QByteArray &payload);

private:
    void onConnected();

    struct Retained {
        QByteArray payload;
        int qos = 0;
        bool unsent = false;
    };
    MqttClient &client;
    QHash<QString, Retained> retained;
    std::deque<std::pair<QString, QByteArray>> held;
    uint64_t superseded = 0; // retained payloads replaced unsent while disconnected
    uint64_t dropped = 0;    // events pushed out of the full queue
    bool everConnected = false;
};
