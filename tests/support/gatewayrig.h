#pragma once
#include "support/mbapclient.h"
#include "support/mqttrig.h"

#include <QJsonObject>
#include <initializer_list>
#include <memory>

// kalmird on one line "north" with its gateway on both ports (Modbus TCP
// and RTU over TCP, free ports of 127.0.0.1), a Mosquitto of its own and a
// subscriber to everything under kalmir/; stats every second, every state
// published, a silent detector probed every second.
struct GatewayRig {
    quint16 modbusPort = freeLocalPort();
    quint16 rtuPort = freeLocalPort();
    BrokerProcess broker;
    std::unique_ptr<Subscriber> sub;
    std::unique_ptr<DaemonProcess> daemon;
    QString errorFile; // kalmird's stderr, when not to log()

    // devices: the TOML list; line and gateway: more keys of each table.
    void start(const QString &linePath, int speed, const QString &devices, const QString &line,
               const QString &gateway);
    // Waits until each of them is online.
    bool online(const QList<int> &addresses);
    QByteArray log() { return daemon->errorOutput(); }
    // The gateway's counts once `requests` have been counted and each has ended.
    QJsonObject counts(int requests);
};

QJsonObject json(const QByteArray &payload);
// Debian's mbpoll -m tcp, once, run to its end while the event loop turns;
// it writes `values` when given. Its output.
QByteArray mbpoll(quint16 port, const QStringList &arguments, const QStringList &values = {});
QByteArray pdu(std::initializer_list<int> bytes);
// How many answers are the exception `code`.
int exceptionsWith(const QList<MbapClient::Answer> &answers, uint8_t code);
