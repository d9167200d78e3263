#pragma once
#include "daemon/config.h"
#include "daemon/gateway/guestclock.h"
#include "daemon/gateway/guestconnection.h"
#include "daemon/gateway/guestcounts.h"
#include "daemon/gateway/guestpolicy.h"

#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>
#include <functional>
#include <map>
#include <vector>

class LineService;
struct GuestResult;
struct GuestJob;

// A listed detector as the freshness rule sees it.
struct DetectorFreshness {
    uint8_t address = 0;
    bool online = false;
    double lastGoodMs = 0; // its last good status, on the line's clock
};

// The gateway of one watched line: Modbus TCP and RTU-over-TCP clients
// take their turn on the line between the watch's own exchanges, under the
// rules of GuestPolicy and guestrules. Nothing a guest does is repeated,
// and what guests do touches none of the watch's facts: they have counts
// of their own and a log line for each request that fails, at most one a
// second of a kind from one address (logThrottled).
class LineGateway : public QObject {
    Q_OBJECT
public:
    // What the watch knows of its detectors, asked at each turn.
    using Watch = std::function<std::vector<DetectorFreshness>()>;

    LineGateway(const LineConfig &line, LineService &service, Watch watch, QObject *parent = nullptr);
    ~LineGateway() override;

    // Opens the ports; one that cannot be opened is logged and left closed.
    void start();
    const GuestCounts &counts() const { return tally; }

private:
    struct Client {
        QPointer<GuestConnection> connection; // null once closed
        QString peer;
        bool rtu = false;
        double answerByMs = 0; // the RTU port: the request under way is answered by then or not at all
        bool onLine = false;   // its request is on the line
    };

    void listen(QTcpServer &server, const QString &where, const char *what);
    void accept(QTcpServer &server, GuestConnection::Kind kind);
    QString admission(const QHostAddress &peer) const;
    void onRequest(GuestConnection *connection, const QByteArray &request, double ageMs);
    void onClosed(GuestConnection *connection, const QString &why);
    std::optional<GuestJob> nextJob();
    void onDone(const GuestRequest &request, double startedMs, const GuestResult &result);
    void expire();
    void armExpiry();
    void answer(int client, const QByteArray &pdu);
    void refuse(int client, const QByteArray &request, uint8_t code, uint64_t &count, const QString &why);
    // The lines about a client, through the log's throttle.
    void logFailure(int client, const QByteArray &request, const QString &why) const;
    void logClient(const QString &peer, const QString &kind, const QString &what) const;
    int connectedCount() const;
    LineFacts facts(double nowMs);

    LineConfig line;
    GatewayConfig cfg;
    LineService &service;
    Watch watch;
    QTcpServer modbusServer;
    QTcpServer rtuServer;
    std::map<int, Client> clients; // kept past the close while the client's request is on the line
    GuestPolicy policy;
    GuestCounts tally;
    guestclock::Pace ownPace;
    double lastTurnMs = -1; // the watch's last exchange or a guest's ended then
    int nextNumber = 1;
    QTimer expiry;
};
