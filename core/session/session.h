#pragma once
#include "link/serialchannel.h"
#include "link/transaction.h"
#include "session/bussearch.h"
#include "session/pollingcycle.h"
#include "session/sessionstate.h"
#include <QObject>
#include <optional>

// One working session with the line: the serial channel, the transaction
// that runs every exchange on it, the state they work on, the polling cycle
// and the bus search. Created once, before the windows, and handed to them.
class Session : public QObject {
    Q_OBJECT
public:
    explicit Session(QObject *parent = nullptr);
    ~Session() override;

    SessionState &state() { return sessionState; }
    SerialChannel &serialChannel() { return channel; }
    PollingCycle &polling() { return cycle; }
    BusSearch &busSearch() { return search; }
    CommandQueue &commands() { return sessionState.commands; }
    DeviceList &devices() { return sessionState.devices; }

    // Opens the port (a name, or the one set before when empty) at the speed
    // of a baud code (the last one when none), listing address 247 first.
    // Throws AppError when the port fails; 247 stays listed.
    void connectLine(const QString &portName, std::optional<uint8_t> baudCode);
    // Closes the port and empties the device list.
    void disconnectLine();
    // Stops polling and the search and closes the port (the program ends).
    void shutDown();

    // Queues a command for the next polling pass.
    void requestCommand(Command command) { sessionState.commands.store(command); }

signals:
    // The port failed while neither polling nor an exchange was under way;
    // it has been closed.
    void portLost(const QString &message);

private:
    SessionState sessionState;
    SerialChannel channel;
    Transaction transaction{channel, sessionState.exchangeBuffer};
    PollingCycle cycle{transaction, channel, sessionState};
    BusSearch search{transaction, sessionState};
};
