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

// One working session with the line: the serial channel, the line service
// that runs every exchange on it, the state they work on, the polling cycle
// and the bus search. Created once, before the windows, and handed to them:
// a front end uses the session's own calls and signals below, never a part.
//
// A port that fails while connected is watched for until it comes back or
// the line is disconnected; it is reopened at the same speed, and polling
// that the loss ended starts again (a search does not: it would list the
// bus anew).
class Session : public QObject {
    Q_OBJECT
public:
    // deviceCapacity: how many devices the line may list.
    Session(QObject *parent, int deviceCapacity);
    ~Session() override;

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

    // Stores the window's command for the next polling pass, or for the next
    // pass to the target detector when one is named. A command that takes a
    // typed value gives the reader of its field, called when the request is built.
    void requestCommand(Command command, std::optional<uint8_t> target = std::nullopt, ValueReader readValue = {})
    {
        sessionState.commandSlot.store(command, target, std::move(readValue));
    }

    bool lineOpen() const { return channel.isOpen(); }
    // Closes the port and nothing else: the list stays as it is.
    void closeLine() { channel.close(); }
    // The line's clock (ms), the one every exchange and record is timed by.
    double nowMs() const { return service.nowMs(); }

    // Polling (see PollingCycle).
    bool startPolling() { return cycle.start(); }
    void stopPolling() { cycle.stop(); }
    bool pollingActive() const { return cycle.isActive(); }
    bool pollingRunning() const { return cycle.running(); }
    void setPollingDelay(int ms) { cycle.setDelay(ms); }
    // After a time-out the line waits for a late answer (see LineService::setAwaitLateAnswers).
    void setAwaitLateAnswers(bool on) { service.setAwaitLateAnswers(on); }
    void setLogging(bool on) { cycle.setLogging(on); }
    void setChannelsOfTarget(bool on) { cycle.setChannelsOfTarget(on); }
    void setCommandSource(std::function<std::optional<CommandJob>(uint8_t address)> source)
    {
        cycle.setCommandSource(std::move(source));
    }
    void setPassOrder(std::function<PollingCycle::NextPass()> order) { cycle.setPassOrder(std::move(order)); }

    // The bus search (see BusSearch).
    bool startSearch() { return search.start(); }
    void stopSearch() { search.stop(); }
    bool searchActive() const { return search.isActive(); }
    bool searchRunning() const { return search.running(); }
    void setFastSearch(bool on) { search.setFast(on); }
    void setSearchMarginMs(double ms) { search.setFastMarginMs(ms); }
    double searchMarginMs() const { return search.fastMarginMs(); }
    int fastProbes() const { return search.fastProbes(); }
    // Who answered the last search but found no room in the list.
    const QList<uint8_t> &unlisted() const { return search.unlisted(); }

    // The device list, in polling order.
    // A failure: the address's log could not be created (see DeviceList::add).
    std::optional<Failure> listDevice(uint8_t address) { return sessionState.devices.add(address); }
    std::optional<Failure> clearDevices() { return sessionState.devices.clear(); }
    int deviceCount() const { return sessionState.devices.count(); }
    int deviceCapacity() const { return sessionState.devices.capacity(); }
    QList<uint8_t> listed() const;
    void setLogFiles(bool on) { sessionState.devices.setLogFiles(on); }
    // A failure: a log could not be closed (its last rows unwritten).
    std::optional<Failure> closeAllLogs() { return sessionState.devices.closeAllLogs(); }

    // Every detector the line knows: last status, averages, availability, alarms, link counts.
    const DetectorRecords &detectors() const { return sessionState.detectors; }
    void setOfflineAfter(int failures) { sessionState.detectors.setOfflineAfter(failures); }
    // The listed detectors' records say offline: the line cannot be opened.
    void markLineLost() { sessionState.detectors.lineLost(listed()); }
    // The link counts as the window shows them: each detector's, from its
    // record, and the line's port losses.
    const CommStats &linkCounts() const { return sessionState.stats; }
    void resetLinkCounts() { sessionState.stats.reset(); }
    // How many status replies each average spans (the chart's windows).
    void setIrAverageWindow(uint8_t n) { sessionState.irWindow = n; }
    void setUvAverageWindow(uint8_t n) { sessionState.uvWindow = n; }

    // Every frame on the line is emitted as frame() while at least one
    // watcher wants them; with none, no record is made.
    void watchFrames() { tap.acquire(); }
    void unwatchFrames() { tap.release(); }

    // The line's exchanges, for a client of its own beside polling and the
    // search (a gateway's guests): the one door into the line's work.
    LineService &lineService() { return service; }

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

    // Polling, as PollingCycle reports it.
    void passStarted(uint8_t address);
    void answered(const FrameBuffer &frame, uint8_t count, bool crcGood);
    void passEnded(const PassOutcome &outcome);
    void channelMaskShown(uint8_t mask);
    void statusReceived(const StatusSample &sample);
    void addressChanged(uint8_t address);
    void baudChanged(uint8_t baudCode);
    void pollingEnded();
    void pollingFailed(const Failure &failure);
    void commandRefused(const Failure &failure);
    void notice(const QString &message);
    // The search, as BusSearch reports it.
    void probeStarted(uint8_t address);
    void probed(uint8_t address, uint8_t count);
    void searchEnded();
    void searchFailed(const Failure &failure);
    void foundWithoutRoom(uint8_t address);
    // The device list.
    void deviceListed(int slot, uint8_t address);
    void devicesCleared();
    // A detector's record changed (see DetectorRecords::changed), an exchange
    // with it ending among its changes.
    void detectorChanged(uint8_t address, const DetectorChange &change);
    // The link counts changed.
    void linkCountsChanged();
    void frame(const FrameRecord &record);

public:
    // The parts themselves, for tests and benchmarks that drive one directly.
    // Front ends use the calls above: a check in the test suite keeps them
    // out of gui/, daemon/ and app/.
    SessionState &state() { return sessionState; }
    LineChannel &lineChannel() { return channel; }
    PollingCycle &polling() { return cycle; }
    BusSearch &busSearch() { return search; }
    FrameTap &frameTap() { return tap; }
    DeviceList &devices() { return sessionState.devices; }
    DetectorRecords &records() { return sessionState.detectors; }

private:
    void forwardReports();
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
