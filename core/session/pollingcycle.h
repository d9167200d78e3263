#pragma once
#include "detector/commandtable.h"
#include "link/exchangeresult.h"
#include "session/commandjob.h"
#include "session/commandslot.h"
#include "session/passoutcome.h"
#include "session/sessionstate.h"
#include "session/statussample.h"
#include <QObject>
#include <QTimer>
#include <functional>

class LineChannel;
class LineService;

// The endless polling cycle: one pass after another over the listed
// devices, each a status read or the pending command, then the delay, then
// the averages. It applies every rule that follows a reply (decoding, the
// channel bits, the configuration mark, the device log row) and hands each
// good status reply on as one StatusSample. Built on the transaction's
// signals, so the window stays responsive throughout.
class PollingCycle : public QObject {
    Q_OBJECT
public:
    PollingCycle(LineService &line, LineChannel &lineChannel, SessionState &state,
                 QObject *parent = nullptr);

    // Off (the window's rule): channel commands change the line's one mask.
    // On: they change one bit of their target's own last reported channel
    // bits, and are refused for a target that has not answered yet.
    void setChannelsOfTarget(bool on) { channelsOfTarget = on; }
    // While on, every shown status reply gets a row in its device's log.
    void setLogging(bool on) { logging = on; }

    // A client with its own queue of commands (the broker's): asked as each
    // pass starts, for its detector, before the window's command slot.
    // A command it gives goes out in place of the status read, and its job
    // hears how it ended.
    void setCommandSource(std::function<std::optional<CommandJob>(uint8_t address)> source)
    {
        commandSource = std::move(source);
    }

    // Who is polled next, for an owner that orders the passes itself (the
    // window polls the list in turn): a list position, or -1 to ask again
    // after waitMs, the run waiting meanwhile.
    struct NextPass {
        int slot = -1;
        int waitMs = 0;
    };
    void setPassOrder(std::function<NextPass()> order) { passOrder = std::move(order); }

    void setDelay(int ms) { delayTimer.setInterval(ms); }
    int delay() const { return delayTimer.interval(); }

    // Starts a run at the first device. Refused (false) while a stopped run
    // is still finishing its last pass, and with no device listed.
    bool start();
    // The current pass runs to its end (reply, logs, delay, averages), then
    // the run ends; a run waiting for its next pass ends at the next turn.
    void stop()
    {
        active = false;
        if (orderWait.isActive())
            orderWait.start(0);
    }
    bool isActive() const { return active; }
    // True from start() until the last pass has ended.
    bool running() const { return phase != Phase::Idle; }
    // The list position of the pass under way, from passStarted() on.
    int passPosition() const { return int(position); }
    // Whether the run that failed last had not been stopped (it was meant to go on).
    bool failedWhileActive() const { return failedActive; }
    // Ends the run at once with an error met outside its exchanges (the port
    // lost during the delay); failed() reports it.
    void abandon(const Failure &failure)
    {
        if (running())
            finish(failure);
    }

signals:
    void passStarted(uint8_t address);
    // The pass's request was answered, or its window ran out (count 0):
    // the request and what came back, and whether its CRC is good, before
    // any rule acts on it.
    void answered(const FrameBuffer &frame, uint8_t count, bool crcGood);
    // The pass's exchange is over and its rules have acted; not emitted when
    // the run fails on the reply (a device log row that cannot be written).
    void passEnded(const PassOutcome &outcome);
    void channelMaskShown(uint8_t mask);   // before each status reply is decoded
    void statusReceived(const StatusSample &sample);
    void addressChanged(uint8_t address);  // new address acknowledged: slot 0 renamed
    void baudChanged(uint8_t baudCode);    // new speed acknowledged: the port runs at it
    void ended();                          // the run is over (after a stop)
    void failed(const Failure &failure);   // a port, text or file error ended the run
    void commandRefused(const Failure &failure); // the command was dropped unsent; polling goes on
    void notice(const QString &message);         // something the user must do; polling goes on

private:
    enum class Phase { Idle, Reply, Delay, Next };
    enum class Kind { Status, Command };

    void beginPass();
    void goOnOrFinish();
    void sendPass();
    void dropCommandForUnlisted();
    bool buildPendingCommand(uint8_t target);
    void onReply(const ExchangeResult &result);
    void onFailed(const ExchangeResult &result);
    void handleCommandReply(const FrameBuffer &buf, uint8_t count);
    void handleStatusReply(const FrameBuffer &buf, uint8_t count);
    void endWith(PassOutcome::Verdict verdict, const FrameBuffer &buf, uint8_t count,
                 ReplyKind kind = ReplyKind::Unexpected);
    bool acknowledgeNewSpeed();
    void applyStatus(const DeviceStatus &status, const StatusRegisters &registers);
    void endExchange(ExchangeOutcome outcome);
    void startDelay();
    void endPass();
    void finish(const std::optional<Failure> &failure = std::nullopt);
    void takeCommand(uint8_t target);
    void settleCommand(CommandResult::Kind kind, const std::optional<Failure> &failure = std::nullopt);

    LineService &line;
    LineChannel &lineChannel;
    SessionState &state;
    bool logging = false;
    bool channelsOfTarget = false;
    QTimer delayTimer; // the pause between two passes
    QTimer nextPass;   // hands control back to the event loop between passes
    QTimer orderWait;  // nobody is due yet (see setPassOrder)
    std::function<NextPass()> passOrder;
    std::function<std::optional<CommandJob>(uint8_t)> commandSource;

    bool active = false;
    bool failedActive = false;
    Phase phase = Phase::Idle;
    unsigned position = 0; // rotation position in the device list
    uint8_t passAddress = 0; // the detector of the current pass
    double roundTripMs = 0;  // of the exchange that ended last, by the link's clock
    Kind kind = Kind::Status;
    CommandSlot::Taken sentCommand;    // the command of this pass, from the slot or a job
    std::optional<CommandJob> jobCommand; // set when it came from the command source
    BuiltCommand sent;
};
