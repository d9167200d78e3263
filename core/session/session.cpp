#include "session/session.h"

Session::Session(QObject *parent) : QObject(parent)
{
    // A port lost between exchanges (an adapter pulled while idle or during
    // the delay between passes) is reported once, by polling if it runs.
    connect(&channel, &SerialChannel::lostWhileIdle, this, [this](const QString &message) {
        if (cycle.running())
            cycle.abandon(message);
        else
            emit portLost(message);
    });
}

Session::~Session()
{
    // No report reaches listeners while the machinery shuts down.
    cycle.disconnect();
    search.disconnect();
    channel.disconnect(this);
}

void Session::connectLine(const QString &portName, std::optional<uint8_t> baudCode)
{
    if (!portName.isEmpty())
        channel.setPortName(portName);
    if (baudCode) {
        channel.setBaudRate(baudChoiceForCode(*baudCode)->baudRate);
        sessionState.baudCode = *baudCode;
    }
    sessionState.devices.add(247);
    channel.open();
}

void Session::disconnectLine()
{
    channel.close();
    sessionState.devices.clear();
}

void Session::shutDown()
{
    cycle.stop();
    search.stop();
    if (channel.isOpen()) {
        channel.abortAll();
        channel.close();
    }
}
