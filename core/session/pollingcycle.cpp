#include "session/pollingcycle.h"
#include "detector/replykind.h"
#include "detector/valueformats.h"
#include "link/linechannel.h"
#include "session/lineservice.h"

#include <QTime>

namespace {
// The reply the request asks for (a status block, a write's echo) is a good one.
ExchangeOutcome exchangeOutcome(ReplyKind kind)
{
    switch (kind) {
    case ReplyKind::Status:
    case ReplyKind::Echo: return ExchangeOutcome::Good;
    case ReplyKind::Exception: return ExchangeOutcome::Exception;
    case ReplyKind::Unexpected: break;
    }
    return ExchangeOutcome::Unexpected;
}
} // namespace

PollingCycle::PollingCycle(LineService &lineService, LineChannel &channel, SessionState &sessionState, QObject *parent)
    : QObject(parent), line(lineService), lineChannel(channel), state(sessionState)
{
    delayTimer.setSingleShot(true);
    delayTimer.setInterval(100);
    nextPass.setSingleShot(true);
    nextPass.setInterval(0);
    orderWait.setSingleShot(true);
    connect(&delayTimer, &QTimer::timeout, this, &PollingCycle::endPass);
    connect(&orderWait, &QTimer::timeout, this, &PollingCycle::goOnOrFinish);
    connect(&nextPass, &QTimer::timeout, this, [this] {
        // Each detector's averages take its own passes only; one that read no
        // status enters that detector's last sample again.
        DetectorRecord &device = state.detectors.at(passAddress);
        device.averages.update(state.irWindow, state.uvWindow, device.status.irSignal, device.status.uvSignal);
        goOnOrFinish();
    });
}

bool PollingCycle::start()
{
    // With no device listed, slot 0 holds 0: the broadcast address, never polled.
    if (running() || state.devices.count() == 0)
        return false;
    active = true;
    position = 0;
    beginPass();
    return true;
}

void PollingCycle::goOnOrFinish()
{
    if (active)
        beginPass();
    else
        finish();
}

void PollingCycle::beginPass()
{
    if (passOrder) {
        const NextPass next = passOrder();
        if (next.slot < 0) {
            phase = Phase::Next;
            orderWait.start(next.waitMs);
            return;
        }
        position = unsigned(next.slot);
    }
    if (position >= unsigned(state.devices.count()))
        position = 0;
    emit passStarted(state.devices.address(int(position)));
    sendPass();
}

void PollingCycle::sendPass()
{
    const uint8_t target = state.devices.address(int(position));
    passAddress = target;
    kind = Kind::Status;
    dropCommandForUnlisted();
    takeCommand(target);
    if (sentCommand.command != Command::None && !buildPendingCommand(target))
        return;
    phase = Phase::Reply;
    state.detectors.noteRequest(target);
    const LineJob job = kind == Kind::Command ? LineJob{target, FnWriteSingle, sent.reg, sent.value}
                                              : LineJob{target, FnReadHolding, 1, 24};
    if (!line.run(job, [this](const ExchangeResult &result) { onReply(result); }))
        finish(Failure::of(Failure::Kind::LineBusy));
}

void PollingCycle::takeCommand(uint8_t target)
{
    jobCommand = commandSource ? commandSource(target) : std::nullopt;
    if (jobCommand && jobCommand->command != Command::None)
        sentCommand = {jobCommand->command, 0, {}};
    else
        sentCommand = state.commandSlot.takeFor(target);
}

// The pass is done with its command: a job hears how it ended; the slot is
// cleared of it (unless stored again meanwhile).
void PollingCycle::settleCommand(CommandResult::Kind kind, const std::optional<Failure> &failure)
{
    if (!jobCommand) {
        state.commandSlot.clear(sentCommand);
        return;
    }
    const CommandJob job = *std::exchange(jobCommand, std::nullopt);
    if (job.done)
        job.done(CommandResult{kind, failure});
}

// A command waiting for a detector that is no longer polled would wait for
// ever: it is dropped with a word instead.
void PollingCycle::dropCommandForUnlisted()
{
    const std::optional<uint8_t> waitsFor = state.commandSlot.pendingTarget();
    if (!waitsFor || state.devices.contains(*waitsFor))
        return;
    state.commandSlot.clear(state.commandSlot.take());
    emit commandRefused(Failure::withValue(Failure::Kind::NotPolled, *waitsFor));
}

