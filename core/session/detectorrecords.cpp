#include "session/detectorrecords.h"
#include <utility>

namespace {
constexpr uint8_t AlarmMasks[] = {0x01, 0x02, 0x04}; // fire, fault, dust
}

void DetectorRecords::rename(uint8_t from, uint8_t to)
{
    if (from == to)
        return;
    auto node = table.extract(from);
    LinkTally toLink = table[to].link;
    table.erase(to);
    if (!node.empty()) {
        LinkTally fromLink = std::exchange(node.mapped().link, std::move(toLink));
        node.key() = to;
        table.insert(std::move(node));
        table[from].link = std::move(fromLink);
    }
}

void DetectorRecords::noteStatus(uint8_t address, const DeviceStatus &status, const StatusRegisters &registers,
                                 double lineMs)
{
    DetectorRecord &r = table[address];
    r.status = status;
    r.registers = registers;
    r.readAt = QDateTime::currentDateTime();
    r.readAtMs = lineMs;
}

void DetectorRecords::tellStatus(uint8_t address)
{
    DetectorRecord &r = table[address];
    setPresence(address, DetectorRecord::Presence::Online);
    emit changed(address, {DetectorChange::Kind::Status});
    const uint8_t alarms = r.status.alarmFlags;
    for (const uint8_t bit : AlarmMasks) {
        const bool on = alarms & bit;
        if (r.answered ? on != bool(r.alarms & bit) : on)
            emit changed(address, {DetectorChange::Kind::Alarm, bit, on});
    }
    r.answered = true;
    r.alarms = alarms;
}

void DetectorRecords::noteRequest(uint8_t address)
{
    table[address].link.request();
    emit changed(address, {DetectorChange::Kind::Request});
}

void DetectorRecords::noteExchange(uint8_t address, ExchangeOutcome outcome, double roundTripMs)
{
    DetectorRecord &r = table[address];
    r.link.end(outcome, roundTripMs);
    emit changed(address, {DetectorChange::Kind::Exchange, 0, false, outcome});
    if (outcome == ExchangeOutcome::Good) {
        r.failures = 0;
        return;
    }
    if (++r.failures >= offlineAfter)
        setPresence(address, DetectorRecord::Presence::Offline);
}

LinkCounts DetectorRecords::linkCounts(uint8_t address) const
{
    const DetectorRecord *r = find(address);
    return r ? r->link.counts() : LinkCounts{};
}

void DetectorRecords::resetLinkCounts()
{
    for (auto &[address, r] : table)
        r.link = {};
}

void DetectorRecords::lineLost(const QList<uint8_t> &listed)
{
    for (const uint8_t address : listed)
        setPresence(address, DetectorRecord::Presence::Offline);
    for (auto &[address, r] : table)
        setPresence(address, DetectorRecord::Presence::Offline);
}

void DetectorRecords::setPresence(uint8_t address, DetectorRecord::Presence presence)
{
    DetectorRecord &r = table[address];
    r.failures = 0;
    if (r.presence == presence)
        return;
    r.presence = presence;
    emit changed(address, {presence == DetectorRecord::Presence::Online ? DetectorChange::Kind::Online
                                                                        : DetectorChange::Kind::Offline});
}
