#pragma once
#include "polling/commandtable.h"
#include "polling/sharedstate.h"
#include <QObject>
#include <QTimer>
#include <functional>

class SerialChannel;
class Transaction;

// The endless polling cycle `proc_query`: one pass after another over the
// listed devices, each a status read or the pending command, then the delay
// of t2, then the averages. Built as a small state machine on the
// transaction's signals, so the window stays responsive throughout.
class PollingCycle : public QObject {
    Q_OBJECT
public:
    PollingCycle(Transaction &query, SerialChannel &bcp, SharedState &state, QObject *parent = nullptr);

    // Reads the window's fields for a command at the moment it is built.
    std::function<CommandInputs(uint8_t targetAddress)> commandInputs;
    // Shows a good status reply in a grid row (1 or 2); may throw AppError
    // (a failing log write), which ends the cycle.
    std::function<void(uint8_t row)> display;

    void setDelay(int ms) { t2.setInterval(ms); }
    int delay() const { return t2.interval(); }

    // Starts a run at the first device. Refused (false) while a stopped run
    // is still finishing its last pass.
    bool start();
    // The current pass runs to its end (reply, logs, delay, averages), then the run ends.
    void stop() { PollingActive = false; }
    bool isActive() const { return PollingActive; }
    // True from start() until the last pass has ended.
    bool running() const { return phase != Phase::Idle; }
    // Ends the run at once with an error met outside its exchanges (the port
    // lost during the delay); failed() reports it.
    void abandon(const QString &message)
    {
        if (running())
            finish(message);
    }

signals:
    void passStarted();                    // request lamp red
    void requestLine(const QString &line); // Memo1
    void replyLine(const QString &line);   // Memo2
    void replyLamp(bool received);         // lime when something arrived, white otherwise
    void channelMaskShown(uint8_t mask);   // caption of button b, before each status reply is shown
    void addressChanged(uint8_t address);  // code 1 acknowledged: slot 0 renamed
    void baudChanged(uint8_t baudCode);    // code 2 acknowledged: the port runs at the new speed
    void ended();                          // the run is over (after a stop)
    void failed(const QString &message);   // a port or text error ended the run
    void commandRefused(const QString &message); // the code was dropped unsent; polling goes on

private:
    enum class Phase { Idle, Reply, Delay, Next };
    enum class Kind { Status, Command };

    void beginPass();
    void sendPass();
    void onReply(uint8_t count);
    void onFailed(const QString &message);
    void handleCommandReply(uint8_t count);
    void handleStatusReply(uint8_t count);
    void acknowledge();
    void startDelay();
    void endPass();
    void finish(const QString &error = {});

    Transaction &query;
    SerialChannel &bcp;
    SharedState &s;
    QTimer t2;     // the pause between two passes
    QTimer next;   // hands control back to the event loop between passes

    bool PollingActive = false;
    Phase phase = Phase::Idle;
    unsigned position = 0; // rotation position in the device list
    Kind kind = Kind::Status;
    uint8_t sentCode = 0;
    uint32_t sentStamp = 0;
    BuiltCommand sent;
};
