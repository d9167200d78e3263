#pragma once
#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <cstdint>

#include "daemon/eventqueue.h"

class MqttClient;

// What goes to the broker, and what waits while it is away. Every retained
// topic keeps its latest payload only, and all of them are published anew on
// each connection; events and results wait in the queue on disk (bounded by
// queueMaxBytes). What was superseded or dropped meanwhile is counted and
// logged when the broker comes back.
class Outbox : public QObject {
    Q_OBJECT
public:
    // queuePath empty: events and results wait in memory only.
    Outbox(MqttClient &client, const QString &queuePath, int64_t queueMaxBytes, QObject *parent = nullptr);

    // A retained topic's new payload: sent now, or on the next connection.
    void setRetained(const QString &topic, const QByteArray &payload, int qos = 0);
    // A message that is not retained (QoS 1), given its seq: queued on disk,
    // then sent, again after each reconnection until the broker has it.
    void sendEvent(const QString &topic, const QByteArray &payload);
    EventQueue &queue() { return events; }

private:
    void onConnected();

    struct Retained {
        QByteArray payload;
        int qos = 0;
        bool unsent = false;
    };
    MqttClient &client;
    QHash<QString, Retained> retained;
    EventQueue events;
    uint64_t superseded = 0; // retained payloads replaced unsent while disconnected
    bool everConnected = false;
};
