#pragma once
#include "daemon/config.h"
#include "daemon/linelogs.h"
#include "daemon/passorder.h"
#include "daemon/payloads.h"
#include "session/session.h"
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <map>
#include <vector>

// A listed detector as the gateway's freshness rule sees it.
struct DetectorFreshness {
    uint8_t address = 0;
    bool online = false;
    double lastGoodMs = 0; // its last good status, on the line's clock
};

// One line of the site: its session (port, polling cycle, port watch, device
// logs) and what the service makes of it per detector: online after a good
// reply, offline after OfflineAfterFailures failed passes in a row or when the
// line is lost, and a change of an alarm bit. A port that cannot be opened at
// start is tried again every second; a lost one is watched by the session,
// which resumes polling when it is back. A serial server's connection on
// which no detector has answered for tcpSilenceS is made anew: a server can
// stop passing bytes and keep the socket. Detectors that are not online are
// asked only now and then (PassOrder), and the device logs are a record
// that never stops polling (LineLogs).
class LineWatch : public QObject {
    Q_OBJECT
public:
    static constexpr int OfflineAfterFailures = 3;
    static constexpr int OpenRetryMs = 1000;
    static constexpr int SearchRetryMs = 30000;

    explicit LineWatch(LineConfig config, QObject *parent = nullptr);

    const LineConfig &config() const { return cfg; }
    Session &session() { return sess; }
    // The listed addresses, in polling order.
    QList<uint8_t> addresses();
    // Each listed detector, in polling order: online or not, and when its last good status came.
    std::vector<DetectorFreshness> freshness();

    // Lists the configured detectors and opens the line; a log folder that
    // does not work leaves the line without logs.
    void start();
    // Stops polling and the watch and closes the port.
    void stop();

signals:
    void stateRead(uint8_t address, const DeviceStatus &status, const StatusRegisters &registers,
                   const QDateTime &time);
    void availabilityChanged(uint8_t address, bool online);
    void alarmChanged(uint8_t address, const QString &kind, bool on, const QDateTime &time);

private:
    enum class Presence { Unknown, Online, Offline };
    struct Detector {
        Presence presence = Presence::Unknown;
        int failures = 0;         // failed passes in a row
        bool seen = false;        // a good status reply came since start
        uint8_t alarms = 0;       // the alarm bits of the last one
        double lastGoodMs = 0;    // when it came, on the line's clock
    };

    void tryOpen();
    void onOpenFailed(const QString &message);
    void onOpened();
    void work();
    void onStatus(const StatusSample &sample);
    void onExchange(uint8_t address, ExchangeOutcome outcome);
    void onLineAway(const QString &message);
    void setPresence(uint8_t address, Presence presence);
    void checkSilence(ExchangeOutcome outcome);
    QString name() const { return QStringLiteral("line %1").arg(cfg.name); }

    LineConfig cfg;
    Session sess;
    QTimer retry; // the next open or search attempt
    bool openFailureLogged = false;
    std::map<uint8_t, Detector> detectors;
    LineLogs logs;
    PassOrder order;
    QElapsedTimer clock;
    qint64 lastAnswerMs = 0;    // on clock: the line opened, or a detector answered
    bool reconnecting = false;  // the silent connection closes once polling has stopped
};
