#include "daemon/mqttclient.h"

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <mosquitto.h>
#include <openssl/ssl.h>

using namespace Qt::StringLiterals;

namespace {
struct LibraryInit {
    LibraryInit() { mosquitto_lib_init(); }
    ~LibraryInit() { mosquitto_lib_cleanup(); }
};

// A broker that closes a good connection twice within this time, without a
// word, is taking it over for another client of the same id (MQTT 3.1.1
// gives no reason; the broker just closes the older connection).
constexpr qint64 ClosedAgainMs = 60000;

// The library's texts end in a full stop and start in capitals; ours go
// inside a sentence.
QString libraryText(const char *text)
{
    QString t = QString::fromUtf8(text).trimmed();
    if (t.endsWith(u'.'))
        t.chop(1);
    if (t.size() > 1 && t[1].isLower())
        t[0] = t[0].toLower();
    return t;
}

// The last fatal TLS alert of a handshake: the only place OpenSSL tells
// why it failed (an expired certificate, an unknown CA) once the library
// has closed the connection. One client per process, on one thread.
QString lastTlsAlert;

void onTlsInfo(const SSL *, int where, int value)
{
    if (!(where & SSL_CB_ALERT) || qstrcmp(SSL_alert_type_string(value), "F") != 0)
        return;
    const QString alert = QString::fromLatin1(SSL_alert_desc_string_long(value));
    lastTlsAlert = where & SSL_CB_WRITE ? u"the broker's certificate is refused: "_s + alert
                                        : u"the broker refused the connection: "_s + alert;
}

// The alert a certificate check's failure makes OpenSSL send (its own table,
// the common rows): for a handshake that failed before the alert callback
// could be set, inside the connect call itself (a slow client, a quick broker).
QString alertForVerifyError(long error)
{
    switch (error) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_CHAIN_TOO_LONG:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
    case X509_V_ERR_INVALID_CA: return QString::fromLatin1(SSL_alert_desc_string_long(SSL_AD_UNKNOWN_CA));
    case X509_V_ERR_CERT_HAS_EXPIRED: return QString::fromLatin1(SSL_alert_desc_string_long(SSL_AD_CERTIFICATE_EXPIRED));
    case X509_V_ERR_CERT_REVOKED: return QString::fromLatin1(SSL_alert_desc_string_long(SSL_AD_CERTIFICATE_REVOKED));
    case X509_V_ERR_CERT_NOT_YET_VALID: return QString::fromLatin1(SSL_alert_desc_string_long(SSL_AD_BAD_CERTIFICATE));
    default: return QString::fromLatin1(SSL_alert_desc_string_long(SSL_AD_CERTIFICATE_UNKNOWN));
    }
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
    // The queue keeps 100 QoS 1 messages in flight (EventQueue::Window); the
    // library's own limit of 20 held a backlog to some 900 a second here.
    mosquitto_max_inflight_messages_set(mosq, 100);
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
        setUpTls();
    mosquitto_log_callback_set(mosq, &MqttClient::onLogCb);

    miscTimer.setInterval(1000);
    connect(&miscTimer, &QTimer::timeout, this, &MqttClient::onMisc);
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &MqttClient::attempt);
    stopTimer.setSingleShot(true);
    connect(&stopTimer, &QTimer::timeout, this, &MqttClient::finishStop);
}