// False when the pass has ended here: the command was refused, or a bad text ended the run.
bool PollingCycle::buildPendingCommand(uint8_t target)
{
    const DetectorRecord *device = state.detectors.find(target);
    std::optional<int16_t> g42;
    if (device && device->answered)
        g42 = device->status.g42;
    // A job carries its value; the window's command reads its field now.
    const CommandInputs inputs{sentCommand.readValue, target, state.baudCode, g42,
                               jobCommand ? jobCommand->value : std::nullopt};
    uint8_t targetChannels = device && device->answered ? device->status.channelBits() : 0;
    const Result<BuiltCommand> built =
        channelsOfTarget && changesChannels(sentCommand.command) && !(device && device->answered)
            ? Result<BuiltCommand>(Failure::withValue(Failure::Kind::ChannelsUnknown, target))
            : buildCommand(sentCommand.command, inputs, channelsOfTarget ? targetChannels : state.channelMask);
    if (!built && built.failure().kind == Failure::Kind::BadInteger) {
        finish(built.failure()); // the slot's command stays pending for the next run
        return false;
    }
    if (!built) {
        if (!jobCommand)
            emit commandRefused(built.failure());
        settleCommand(CommandResult::Kind::Refused, built.failure());
        startDelay();
        return false;
    }
    sent = *built;
    if (sent.send)
        kind = Kind::Command;
    else // no request exists: this pass reads the status instead
        settleCommand(CommandResult::Kind::Refused, Failure::of(Failure::Kind::NoRequest));
    return true;
}

void PollingCycle::onReply(const ExchangeResult &result)
{
    if (phase != Phase::Reply)
        return;
    if (result.outcome == ExchangeResult::Outcome::PortFailed) {
        onFailed(result);
        return;
    }
    FrameBuffer buf = result.frame;
    const uint8_t count = result.count;
    roundTripMs = result.endedMs - result.startedMs;
    const bool crcGood = result.intact; // false for no reply
    emit answered(buf, count, crcGood);
    if (count == 0) {
        endExchange(ExchangeOutcome::Timeout);
        endWith(PassOutcome::Verdict::Timeout, buf, count);
        if (kind == Kind::Command)
            settleCommand(CommandResult::Kind::Timeout);
    } else if (!crcGood) {
        endExchange(ExchangeOutcome::CrcError);
        endWith(PassOutcome::Verdict::CrcError, buf, count);
        if (kind == Kind::Command)
            settleCommand(CommandResult::Kind::CrcError);
    } else {
        if (kind == Kind::Command)
            handleCommandReply(buf, count);
        else
            handleStatusReply(buf, count);
        return;
    }
    // A failed pass drops its command (above); nothing is retried.
    startDelay();
}

void PollingCycle::handleCommandReply(const FrameBuffer &buf, uint8_t count)
{
    const ReplyKind k = classifyReply(buf, count, false);
    endExchange(exchangeOutcome(k));
    if (k != ReplyKind::Echo) {
        // Only the echo acknowledges a write; anything else is a refusal,
        // and none of the command's follow-up work may happen.
        endWith(PassOutcome::Verdict::Refused, buf, count, k);
        settleCommand(k == ReplyKind::Exception ? CommandResult::Kind::Exception : CommandResult::Kind::Unexpected);
        startDelay();
        return;
    }
    if (sentCommand.command == Command::WriteAddress) {
        state.devices.setAddress(0, sent.keptAddress);
        state.detectors.rename(passAddress, sent.keptAddress);
        passAddress = sent.keptAddress;
        emit addressChanged(sent.keptAddress);
    }
    endWith(PassOutcome::Verdict::Acknowledged, buf, count);
    settleCommand(CommandResult::Kind::Acknowledged);
    // The detector has taken its new speed whether or not the port can
    // follow: the command is done either way and never goes out again.
    if (sentCommand.command == Command::WriteBaud && !acknowledgeNewSpeed())
        return;
    startDelay();
}

// The device answered at the old speed; from now on it talks at the new one.
// A server's port is set on the server: the user is told, the speed stays.
bool PollingCycle::acknowledgeNewSpeed()
{
    const auto choice = baudChoiceForCode(sent.keptBaud);
    if (!lineChannel.setsLineSpeed()) {
        emit notice(QStringLiteral("Прибор переключен на %1 бод; установите эту скорость на порту сервера")
                        .arg(choice->baudRate));
        return true;
    }
    lineChannel.close();
    std::optional<Failure> failure = lineChannel.setBaudRate(choice->baudRate);
    if (!failure) {
        state.baudCode = sent.keptBaud;
        emit baudChanged(sent.keptBaud);
        const Result<bool> reopened = lineChannel.open();
        if (!reopened)
            failure = reopened.failure();
    }
    if (failure) {
        finish(*failure);
        return false;
    }
    return true;
}

