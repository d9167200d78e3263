#include "daemon/mqttclient.h"

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <mosquitto.h>

namespace {
struct LibraryInit {
    LibraryInit() { mosquitto_lib_init(); }
    ~LibraryInit() { mosquitto_lib_cleanup(); }
};

QString errorText(int rc)
{
    return QString::fromUtf8(mosquitto_strerror(rc));
}
} // namespace

MqttClient::MqttClient(Options options, QObject *parent) : QObject(parent), opts(std::move(options))
{
    static LibraryInit init;
    const QByteArray id = opts.clientId.toUtf8();
    mosq = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), true, this);
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // An alarm must not wait for the acknowledgement of the message before it.
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq, &MqttClient::onConnectCb);
    mosquitto_disconnect_callback_set(mosq, &MqttClient::onDisconnectCb);
    mosquitto_message_callback_set(mosq, &MqttClient::onMessageCb);
    mosquitto_publish_callback_set(mosq, &MqttClient::onPublishCb);
    if (!opts.willTopic.isEmpty())
        mosquitto_will_set(mosq, opts.willTopic.toUtf8().constData(), int(opts.willPayload.size()),
                           opts.willPayload.constData(), 1, true);
    if (!opts.username.isEmpty())
        mosquitto_username_pw_set(mosq, opts.username.toUtf8().constData(),
                                  opts.password.isNull() ? nullptr : opts.password.constData());
    if (!opts.caFile.isEmpty())
        mosquitto_tls_set(mosq, opts.caFile.toUtf8().constData(), nullptr,
                          opts.certFile.isEmpty() ? nullptr : opts.certFile.toUtf8().constData(),
                          opts.keyFile.isEmpty() ? nullptr : opts.keyFile.toUtf8().constData(), nullptr);

    miscTimer.setInterval(1000);
    connect(&miscTimer, &QTimer::timeout, this, &MqttClient::onMisc);
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &MqttClient::attempt);
    stopTimer.setSingleShot(true);
    connect(&stopTimer, &QTimer::timeout, this, &MqttClient::finishStop);
}

MqttClient::~MqttClient()
{
    dropSocket();
    mosquitto_destroy(mosq);
}

void MqttClient::start()
{
    stopping = false;
    attempt();
}

void MqttClient::attempt()
{
    dropSocket();
    const int rc = everTried ? mosquitto_reconnect_async(mosq)
                             : mosquitto_connect_async(mosq, opts.host.toUtf8().constData(), opts.port,
                                                       opts.keepAliveS);
    everTried = true;
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(mosq) < 0) {
        lost(rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(strerror(errno)) : errorText(rc));
        return;
    }
    watchSocket();
}

void MqttClient::watchSocket()
{
    const int fd = mosquitto_socket(mosq);
    readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(readNotifier, &QSocketNotifier::activated, this, &MqttClient::onReadable);
    connect(writeNotifier, &QSocketNotifier::activated, this, &MqttClient::onWritable);
    // The connect itself completes when the socket turns writable.
    writeNotifier->setEnabled(true);
    miscTimer.start();
}

// The notifiers go before libmosquitto closes or reuses the socket.
void MqttClient::dropSocket()
{
    for (QSocketNotifier *n : {readNotifier, writeNotifier}) {
        if (n) {
            n->setEnabled(false);
            n->deleteLater();
        }
    }
    readNotifier = writeNotifier = nullptr;
    miscTimer.stop();
}

void MqttClient::lost(const QString &reason)
{
    const bool wasConnected = std::exchange(connectedNow, false);
    unacknowledged.clear();
    dropSocket();
    if (stopping) {
        finishStop();
        return;
    }
    if (wasConnected)
        retryMs = FirstRetryMs;
    retryTimer.start(retryMs);
    emit disconnected(reason, retryMs);
    retryMs = std::min(retryMs * 2, LastRetryMs);
}

