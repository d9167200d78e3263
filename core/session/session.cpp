#include "session/session.h"

#include <utility>

Session::Session(QObject *parent, int deviceCapacity) : QObject(parent), sessionState(deviceCapacity)
{
    // A port lost between exchanges (an adapter pulled while idle or during
    // the delay between passes) is reported once, by polling if it runs.
    connect(&channel, &LineChannel::lostWhileIdle, this, [this](const Failure &failure) {
        sessionState.detectors.lineLost(listed());
        if (cycle.running())
            cycle.abandon(failure);
        else
            emit portLost(failure);
    });
    connect(&channel, &LineChannel::portFailed, this, &Session::awaitPort);
    // A run ended with the port closed under it was ended by the loss (an
    // exchange or the reopen at a new speed failed): it goes on once the
    // port is back. Ends for other reasons leave the port open.
    connect(&cycle, &PollingCycle::failed, this, [this](const Failure &failure) {
        if (connected && !channel.isOpen()) {
            resumePolling = cycle.failedWhileActive();
            awaitPort(failure);
        }
    });
    connect(&watch, &PortWatch::portBack, this, &Session::onPortBack);
    connect(&channel, &LineChannel::opened, this, [this] {
        if (std::exchange(opening, false)) {
            connected = true;
            emit lineOpened();
        }
    });
    connect(&channel, &LineChannel::openFailed, this, [this](const Failure &failure) {
        if (std::exchange(opening, false))
            emit connectFailed(failure);
    });
    // Polling that the loss ended belonged to the table as it was: a table
    // cleared meanwhile is not polled when the port is back.
    connect(&sessionState.devices, &DeviceList::cleared, this, [this] { resumePolling = false; });
    forwardReports();
}

// The parts' reports, as the session's own: front ends listen to the session only.
void Session::forwardReports()
{
    connect(&cycle, &PollingCycle::passStarted, this, &Session::passStarted);
    connect(&cycle, &PollingCycle::answered, this, &Session::answered);
    connect(&cycle, &PollingCycle::passEnded, this, &Session::passEnded);
    connect(&cycle, &PollingCycle::channelMaskShown, this, &Session::channelMaskShown);
    connect(&cycle, &PollingCycle::statusReceived, this, &Session::statusReceived);
    connect(&cycle, &PollingCycle::addressChanged, this, &Session::addressChanged);
    connect(&cycle, &PollingCycle::baudChanged, this, &Session::baudChanged);
    connect(&cycle, &PollingCycle::ended, this, &Session::pollingEnded);
    connect(&cycle, &PollingCycle::failed, this, &Session::pollingFailed);
    connect(&cycle, &PollingCycle::commandRefused, this, &Session::commandRefused);
    connect(&cycle, &PollingCycle::notice, this, &Session::notice);
    connect(&search, &BusSearch::probeStarted, this, &Session::probeStarted);
    connect(&search, &BusSearch::probed, this, &Session::probed);
    connect(&search, &BusSearch::ended, this, &Session::searchEnded);
    connect(&search, &BusSearch::failed, this, &Session::searchFailed);
    connect(&search, &BusSearch::foundWithoutRoom, this, &Session::foundWithoutRoom);
    connect(&sessionState.devices, &DeviceList::listing, this, &Session::deviceListed);
    connect(&sessionState.devices, &DeviceList::cleared, this, &Session::devicesCleared);
    connect(&sessionState.detectors, &DetectorRecords::changed, this, &Session::detectorChanged);
    connect(&sessionState.stats, &CommStats::changed, this, &Session::linkCountsChanged);
    connect(&tap, &FrameTap::frame, this, &Session::frame);
}

Session::~Session()
{
    // No report reaches listeners while the machinery shuts down.
    disconnect();
    watch.stop();
    cycle.disconnect();
    search.disconnect();
    channel.disconnect(this);
}

Result<bool> Session::connectLine(const QString &portName, std::optional<uint8_t> baudCode)
{
    if (auto failure = setLine(portName, baudCode))
        return *failure;
    if (auto failure = sessionState.devices.add(247))
        return *failure;
    return openPort();
}

Result<bool> Session::openLine(const QString &portName, std::optional<uint8_t> baudCode)
{
    if (auto failure = setLine(portName, baudCode))
        return *failure;
    return openPort();
}

std::optional<Failure> Session::setLine(const QString &portName, std::optional<uint8_t> baudCode)
{
    if (!portName.isEmpty())
        if (auto failure = channel.setPortName(portName))
            return failure;
    if (baudCode) {
        if (auto failure = channel.setBaudRate(baudChoiceForCode(*baudCode)->baudRate))
            return failure;
        sessionState.baudCode = *baudCode;
    }
    return std::nullopt;
}

Result<bool> Session::openPort()
{
    watch.stop();
    resumePolling = false;
    connected = false;
    opening = false;
    const Result<bool> open = channel.open();
    if (!open)
        return open;
    if (!*open) {
        opening = true;
        return false;
    }
    connected = true;
    return true;
}

std::optional<Failure> Session::disconnectLine()
{
    watch.stop();
    connected = false;
    opening = false;
    resumePolling = false;
    channel.close();
    return sessionState.devices.clear();
}

void Session::shutDown()
{
    watch.stop();
    connected = false;
    opening = false;
    cycle.stop();
    search.stop();
    if (channel.isOpen())
        channel.abortAll();
    channel.close();
}

void Session::awaitPort(const Failure &failure)
{
    if (!connected || channel.isOpen() || watch.isActive())
        return;
    watch.start();
    sessionState.stats.notePortLost();
    sessionState.detectors.lineLost(listed());
    emit portAway(failure);
}

QList<uint8_t> Session::listed() const
{
    QList<uint8_t> list;
    const DeviceList &d = sessionState.devices;
    for (int i = 0; i < d.count(); ++i)
        list << d.address(i);
    return list;
}

void Session::onPortBack()
{
    if (std::exchange(resumePolling, false))
        cycle.start();
    emit portBack();
}
