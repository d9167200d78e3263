#pragma once
#include "link/exchangeresult.h"
#include "link/frames.h"
#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>

class LineChannel;
class Transaction;

// One exchange of the line's own work: a status read, a command's write or
// a search probe, to one detector.
struct LineJob {
    uint8_t address = 0;
    uint8_t function = FnReadHolding;
    uint16_t reg = 0;
    uint16_t value = 0;
    double answerMarginMs = -1; // >= 0: wait only for an answer to begin (a fast probe)
    // Where the line waits for late answers (see setAwaitLateAnswers()): a
    // time-out of this job holds the next request. A search's probes, most of
    // them to nobody, do not: each would cost two read windows.
    bool lateAnswerHold = true;
};

// How a guest's exchange ended, for the guest to answer its client.
struct GuestResult {
    enum class Outcome { Reply, TimedOut, PortFailed };
    Outcome outcome = Outcome::TimedOut;
    QByteArray reply; // the frame as it came, CRC included (empty when none)
    bool crcGood = false;
    double onLineMs = 0; // the request's last byte on the line (the line's clock)
    double firstByteMs = 0, lastByteMs = 0, endedMs = 0;
    Failure error; // PortFailed: what failed
};

// A request from outside the line's own work (a gateway's client).
struct GuestJob {
    QByteArray request; // address and PDU, without CRC; the service adds it
    std::function<void(const GuestResult &)> done; // called exactly once
};

// The one owner of a line's exchanges. Its clients (polling, the bus
// search, and through polling the window's and the broker's commands) run
// jobs one at a time and each gets its result back as a value; guests take
// their turn between them, at most one after each of the line's own
// exchanges, when the source says one may go. A line its own work has left
// idle for a whole read window (nobody due) serves waiting guests one after
// another; the next job of its own waits for the one on the line only.
class LineService : public QObject {
    Q_OBJECT
public:
    using Done = std::function<void(const ExchangeResult &)>;

    explicit LineService(LineChannel &channel, QObject *parent = nullptr);
    ~LineService() override;

    // Runs a job. False, and nothing done, while another job of the line's
    // own runs or waits; one that finds a guest's exchange on the line
    // starts when it ends. `done` is called exactly once, never from inside
    // this call; a port failure comes as ExchangeResult::Outcome::PortFailed.
    bool run(const LineJob &job, Done done);
    // A job of the line's own is under way or waiting.
    bool busy() const { return bool(ownDone); }

    // Asked once after each of the line's own exchanges has ended and its
    // client has been told, before the next one starts: a guest's job to run
    // now, or nullopt.
    void setGuestSource(std::function<std::optional<GuestJob>()> source) { guests = std::move(source); }
    // A guest's request waits: the source is asked as soon as the line has
    // been idle long enough (at once if it has).
    void guestWaiting();
    // True while the source is asked on an idle line rather than after an exchange.
    bool idleTurn() const { return offeringIdle; }
    // How long the line's own work must have left it idle before guests go on their own.
    static constexpr double IdleBeforeGuestsMs = 531;

    // After an exchange that timed out (the line's own or a guest's), the
    // line takes no request until a late answer has had one more read window
    // to come; one that comes is dropped (as stray bytes at the next purge)
    // rather than landing on the next request, and the wait ends once the
    // line has been quiet for 3.5 characters after it. Off unless set: the
    // window keeps its own timing.
    void setAwaitLateAnswers(bool on) { awaitLate = on; }
    // The wait for a late answer is under way.
    bool holding() const;

    bool lineUp() const;
    double nowMs() const;  // the line's monotonic clock
    double charMs() const; // one character's wire time at the line's speed

signals:
    // Every exchange as it ended, the guests' too, for whoever watches the line.
    void exchanged(const ExchangeResult &result);

private:
    void onFinished(const ExchangeResult &result);
    void startOwn();
    void offerGuestTurn();
    void offerIdleTurn();
    void holdIfTimedOut(const ExchangeResult &result, bool jobHolds);
    void onLateAnswerOver();
    bool lineFree() const { return !ownOnLine && !ownJob && !guestDone && !holding(); }

    LineChannel &channel;
    Transaction *transaction; // owned; a pointer so that users of this header need not see it
    std::optional<LineJob> ownJob; // waits for a guest's exchange to end
    Done ownDone;                  // set from run() until its result is handed over
    bool ownOnLine = false;
    std::function<void(const GuestResult &)> guestDone; // the guest exchange under way
    std::function<std::optional<GuestJob>()> guests;
    QTimer idleWait;               // due when the line has been idle long enough for guests
    double ownEndedMs = -1e9;      // when the last exchange of the line's own ended
    bool offeringIdle = false;
    bool awaitLate = false;
    bool ownHolds = false;      // the own job on the line holds the line after a time-out
    bool guestTurnOwed = false; // the turn after the last own exchange came while the line was held
};
