#include "daemon/linewatch.h"
#include "daemon/log.h"
#include "daemon/failurelog.h"
#include "link/tcpline.h"

namespace {
int capacityFor(const LineConfig &config)
{
    return config.search() ? 247 : int(config.devices.size());
}
} // namespace

LineWatch::LineWatch(LineConfig config, QObject *parent)
    : QObject(parent), cfg(std::move(config)), sess(this, capacityFor(cfg)), logs(cfg),
      order(cfg.offlineProbeS * 1000)
{
    retry.setSingleShot(true);
    clock.start();
    sess.setPollingDelay(cfg.delayMs);
    // A late answer must not land on the next request, a guest's neither.
    sess.setAwaitLateAnswers(true);
    // The window's logs end polling when a row fails; here LineLogs writes them.
    sess.setLogging(false);
    sess.setLogFiles(false);
    sess.setOfflineAfter(OfflineAfterFailures);
    sess.setPassOrder([this] {
        const DetectorRecords &records = sess.detectors();
        return order.next(
            sess.listed(), [&records](uint8_t a) { return records.find(a) && records.find(a)->online(); },
            clock.elapsed());
    });

    connect(&sess, &Session::statusReceived, this, [this](const StatusSample &sample) { logs.write(sample); });
    connect(&sess, &Session::detectorChanged, this, &LineWatch::onChange);
    connect(&sess, &Session::portAway, this, &LineWatch::onLineAway);
    connect(&sess, &Session::portLost, this, &LineWatch::onLineAway);
    connect(&sess, &Session::portBack, this, [this] {
        up = true;
        logEvent(QStringLiteral("%1: %2 is back").arg(name(), cfg.port));
        lastAnswerMs = clock.elapsed();
        order.restart();
        work();
    });
    connect(&sess, &Session::pollingEnded, this, [this] {
        if (std::exchange(reconnecting, false)) {
            sess.shutDown();
            tryOpen();
        }
    });
    // An end with the port still open (a log file that fails) is retried;
    // one with the port lost is the session's to resume.
    connect(&sess, &Session::pollingFailed, this, [this](const Failure &failure) {
        logEvent(QStringLiteral("%1: polling stopped: %2").arg(name(), logText(failure)));
        reconnecting = false; // the port's own failure is being dealt with
        if (sess.lineOpen())
            retry.start(OpenRetryMs);
    });
    connect(&sess, &Session::searchEnded, this, [this] {
        const int found = sess.deviceCount();
        logEvent(QStringLiteral("%1: bus search found %2 detector(s)").arg(name()).arg(found));
        if (const int fast = sess.fastProbes(); fast > 0)
            logEvent(QStringLiteral("%1: %2 address(es) probed fast, waiting %3 ms for an answer to begin; "
                                    "a slower detector is found only by a normal search (search = \"normal\")")
                         .arg(name()).arg(fast).arg(cfg.searchMarginMs));
        if (found > 0)
            work();
        else
            retry.start(SearchRetryMs);
    });
    connect(&sess, &Session::lineOpened, this, &LineWatch::onOpened);
    connect(&sess, &Session::connectFailed, this, &LineWatch::onOpenFailed);
    connect(&retry, &QTimer::timeout, this, [this] { sess.lineOpen() ? work() : tryOpen(); });
}

QList<uint8_t> LineWatch::addresses()
{
    return sess.listed();
}

void LineWatch::start()
{
    logs.start();
    for (const uint8_t a : cfg.devices)
        sess.listDevice(a);
    tryOpen();
}

void LineWatch::stop()
{
    retry.stop();
    up = false;
    // What the shutdown itself cuts short is no news.
    disconnect(&sess, nullptr, this, nullptr);
    sess.shutDown();
}

void LineWatch::tryOpen()
{
    const Result<bool> open = sess.openLine(cfg.port, uint8_t(cfg.speed / 1200));
    if (!open)
        onOpenFailed(open.failure());
    else if (*open)
        onOpened();
    // else a serial server is being reached: lineOpened() or connectFailed() follows
}

void LineWatch::onOpenFailed(const Failure &failure)
{
    up = false;
    if (!std::exchange(openFailureLogged, true))
        logEvent(QStringLiteral("%1: cannot open %2: %3; trying again every second").arg(name(), cfg.port, logText(failure)));
    // What an earlier run left retained must not say they are online.
    sess.markLineLost();
    retry.start(OpenRetryMs);
}

void LineWatch::onOpened()
{
    up = true;
    openFailureLogged = false;
    lastAnswerMs = clock.elapsed();
    order.restart();
    logEvent(QStringLiteral("%1: opened %2 at %3 baud").arg(name(), cfg.port).arg(cfg.speed));
    work();
}

// Polls the listed detectors; a search line with none listed yet searches first.
void LineWatch::work()
{
    if (sess.pollingRunning() || sess.searchRunning())
        return;
    if (sess.deviceCount() > 0) {
        sess.startPolling();
    } else if (cfg.search()) {
        logEvent(QStringLiteral("%1: searching the bus").arg(name()));
        sess.setFastSearch(cfg.fastSearch);
        sess.setSearchMarginMs(cfg.searchMarginMs);
        sess.startSearch();
    }
}

void LineWatch::onChange(uint8_t address, const DetectorChange &change)
{
    switch (change.kind) {
    case DetectorChange::Kind::Online:
    case DetectorChange::Kind::Offline: {
        const bool online = change.kind == DetectorChange::Kind::Online;
        logEvent(QStringLiteral("%1: detector %2 %3").arg(name()).arg(address).arg(online ? "online" : "offline"));
        break;
    }
    case DetectorChange::Kind::Exchange: onExchange(address, change.outcome); break;
    case DetectorChange::Kind::Status:
    case DetectorChange::Kind::Alarm:
    case DetectorChange::Kind::Request: break;
    }
}

void LineWatch::onExchange(uint8_t address, ExchangeOutcome outcome)
{
    checkSilence(outcome);
    passRate.add(clock.elapsed());
    if (outcome == ExchangeOutcome::Good)
        order.answered(address);
}

void LineWatch::onLineAway(const Failure &failure)
{
    logEvent(QStringLiteral("%1: %2 lost: %3").arg(name(), cfg.port, logText(failure)));
    up = false;
    ++lostCount;
}

// Any reply, even a refusal, shows the connection carries bytes. A silent
// one is closed once the pass under way has ended, and opened again.
void LineWatch::checkSilence(ExchangeOutcome outcome)
{
    if (outcome != ExchangeOutcome::Timeout) {
        lastAnswerMs = clock.elapsed();
        return;
    }
    if (!isTcpName(cfg.port) || reconnecting || clock.elapsed() - lastAnswerMs < cfg.tcpSilenceS * 1000)
        return;
    logEvent(QStringLiteral("%1: no detector has answered for %2 s; connecting to %3 anew")
                 .arg(name())
                 .arg(cfg.tcpSilenceS)
                 .arg(cfg.port));
    reconnecting = true;
    sess.stopPolling();
}
