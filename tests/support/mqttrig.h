#pragma once
#include "support/localport.h"
#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Whether something accepts connections on 127.0.0.1:port.
bool localPortAccepts(int port);

// Mosquitto from Debian on 127.0.0.1 with a configuration file of its own,
// no persistence: a retained message that survives a restart was published anew.
class BrokerProcess {
public:
    // logPublishes: every message it receives gets a line in log().
    // extraConfig: lines after its own (a bridge, persistence on).
    explicit BrokerProcess(bool logPublishes = false, const QByteArray &extraConfig = {});
    ~BrokerProcess() { stop(); }
    QByteArray log() const;
    bool start(int timeoutMs = 5000); // on the same port every time
    void stop();
    void kill(); // SIGKILL: nothing saved at the end
    int port() const { return listenPort; }
    QString folder() const { return dir.path(); }

private:
    QTemporaryDir dir;
    int listenPort;
    QProcess proc;
};

// mosquitto_sub on a topic filter: every message it received, in order.
class Subscriber {
public:
    Subscriber(int port, const QString &filter);
    ~Subscriber();
    struct Message {
        QString topic;
        QByteArray payload;
    };
    // Reads what has arrived; the latest payload per topic and all messages.
    const QList<Message> &messages();
    QByteArray latest(const QString &topic);
    // Turns the event loop until a message on `topic` with a payload that
    // `accept` takes arrives (or arrived since `from`, an index into messages()).
    bool waitFor(const QString &topic, const std::function<bool(const QByteArray &)> &accept, int timeoutMs,
                 int from = 0);
    bool waitFor(const QString &topic, const QByteArray &payload, int timeoutMs, int from = 0)
    {
        return waitFor(topic, [&](const QByteArray &p) { return p == payload; }, timeoutMs, from);
    }

private:
    QProcess proc;
    QByteArray pending;
    QList<Message> all;
};

// The kalmird program with a configuration file written for it, and a state
// folder of its own (its queue) that outlives a kill() and the next start().
class DaemonProcess {
public:
    explicit DaemonProcess(const QString &configText);
    ~DaemonProcess();
    QString configPath() const { return dir.filePath(QStringLiteral("kalmird.toml")); }
    QString stateDir() const { return dir.filePath(QStringLiteral("state")); }
    void start(const QStringList &extra = {});
    // Its stderr to this file (a FIFO, say) from the next start on, not to errorOutput().
    void setErrorFile(const QString &path) { proc.setStandardErrorFile(path, QIODevice::Append); }
    // SIGKILL, as a crash or a power cut would end it.
    void kill();
    // Runs to its end (for --check and bad files): exit code, stdout and stderr.
    int run(const QStringList &extra, QByteArray *out, QByteArray *err);
    // SIGTERM, then its exit code (-1 if it had to be killed).
    int terminate(int timeoutMs = 5000);
    QByteArray errorOutput();
    qint64 pid() const { return proc.processId(); }

private:
    QTemporaryDir dir;
    QProcess proc;
    QByteArray err;
};

// kalmird's smallest configuration: the local broker and one line, whose
// `devices` is given as its TOML value ("[4, 6]" or "\"search\"").
QString oneLineConfig(int brokerPort, const QString &lineName, const QString &port, const QString &devices);
