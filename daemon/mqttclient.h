#pragma once
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <limits>

struct mosquitto;
struct mosquitto_message;
class QSocketNotifier;

// An MQTT client (libmosquitto) run by the Qt event loop: socket notifiers
// for reading and writing and a timer for keep-alive, so it needs no thread
// of its own. It connects, and after a failed attempt or a lost connection
// tries again, after 1 s at first, then twice as long each time up to 30 s.
class MqttClient : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString host = QStringLiteral("127.0.0.1");
        int port = 1883;
        QString clientId;
        QString username;
        QByteArray password;
        QString caFile; // TLS when set; the broker's name is checked against its certificate
        QString certFile; // a client certificate and its key, when the broker asks for one
        QString keyFile;
        // Published by the broker for us when the connection breaks off.
        QString willTopic;
        QByteArray willPayload;
        int keepAliveS = 10;
    };

    static constexpr int FirstRetryMs = 1000;
    static constexpr int LastRetryMs = 30000;

    explicit MqttClient(Options options, QObject *parent = nullptr);
    ~MqttClient() override;

    // Starts connecting (and reconnecting, for as long as the client lives).
    void start();
    // Sends what is queued, then disconnects cleanly (no last will); stopped()
    // follows, at the latest after timeoutMs.
    void stop(int timeoutMs = 2000);
    bool isConnected() const { return connectedNow; }

    // Queues one message; false (nothing queued) while not connected. mid
    // gets its message id, which acknowledged() names when the broker has it.
    // refused gets why the client will never take this message (a topic
    // with a wildcard, a payload too long), and stays empty otherwise.
    bool publish(const QString &topic, const QByteArray &payload, int qos, bool retain, int *mid = nullptr,
                 QString *refused = nullptr);
    // Subscribes now and on every later connection.
    void subscribe(const QString &filter, int qos);
    // Messages longer than this reach messageReceived() without their
    // payload, so a huge one is never copied.
    void setLongestPayload(qsizetype bytes) { longestPayload = bytes; }

signals:
    void connected();
    // A connection attempt failed or the connection was lost; a retry is due in retryMs.
    void disconnected(const QString &reason, int retryMs);
    // tooLong: the payload was longer than setLongestPayload() and is left out.
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained, bool tooLong);
    void stopped();
    // The broker acknowledged the QoS 1 message of this id.
    void acknowledged(int mid);
    // stop() was called: what is still to be published goes out now, and
    // the stop waits for its acknowledgements.
    void stopRequested();

private:
    static void onConnectCb(mosquitto *, void *self, int rc);
    static void onMessageCb(mosquitto *, void *self, const mosquitto_message *message);
    static void onDisconnectCb(mosquitto *, void *self, int rc);
    static void onPublishCb(mosquitto *, void *self, int mid);
    static void onLogCb(mosquitto *, void *self, int level, const char *text);

    void setUpTls();
    void attempt();
    QString failureText(int rc) const;
    void watchSocket();
    void dropSocket();
    // closedByBroker: the broker closed the connection without a word.
    void lost(const QString &reason, bool closedByBroker = false);
    void onReadable();
    void onWritable();
    void onMisc();
    void updateWriteInterest();
    void finishStop();
    void disconnectWhenAcknowledged();

    Options opts;
    mosquitto *mosq = nullptr;
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    QTimer miscTimer;  // keep-alive pings, retries of QoS 1 messages
    QTimer retryTimer; // the next connection attempt
    QTimer stopTimer;  // a clean stop that takes too long ends anyway
    int retryMs = FirstRetryMs;
    bool connectedNow = false;
    bool stopping = false;
    bool everTried = false;
    QString tlsUnusable; // why TLS could not be set up: nothing connects then
    bool tlsHostMismatch = false; // this attempt met a certificate for another host
    QElapsedTimer lastClosed; // when the broker last closed a good connection
    QList<QPair<QString, int>> subscriptions;
    qsizetype longestPayload = std::numeric_limits<int>::max();
    // QoS 1 messages the broker has not acknowledged yet. A stop waits for
    // them: closing with its acknowledgements unread would reset the
    // connection, and the broker could drop what it had not read yet.
    QSet<int> unacknowledged;
};