// A TLS set-up that fails leaves the client unable to connect at all: it
// never falls back to plain text, where the password would travel in clear.
void MqttClient::setUpTls()
{
    const int rc = mosquitto_tls_set(mosq, opts.caFile.toUtf8().constData(), nullptr,
                                     opts.certFile.isEmpty() ? nullptr : opts.certFile.toUtf8().constData(),
                                     opts.keyFile.isEmpty() ? nullptr : opts.keyFile.toUtf8().constData(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS)
        tlsUnusable = u"TLS cannot be set up with %1: %2"_s.arg(opts.caFile, libraryText(mosquitto_strerror(rc)));
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
    if (!tlsUnusable.isEmpty()) {
        lost(tlsUnusable);
        return;
    }
    lastTlsAlert.clear();
    tlsHostMismatch = false;
    const int rc = everTried ? mosquitto_reconnect_async(mosq)
                             : mosquitto_connect_async(mosq, opts.host.toUtf8().constData(), opts.port,
                                                       opts.keepAliveS);
    everTried = true;
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(mosq) < 0) {
        lost(failureText(rc));
        return;
    }
    // The handshake has only begun: its alerts are still to come.
    if (auto *ssl = static_cast<SSL *>(mosquitto_ssl_get(mosq)))
        SSL_set_info_callback(ssl, &onTlsInfo);
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

QString MqttClient::failureText(int rc) const
{
    if (!opts.caFile.isEmpty() && (tlsHostMismatch || !lastTlsAlert.isEmpty() || rc == MOSQ_ERR_TLS
                                   || rc == MOSQ_ERR_TLS_HANDSHAKE)) {
        if (tlsHostMismatch)
            return u"TLS: the broker's certificate is not for the host \"%1\""_s.arg(opts.host);
        return u"TLS: "_s + (lastTlsAlert.isEmpty() ? u"the handshake failed"_s : lastTlsAlert);
    }
    switch (rc) {
    case MOSQ_ERR_ERRNO: return QString::fromLocal8Bit(std::strerror(errno));
    case MOSQ_ERR_CONN_LOST: return u"the connection was closed"_s;
    case MOSQ_ERR_KEEPALIVE:
        return u"the broker did not answer within the keep-alive time (%1 s)"_s.arg(opts.keepAliveS);
    default: return libraryText(mosquitto_strerror(rc));
    }
}

void MqttClient::lost(const QString &reason, bool closedByBroker)
{
    const bool wasConnected = std::exchange(connectedNow, false);
    unacknowledged.clear();
    dropSocket();
    if (stopping) {
        finishStop();
        return;
    }
    QString why = reason;
    bool closedAgain = false;
    if (wasConnected && closedByBroker) {
        closedAgain = lastClosed.isValid() && lastClosed.elapsed() < ClosedAgainMs;
        lastClosed.start();
        if (closedAgain)
            why += u" by the broker twice within a minute: most likely another client connects with the client id "
                   "\"%1\" and takes the connection over; give each client its own client_id in [mqtt] (the "
                   "default is kalmird-<host name>)"_s.arg(opts.clientId);
    }
    // Two clients that take one id from each other are slowed down, not sped up.
    if (wasConnected && !closedAgain)
        retryMs = FirstRetryMs;
    retryTimer.start(retryMs);
    emit disconnected(why, retryMs);
    retryMs = std::min(retryMs * 2, LastRetryMs);
}

void MqttClient::onReadable()
{
    const int rc = mosquitto_loop_read(mosq, 1);
    if (rc != MOSQ_ERR_SUCCESS) {
        if (readNotifier) // the disconnect callback may have handled it already
            lost(failureText(rc));
        return;
    }
    updateWriteInterest();
}

void MqttClient::onWritable()
{
    const int rc = mosquitto_loop_write(mosq, 1);
    if (rc != MOSQ_ERR_SUCCESS) {
        if (writeNotifier)
            lost(failureText(rc));
        return;
    }
    updateWriteInterest();
}

void MqttClient::onMisc()
{
    const int rc = mosquitto_loop_misc(mosq);
    if (rc != MOSQ_ERR_SUCCESS && readNotifier)
        lost(failureText(rc));
    else
        updateWriteInterest();
}

void MqttClient::updateWriteInterest()
{
    if (writeNotifier)
        writeNotifier->setEnabled(mosquitto_want_write(mosq));
}

bool MqttClient::publish(const QString &topic, const QByteArray &payload, int qos, bool retain, int *midOut,
                         QString *refused)
{
    if (!connectedNow)
        return false;
    int mid = 0;
    const int rc = mosquitto_publish(mosq, &mid, topic.toUtf8().constData(), int(payload.size()),
                                     payload.constData(), qos, retain);
    if (rc == MOSQ_ERR_SUCCESS && qos > 0)
        unacknowledged.insert(mid);
    if (midOut)
        *midOut = mid;
    // What the message itself is refused for; a lost connection is no refusal.
    if (refused && (rc == MOSQ_ERR_INVAL || rc == MOSQ_ERR_MALFORMED_UTF8 || rc == MOSQ_ERR_PAYLOAD_SIZE
                    || rc == MOSQ_ERR_OVERSIZE_PACKET))
        *refused = libraryText(mosquitto_strerror(rc));
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
    emit stopRequested();
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
        c->lost(u"refused by the broker: "_s + libraryText(mosquitto_connack_string(rc)).remove(u"connection Refused: "_s));
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
        c->lost(rc == 0 ? u"disconnected"_s : c->failureText(rc), rc == MOSQ_ERR_CONN_LOST);
}

void MqttClient::onLogCb(mosquitto *m, void *self, int level, const char *text)
{
    if (level != MOSQ_LOG_ERR || !text)
        return;
    // The library's own check of the certificate's name says so only here.
    if (std::strstr(text, "host name verification failed"))
        static_cast<MqttClient *>(self)->tlsHostMismatch = true;
    // A failed handshake is logged while its connection still exists: the
    // certificate check's verdict is read there if no alert was seen.
    const auto *ssl = static_cast<const SSL *>(mosquitto_ssl_get(m));
    if (ssl && lastTlsAlert.isEmpty() && SSL_get_verify_result(ssl) != X509_V_OK)
        lastTlsAlert = u"the broker's certificate is refused: "_s + alertForVerifyError(SSL_get_verify_result(ssl));
}

void MqttClient::onPublishCb(mosquitto *, void *self, int mid)
{
    auto *c = static_cast<MqttClient *>(self);
    if (c->unacknowledged.remove(mid))
        emit c->acknowledged(mid);
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
