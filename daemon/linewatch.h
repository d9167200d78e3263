#pragma once
#include "daemon/config.h"
#include "daemon/linefigures.h"
#include "daemon/linelogs.h"
#include "daemon/passorder.h"
#include "session/session.h"
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// One line of the site: its session (port, polling cycle, port watch, device
// logs, and the detectors' records, which say when one comes online, goes
// offline after OfflineAfterFailures failed passes in a row or with the line,
// or changes an alarm bit; the broker's side follows them itself). A port
// that cannot be opened at start is tried again every second; a lost one is
// watched by the session, which resumes polling when it is back. A serial
// server's connection on which no detector has answered for tcpSilenceS is
// made anew: a server can stop passing bytes and keep the socket. Detectors
// that are not online are asked only now and then (PassOrder), and the
// device logs are a record that never stops polling (LineLogs).
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

    // Lists the configured detectors and opens the line; a log folder that
    // does not work leaves the line without logs.
    void start();
    // Stops polling and the watch and closes the port.
    void stop();

    // What the HTTP endpoint shows beside the detectors' records: the port
    // open and not lost, the times it was lost, the passes per second.
    bool lineUp() const { return up; }
    uint64_t losses() const { return lostCount; }
    double passesPerSecond() const { return passRate.perSecond(clock.elapsed()); }

private:
    void tryOpen();
    void onOpenFailed(const Failure &failure);
    void onOpened();
    void work();
    void onChange(uint8_t address, const DetectorChange &change);
    void onExchange(uint8_t address, ExchangeOutcome outcome);
    void onLineAway(const Failure &failure);
    void checkSilence(ExchangeOutcome outcome);
    QString name() const { return QStringLiteral("line %1").arg(cfg.name); }

    LineConfig cfg;
    Session sess;
    QTimer retry; // the next open or search attempt
    bool openFailureLogged = false;
    LineLogs logs;
    PassOrder order;
    QElapsedTimer clock;
    qint64 lastAnswerMs = 0;    // on clock: the line opened, or a detector answered
    bool reconnecting = false;  // the silent connection closes once polling has stopped
    bool up = false;
    uint64_t lostCount = 0;
    PassRate passRate;
};
