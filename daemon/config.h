#pragma once
#include "link/failure.h"
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <stdexcept>

// "kalmird-<host name>": unique per machine without configuration.
QString defaultClientId();

// What kalmird is told by its TOML file: one broker and any number of lines.
struct MqttConfig {
    QString host = QStringLiteral("127.0.0.1");
    int port = 1883;
    QString topic = QStringLiteral("kalmir"); // prefix of every topic
    QString clientId = defaultClientId(); // two services must never share one: the broker drops the older
    QString username;
    QString passwordFile; // the password is read from here, never kept in the config
    QString caFile;       // TLS when set
    QString certFile;     // a client certificate and its key, for a broker that asks for one
    QString keyFile;
    bool haDiscovery = false; // publish Home Assistant discovery configs
    int statsIntervalS = 60;
    bool operator==(const MqttConfig &) const = default;
};

// The gateway that lets Modbus TCP and RTU-over-TCP clients onto a line
// between the watch's own exchanges. Absent table: no gateway.
struct GatewayConfig {
    QString listen;    // Modbus TCP (MBAP), "HOST:PORT"; empty: none
    QString rtuListen; // whole RTU frames over TCP; empty: none
    int maxClients = 4;        // both ports together
    int idleTimeoutS = 60;     // a connection without a whole request for this long is closed
    double guestShare = 0.5;   // at most this share of the line's time, over GuestShareWindowMs
    int maxStatusAgeMs = 3000; // no online detector's status gets older than this because of guests
    int waitMs = 1000;         // a request not started by then is answered "gateway path unavailable"
    bool writes = false;       // guest writes: this and the line's writes both true
    QStringList allow;         // client subnets let in ("127.0.0.1/32"); empty: any
    bool enabled() const { return !listen.isEmpty() || !rtuListen.isEmpty(); }
    bool operator==(const GatewayConfig &) const = default;
};

struct LineConfig {
    QString name;      // a topic level
    QString port;      // a serial device, or tcp://HOST:PORT
    int speed = 9600;
    QList<uint8_t> devices; // empty: list what a bus search finds
    bool fastSearch = false;   // search = "fast": each probe waits only for an answer to begin
    int searchMarginMs = 30;   // how long after the request and 3.5 characters
    int delayMs = 0;
    QString logDir; // empty: no device logs
    int logMaxMb = 10;      // a device log is rotated when it reaches this size (MiB)
    int logKeep = 5;        // rotated files kept: dev5.1.txt .. dev5.<logKeep>.txt
    int offlineProbeS = 10; // a detector that is not online is asked at most this often
    int tcpSilenceS = 10;   // a server's connection with no answer for this long is made anew
    bool writes = false; // commands from the broker are carried out
    int commandTimeoutS = 10; // a command not sent by then is answered "expired"
    int stateMinIntervalMs = 1000; // a changed state waits this long after the last; 0: every reply
    int stateHeartbeatS = 60;      // an unchanged state is published again this often
    GatewayConfig gateway;
    bool search() const { return devices.isEmpty(); }
    bool operator==(const LineConfig &) const = default;
};

// The HTTP endpoint (/metrics, the status page). Absent from the file: none.
struct HttpConfig {
    bool enabled = false;
    QString host = QStringLiteral("127.0.0.1"); // an address, never a name: what is listened on is plain
    int port = 9740;
    QString tokenFile; // when set, every request needs the token in it
    QString certFile;  // HTTPS with this certificate and key when set
    QString keyFile;
    bool operator==(const HttpConfig &) const = default;
};

// $STATE_DIRECTORY (set by systemd's StateDirectory=), else /var/lib/kalmir.
QString defaultStateDir();

struct DaemonConfig {
    MqttConfig mqtt;
    HttpConfig http;
    QList<LineConfig> lines;
    QString stateDir = defaultStateDir(); // the queue of events and results: <stateDir>/queue.db
    int queueMaxMb = 64;                  // beyond it the oldest queued messages are dropped
    QString queuePath() const { return stateDir + QStringLiteral("/queue.db"); }
    bool operator==(const DaemonConfig &) const = default;
};

// Reads and checks the whole file. Unknown keys are errors. A configuration
// that cannot be used is a Config failure naming the file, the line in it
// and the key ("kalmird.toml:7: line.speed: ...").
Result<DaemonConfig> loadConfig(const QString &path);
// What kalmird would do with it, for --check: one line per fact.
QString describeConfig(const DaemonConfig &config);
// A topic level: letters, digits, '-' and '_' only.
bool isTopicLevel(const QString &text);
