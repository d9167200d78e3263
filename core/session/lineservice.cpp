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
}

LineService::~LineService() = default;

bool LineService::run(const LineJob &job, Done done)
{
    if (busy())
        return false;
    ownJob = job;
    ownDone = std::move(done);
    if (!guestDone)
        startOwn();
    return true;
}

void LineService::startOwn()
{
    const LineJob job = *std::exchange(ownJob, std::nullopt);
    ownOnLine = true;
    // Refused only while another exchange runs, which the two flags rule out.
    transaction->query(job.address, job.function, job.reg, job.value, job.answerMarginMs);
}

void LineService::onFinished(const ExchangeResult &finished)
{
    // The transaction's own copy: a client that starts its next job from
    // inside its result (the search) clears it before the watchers see it.
    const ExchangeResult result = finished;
    if (guestDone) {
        std::exchange(guestDone, nullptr)(guestResult(result));
        emit exchanged(result);
        if (ownJob)
            startOwn();
        else
            guestWaiting();
        return;
    }
    if (!std::exchange(ownOnLine, false))
        return;
    ownEndedMs = channel.nowMs();
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
