#include "daemon/linecommands.h"
#include "daemon/failurelog.h"
#include "session/session.h"
#include <QPointer>

using namespace Qt::StringLiterals;

LineCommands::LineCommands(Session &s, std::chrono::seconds t, QObject *parent)
    : QObject(parent), session(s), timeout(t)
{
    // Gone with this queue: its lambda below would outlive it.
    connect(this, &QObject::destroyed, &session, [line = &session] { line->setCommandSource(nullptr); });
    // A detector's channel command changes its own reported bits, never
    // those of the line's other detectors.
    session.setChannelsOfTarget(true);
    session.setCommandSource([this](uint8_t address) { return commandFor(address); });
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

std::optional<CommandJob> LineCommands::commandFor(uint8_t target)
{
    expire();
    if (statusDue.erase(target) || inFlight)
        return std::nullopt;
    const auto next = std::find_if(queue.begin(), queue.end(), [&](const Item &i) { return i.address == target; });
    if (next == queue.end())
        return std::nullopt;
    inFlight = std::move(*next);
    queue.erase(next);
    statusDue.insert(target);
    inFlight->serial = ++serials;
    // The cycle may outlive this queue (a line reloaded), and the answer must
    // go to this very command.
    return CommandJob{inFlight->command.command, inFlight->command.value,
                      [self = QPointer(this), serial = serials](const CommandResult &result) {
                          if (self && self->inFlight && self->inFlight->serial == serial)
                              self->onDone(result);
                      }};
}

void LineCommands::onDone(const CommandResult &result)
{
    using K = CommandResult::Kind;
    QString error;
    switch (result.kind) {
    case K::Acknowledged: break;
    case K::Timeout: error = u"time-out: the detector did not answer"_s; break;
    case K::CrcError: error = u"bad CRC in the reply"_s; break;
    case K::Exception: error = u"exception reply: the detector refused it"_s; break;
    case K::Unexpected: error = u"unexpected reply"_s; break;
    // The service's own words, as in its log: never the window's.
    case K::Refused: error = result.failure ? logText(*result.failure) : QString(); break;
    // It may or may not have gone out: answered with the error, never sent again.
    case K::LineFailed: error = u"the line failed: "_s + (result.failure ? logText(*result.failure) : QString()); break;
    }
    failInFlight(error, result.ok());
}

void LineCommands::failInFlight(const QString &reason, bool ok)
{
    if (!inFlight)
        return;
    const Item done = std::move(*inFlight);
    inFlight.reset();
    emit answered(done.address, done.command, ok, reason);
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