void PollingCycle::handleStatusReply(const FrameBuffer &buf, uint8_t count)
{
    const ReplyKind k = classifyReply(buf, count, true);
    endExchange(exchangeOutcome(k));
    if (k != ReplyKind::Status) {
        // Decoding a short reply would show bytes of an earlier one as fresh.
        endWith(PassOutcome::Verdict::Refused, buf, count, k);
        startDelay();
        return;
    }
    emit channelMaskShown(state.channelMask);
    const DetectorRecord &device = state.detectors.at(passAddress);
    StatusSample sample;
    sample.slot = int(position);
    sample.address = passAddress;
    sample.previousIrThreshold = device.status.irThreshold;
    sample.previousUvThreshold = device.status.uvThreshold;
    sample.irAverage = device.averages.irAverage;
    sample.uvAverage = device.averages.uvAverage;
    sample.status = decodeStatus(buf);
    sample.registers = statusRegisters(buf);
    sample.soleDevice = state.devices.count() == 1;
    applyStatus(sample.status, sample.registers);
    // The row goes to the file before the reply is shown, so every shown
    // reply is in the log; a failing write ends the run with nothing shown.
    if (logging && sample.slot < state.devices.count()) {
        const DeviceStatus &d = sample.status;
        if (auto failure = state.devices.log(sample.slot).writeRow(QTime::currentTime(), d.irSignal, d.uvSignal, d.dustSignal, d.temperatureTenths, d.fire(),
                                                                   d.fault(), d.dust())) {
            finish(*failure);
            return;
        }
    }
    emit statusReceived(sample);
    state.detectors.tellStatus(passAddress);
    endWith(PassOutcome::Verdict::Status, buf, count);
    startDelay();
}

// The rules a good status reply sets off: it becomes its detector's last
// status, its channel bits the mask while one device is polled, and a
// configuration mark other than the expected one queues its write, for
// that detector, unless a command waits.
void PollingCycle::applyStatus(const DeviceStatus &status, const StatusRegisters &registers)
{
    state.detectors.noteStatus(passAddress, status, registers, lineChannel.nowMs());
    if (state.devices.count() == 1)
        state.channelMask = status.channelBits();
    if (!status.configMarkOk() && state.commandSlot.empty())
        state.commandSlot.store(Command::WriteConfigMark, passAddress);
}

void PollingCycle::endExchange(ExchangeOutcome outcome)
{
    state.detectors.noteExchange(passAddress, outcome, roundTripMs);
}

void PollingCycle::endWith(PassOutcome::Verdict verdict, const FrameBuffer &buf, uint8_t count, ReplyKind k)
{
    PassOutcome o;
    o.verdict = verdict;
    o.address = passAddress;
    o.frame = buf;
    o.count = count;
    o.kind = k;
    if (kind == Kind::Command)
        o.commandCode = uint8_t(sentCommand.command);
    emit passEnded(o);
}

void PollingCycle::startDelay()
{
    phase = Phase::Delay;
    if (delayTimer.interval() > 0)
        delayTimer.start();
    else
        endPass();
}

void PollingCycle::endPass()
{
    ++position;
    phase = Phase::Next;
    nextPass.start(); // let the window handle what is pending before the averages and the next pass
}

// A command that reached the line may have acted though its echo never came:
// it is never sent again by itself. One the line never took stays queued.
void PollingCycle::onFailed(const ExchangeResult &result)
{
    if (kind == Kind::Command && result.requestSent) {
        endWith(PassOutcome::Verdict::Unconfirmed, result.frame, 0);
        settleCommand(CommandResult::Kind::LineFailed, result.error);
    }
    finish(result.error);
}

void PollingCycle::finish(const std::optional<Failure> &failure)
{
    // A job's command is answered whatever ended the run; it is never sent again.
    if (jobCommand)
        settleCommand(CommandResult::Kind::LineFailed, failure);
    delayTimer.stop();
    nextPass.stop();
    orderWait.stop();
    phase = Phase::Idle;
    if (!failure) {
        emit ended();
    } else {
        failedActive = active;
        active = false;
        emit failed(*failure);
    }
}