void MqttClient::onReadable()
{
    const int rc = mosquitto_loop_read(mosq, 1);
    if (rc != MOSQ_ERR_SUCCESS) {
        if (readNotifier) // the disconnect callback may have handled it already
            lost(rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(strerror(errno)) : errorText(rc));
        return;
    }
    updateWriteInterest();
}

void MqttClient::onWritable()
{
    const int rc = mosquitto_loop_write(mosq, 1);
    if (rc != MOSQ_ERR_SUCCESS) {
        if (writeNotifier)
            lost(rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(strerror(errno)) : errorText(rc));
        return;
    }
    updateWriteInterest();
}

void MqttClient::onMisc()
{
    const int rc = mosquitto_loop_misc(mosq);
    if (rc != MOSQ_ERR_SUCCESS && readNotifier)
        lost(errorText(rc));
    else
        updateWriteInterest();
}

void MqttClient::updateWriteInterest()
{
    if (writeNotifier)
        writeNotifier->setEnabled(mosquitto_want_write(mosq));
}

bool MqttClient::publish(const QString &topic, const QByteArray &payload, int qos, bool retain)
{
    if (!connectedNow)
        return false;
    int mid = 0;
    const int rc = mosquitto_publish(mosq, &mid, topic.toUtf8().constData(), int(payload.size()),
                                     payload.constData(), qos, retain);
    if (rc == MOSQ_ERR_SUCCESS && qos > 0)
        unacknowledged.insert(mid);
    updateWriteInterest();
    return rc == MOSQ_ERR_SUCCESS;
}

void MqttClient::subscribe(const QString &filter, int qos)
{
    subscriptions.append({filter, qos});
    if (connectedNow) {
        mosquitto_subscribe(mosq, nullptr, filter.toUtf8().constData(), qos);
        updateWriteInterest();
    }
}

void MqttClient::stop(int timeoutMs)
{
    retryTimer.stop();
    stopping = true;
    if (!connectedNow) {
        finishStop();
        return;
    }
    stopTimer.start(timeoutMs);
    disconnectWhenAcknowledged();
}

void MqttClient::disconnectWhenAcknowledged()
{
    if (!stopping || !connectedNow || !unacknowledged.isEmpty())
        return;
    mosquitto_disconnect(mosq);
    updateWriteInterest();
}

void MqttClient::finishStop()
{
    if (!stopping)
        return;
    stopping = false;
    stopTimer.stop();
    connectedNow = false;
    dropSocket();
    emit stopped();
}

void MqttClient::onConnectCb(mosquitto *, void *self, int rc)
{
    auto *c = static_cast<MqttClient *>(self);
    if (rc != 0) {
        c->lost(QString::fromUtf8(mosquitto_connack_string(rc)));
        return;
    }
    c->connectedNow = true;
    c->retryMs = FirstRetryMs;
    for (const auto &[filter, qos] : c->subscriptions)
        mosquitto_subscribe(c->mosq, nullptr, filter.toUtf8().constData(), qos);
    emit c->connected();
    c->updateWriteInterest();
}

void MqttClient::onDisconnectCb(mosquitto *, void *self, int rc)
{
    auto *c = static_cast<MqttClient *>(self);
    if (c->stopping)
        c->finishStop();
    else if (c->readNotifier)
        c->lost(rc == 0 ? QStringLiteral("disconnected") : errorText(rc));
}

void MqttClient::onPublishCb(mosquitto *, void *self, int mid)
{
    auto *c = static_cast<MqttClient *>(self);
    c->unacknowledged.remove(mid);
    c->disconnectWhenAcknowledged();
}

void MqttClient::onMessageCb(mosquitto *, void *self, const mosquitto_message *m)
{
    auto *c = static_cast<MqttClient *>(self);
    const bool tooLong = m->payloadlen > c->longestPayload;
    emit c->messageReceived(QString::fromUtf8(m->topic),
                            tooLong ? QByteArray() : QByteArray(static_cast<const char *>(m->payload), m->payloadlen),
                            m->retain, tooLong);
}
