#include "session/lineservice.h"
#include "link/linechannel.h"
#include "link/transaction.h"
#include <algorithm>
#include <cmath>
#include <utility>

namespace {
GuestResult guestResult(const ExchangeResult &r)
{
    GuestResult g;
    g.onLineMs = r.onLineMs;
    g.firstByteMs = r.firstByteMs;
    g.lastByteMs = r.lastByteMs;
    g.endedMs = r.endedMs;
    if (r.outcome == ExchangeResult::Outcome::PortFailed) {
        g.outcome = GuestResult::Outcome::PortFailed;
        g.error = r.error;
        return g;
    }
    if (r.count == 0)
        return g;
    g.outcome = GuestResult::Outcome::Reply;
    g.reply = QByteArray(reinterpret_cast<const char *>(r.frame.reply()), r.count);
    g.crcGood = r.intact;
    return g;
}
} // namespace

LineService::LineService(LineChannel &lineChannel, QObject *parent)
    : QObject(parent), channel(lineChannel), transaction(new Transaction(lineChannel, this))
{
    connect(transaction, &Transaction::finished, this, &LineService::onFinished);
    idleWait.setSingleShot(true);
    idleWait.setTimerType(Qt::PreciseTimer); // a coarse one may fire before the line has been idle long enough
    connect(&idleWait, &QTimer::timeout, this, &LineService::offerIdleTurn);
    // Queued: the wait also ends inside a close, where no exchange may start.
    connect(&channel, &LineChannel::lateAnswerOver, this, &LineService::onLateAnswerOver, Qt::QueuedConnection);
}

LineService::~LineService() = default;

bool LineService::run(const LineJob &job, Done done)
{
    if (busy())
        return false;
    ownJob = job;
    ownDone = std::move(done);
    if (!guestDone && !holding())
        startOwn();
    return true;
}

void LineService::startOwn()
{
    const LineJob job = *std::exchange(ownJob, std::nullopt);
    ownOnLine = true;
    ownHolds = job.lateAnswerHold;
    // Refused only while another exchange runs, which the two flags rule out.
    transaction->query(job.address, job.function, job.reg, job.value, job.answerMarginMs);
}

void LineService::onFinished(const ExchangeResult &finished)
{
    // The transaction's own copy: a client that starts its next job from
    // inside its result (the search) clears it before the watchers see it.
    const ExchangeResult result = finished;
    if (guestDone) {
        holdIfTimedOut(result, true);
        std::exchange(guestDone, nullptr)(guestResult(result));
        emit exchanged(result);
        if (holding())
            return; // the rest when the wait is over
        if (ownJob)
            startOwn();
        else
            guestWaiting();
        return;
    }
    if (!std::exchange(ownOnLine, false))
        return;
    ownEndedMs = channel.nowMs();
    holdIfTimedOut(result, ownHolds);
    std::exchange(ownDone, nullptr)(result);
    emit exchanged(result);
    offerGuestTurn();
}

// After the client has acted on its reply (a new speed set, say), so that a
// guest never runs into the line's own changes.
void LineService::offerGuestTurn()
{
    if (!guests || ownOnLine || guestDone || !lineUp())
        return;
    if (holding()) {
        guestTurnOwed = true;
        return;
    }
    std::optional<GuestJob> job = guests();
    if (!job)
        return;
    guestDone = std::move(job->done);
    if (!transaction->queryFrame(job->request)) {
        GuestResult refused;
        refused.outcome = GuestResult::Outcome::PortFailed;
        refused.error = Failure::of(Failure::Kind::NotAFrame);
        std::exchange(guestDone, nullptr)(refused);
        if (ownJob)
            startOwn();
    }
}

void LineService::guestWaiting()
{
    if (!guests || !lineFree() || idleWait.isActive())
        return;
    idleWait.start(int(std::ceil(std::max(0.0, ownEndedMs + IdleBeforeGuestsMs - channel.nowMs()))));
}

void LineService::offerIdleTurn()
{
    if (!lineFree())
        return; // the line's own work came back meanwhile
    if (channel.nowMs() - ownEndedMs < IdleBeforeGuestsMs) {
        guestWaiting(); // early by a fraction of a millisecond
        return;
    }
    offeringIdle = true;
    offerGuestTurn();
    offeringIdle = false;
}

// Before the client hears of the time-out, so that its next job waits too.
void LineService::holdIfTimedOut(const ExchangeResult &result, bool jobHolds)
{
    if (!awaitLate || !jobHolds || result.outcome != ExchangeResult::Outcome::Reply || result.count != 0)
        return;
    const LineChannel::Timing &t = channel.timingConstants();
    // A late answer is whole by its own function code and length, as any answer.
    const auto whole = [request = result.frame, &framer = transaction->framing()](const QByteArray &seen) {
        return framer.awaited(request.request(), reinterpret_cast<const uint8_t *>(seen.constData()),
                              int(seen.size()), true) == 0;
    };
    channel.awaitLateAnswer(double(t.readMsPerByte) * ExpectedReplyLength + t.readConstantMs, whole);
}

// What waited for the line takes it in the usual order: the guest's turn
// after the line's own exchange, then the line's own next job.
void LineService::onLateAnswerOver()
{
    if (holding() || ownOnLine || guestDone)
        return;
    if (std::exchange(guestTurnOwed, false))
        offerGuestTurn();
    if (guestDone)
        return;
    if (ownJob)
        startOwn();
    else
        guestWaiting();
}

bool LineService::holding() const
{
    return channel.awaitingLateAnswer();
}

bool LineService::lineUp() const
{
    return channel.isOpen();
}

double LineService::nowMs() const
{
    return channel.nowMs();
}

double LineService::charMs() const
{
    return channel.charMs();
}
