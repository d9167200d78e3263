#pragma once
#include "link/serialchannel.h"
#include "link/transaction.h"
#include "session/bussearch.h"
#include "session/pollingcycle.h"
#include "session/portwatch.h"
#include "session/sessionstate.h"
#include <QObject>
#include <optional>

// One working session with the line: the serial channel, the transaction
// that runs every exchange on it, the state they work on, the polling cycle
// and the bus search. Created once, before the windows, and handed to them.
//
// A port that fails while connected is watched for until it comes back or
// the line is disconnected; it is reopened at the same speed, and polling
// that the loss ended starts again (a search does not: it would list the
// bus anew).
class Session : public QObject {
    Q_OBJECT
public:
    // deviceCapacity: how many devices the line may list (the window's two by default).
    explicit Session(QObject *parent = nullptr, int deviceCapacity = DeviceList::WindowCapacity);
    ~Session() override;

    SessionState &state() { return sessionState; }
    SerialChannel &serialChannel() { return channel; }
    PollingCycle &polling() { return cycle; }
    BusSearch &busSearch() { return search; }
    DeviceList &devices() { return sessionState.devices; }

    // Opens the port (a name, or the one set before when empty) at the speed
    // of a baud code (the last one when none), listing address 247 first.
    // Throws AppError when the port fails; 247 stays listed.
    void connectLine(const QString &portName, std::optional<uint8_t> baudCode);
    // As connectLine(), but lists nothing: the caller lists its own devices
    // (the watch service knows its addresses).
    void openLine(const QString &portName, std::optional<uint8_t> baudCode);
    // Closes the port, ends any watch for it and empties the device list.
    void disconnectLine();
    // Stops polling, the search and the watch and closes the port (the program ends).
    void shutDown();
    // True while a lost port is being waited for: no exchange can start.
    bool awaitingPort() const { return watch.isActive(); }

    // Queues a command for the next polling pass.
    void requestCommand(Command command) { sessionState.commands.store(command); }

signals:
    // The port failed while neither polling nor an exchange was under way;
    // it has been closed.
    void portLost(const QString &message);
    // The port failed while connected (whatever ran on it) and the watch for
    // its return has begun. Once per loss.
    void portAway(const QString &message);
    // The lost port is open again; polling, if the loss ended it, has been
    // started again already.
    void portBack();

private:
    void setLine(const QString &portName, std::optional<uint8_t> baudCode);
    void openPort();
    void awaitPort(const QString &message);
    void onPortBack();

    SessionState sessionState;
    SerialChannel channel;
    Transaction transaction{channel, sessionState.exchangeBuffer};
    PollingCycle cycle{transaction, channel, sessionState};
    BusSearch search{transaction, sessionState};
    PortWatch watch{channel};
    bool connected = false;      // from a good connectLine() to disconnectLine()
    bool resumePolling = false;  // the loss ended a polling run
};
