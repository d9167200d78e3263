#pragma once
#include "link/linechannel.h"
#include "session/bussearch.h"
#include "session/frametap.h"
#include "session/lineservice.h"
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
    LineChannel &lineChannel() { return channel; }
    PollingCycle &polling() { return cycle; }
    BusSearch &busSearch() { return search; }
    // Every frame on the line, for whoever watches (the exchange monitor).
    FrameTap &frameTap() { return tap; }
    DeviceList &devices() { return sessionState.devices; }
    // The listed addresses, in polling order.
    QList<uint8_t> listed() const;
    // Every detector the line knows: last status, availability, alarms.
    DetectorRecords &detectors() { return sessionState.detectors; }
    // The line's exchanges, for a client beside polling and the search (a gateway's guests).
    LineService &lineService() { return service; }

    // Opens the port (a name, or the one set before when empty) at the speed
    // of a baud code (the last one when none), listing address 247 first.
    // True when it is open now; false while a TCP connect runs, which ends in
    // lineOpened() or connectFailed(). A failure when the port fails at
    // once; 247 stays listed.
    Result<bool> connectLine(const QString &portName, std::optional<uint8_t> baudCode);
    bool connecting() const { return opening; }
    // As connectLine(), but lists nothing: the caller lists its own devices
    // (the watch service knows its addresses).
    Result<bool> openLine(const QString &portName, std::optional<uint8_t> baudCode);
    // Closes the port, ends any watch for it and empties the device list; a
    // log that fails to close keeps the list.
    std::optional<Failure> disconnectLine();
    // Stops polling, the search and the watch and closes the port (the program ends).
    void shutDown();
    // True while a lost port is being waited for: no exchange can start.
    bool awaitingPort() const { return watch.isActive(); }

    // Queues a command for the next polling pass, or for the next pass to
    // the target detector when one is named.
    void requestCommand(Command command, std::optional<uint8_t> target = std::nullopt)
    {
        sessionState.commands.store(command, target);
    }

signals:
    // The connect that connectLine() began has opened the line.
    void lineOpened();
    // It failed: nothing is connected.
    void connectFailed(const Failure &failure);
    // The port failed while neither polling nor an exchange was under way;
    // it has been closed.
    void portLost(const Failure &failure);
    // The port failed while connected (whatever ran on it) and the watch for
    // its return has begun. Once per loss.
    void portAway(const Failure &failure);
    // The lost port is open again; polling, if the loss ended it, has been
    // started again already.
    void portBack();

private:
    std::optional<Failure> setLine(const QString &portName, std::optional<uint8_t> baudCode);
    Result<bool> openPort();
    void awaitPort(const Failure &failure);
    void onPortBack();

    SessionState sessionState;
    LineChannel channel;
    LineService service{channel};
    PollingCycle cycle{service, channel, sessionState};
    BusSearch search{service, sessionState};
    PortWatch watch{channel};
    FrameTap tap{service, channel};
    bool connected = false;      // from a good connectLine() to disconnectLine()
    bool opening = false;        // the connect that connectLine() began is under way
    bool resumePolling = false;  // the loss ended a polling run
};
