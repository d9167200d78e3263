#include "daemon/linecommands.h"
#include "session/session.h"

using namespace Qt::StringLiterals;

LineCommands::LineCommands(Session &s, std::chrono::seconds t, QObject *parent)
    : QObject(parent), session(s), timeout(t)
{
    PollingCycle &cycle = session.polling();
    cycle.setFieldSource(&values);
    // A detector's channel command changes its own reported bits, never
    // those of the line's other detectors.
    cycle.setChannelsOfTarget(true);
    connect(&cycle, &PollingCycle::passStarted, this, &LineCommands::onPassStarted);
    connect(&session.state().stats, &CommStats::exchangeEnded, this, &LineCommands::onExchangeEnded);
    connect(&cycle, &PollingCycle::commandRefused, this, &LineCommands::failInFlight);
    // A run that ends under a command (the port lost, the line busy) leaves it
    // unanswered by the detector; it may or may not have gone out, so it is
    // answered with the error and never sent again.
    connect(&cycle, &PollingCycle::failed, this,
            [this](const QString &message) { failInFlight(u"the line failed: "_s + message); });
    expiry.setSingleShot(true);
    connect(&expiry, &QTimer::timeout, this, &LineCommands::expire);
}

bool LineCommands::enqueue(uint8_t address, const RemoteDecision &command)
{
    if (waiting() >= Capacity)
        return false;
    queue.push_back({address, command, QDeadlineTimer(timeout)});
    if (!expiry.isActive())
        expiry.start(int(queue.front().expires.remainingTime()));
    return true;
}

void LineCommands::expire()
{
    while (!queue.empty() && queue.front().expires.hasExpired()) {
        const Item item = std::move(queue.front());
        queue.pop_front();
        emit answered(item.address, item.command, false, u"expired"_s);
    }
    if (!queue.empty())
        expiry.start(int(queue.front().expires.remainingTime()));
}

void LineCommands::onPassStarted()
{
    expire();
    PollingCycle &cycle = session.polling();
    const uint8_t target = session.devices().address(cycle.passPosition());
    if (statusDue.erase(target) || inFlight)
        return;
    const auto next = std::find_if(queue.begin(), queue.end(), [&](const Item &i) { return i.address == target; });
    if (next == queue.end())
        return;
    inFlight = std::move(*next);
    queue.erase(next);
    statusDue.insert(target);
    values.setValue(inFlight->command.value);
    session.requestCommand(inFlight->command.command, target);
}

void LineCommands::onExchangeEnded(uint8_t address, ExchangeOutcome outcome)
{
    if (!inFlight || inFlight->address != address)
        return;
    QString error;
    switch (outcome) {
    case ExchangeOutcome::Good: break;
    case ExchangeOutcome::Timeout: error = u"time-out: the detector did not answer"_s; break;
    case ExchangeOutcome::CrcError: error = u"bad CRC in the reply"_s; break;
    case ExchangeOutcome::Exception: error = u"exception reply: the detector refused it"_s; break;
    case ExchangeOutcome::Unexpected: error = u"unexpected reply"_s; break;
    }
    const Item done = std::move(*inFlight);
    inFlight.reset();
    emit answered(done.address, done.command, error.isEmpty(), error);
}

void LineCommands::failInFlight(const QString &reason)
{
    if (!inFlight)
        return;
    // The core's slot must not carry it into the next run, to whichever detector comes first.
    if (session.state().commands.pending() == inFlight->command.command)
        session.state().commands.clear(session.state().commands.take());
    const Item done = std::move(*inFlight);
    inFlight.reset();
    emit answered(done.address, done.command, false, reason);
}

void LineCommands::dropAll(const QString &sentReason, const QString &waitingReason)
{
    expiry.stop();
    failInFlight(sentReason);
    while (!queue.empty()) {
        const Item item = std::move(queue.front());
        queue.pop_front();
        emit answered(item.address, item.command, false, waitingReason);
    }
}
