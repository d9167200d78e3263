#pragma once
#include "detector/devicestatus.h"
#include "session/averages.h"
#include "session/linkcounts.h"
#include <QDateTime>
#include <QList>
#include <QObject>
#include <cstdint>
#include <map>

// What the line knows of one detector, fed only by that detector's passes.
struct DetectorRecord {
    enum class Presence { Unknown, Online, Offline };

    bool answered = false;       // a good status reply has come
    DeviceStatus status;         // the last good status reply (zeros until one came)
    StatusRegisters registers{}; // the same reply's registers as they came
    QDateTime readAt;            // when it came, by the wall clock
    double readAtMs = 0;         // when it came, by the line's clock
    MovingAverages averages;
    Presence presence = Presence::Unknown;
    int failures = 0;   // failed exchanges in a row
    uint8_t alarms = 0; // the alarm bits the changes were last told for
    LinkTally link;     // what the line did for this address
    bool online() const { return presence == Presence::Online; }
};

// One thing that changed about a detector, in the order it happened.
struct DetectorChange {
    enum class Kind { Status, Online, Offline, Alarm, Request, Exchange };
    Kind kind = Kind::Status;
    uint8_t alarm = 0;                               // Alarm: the bit (fire 0x01, fault 0x02, dust 0x04)
    bool on = false;                                 // Alarm: set or cleared
    ExchangeOutcome outcome = ExchangeOutcome::Good; // Exchange: how it ended
};

// Every detector of one line by address, so that no value read from one
// detector is ever shown for or written to another. Online after a good
// status reply, offline after offlineAfter failed exchanges in a row or when
// the line is lost; an alarm bit that changes (or is set in the first reply)
// is a change of its own; so is each request sent and each exchange ended,
// which the link counts count. Each change is told by changed(), so front ends
// follow the detectors without keeping their own copies. An entry is made
// when first asked for; entries outlive clearing the table, as the averages
// outlive it.
class DetectorRecords : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultOfflineAfter = 3;
    void setOfflineAfter(int failures) { offlineAfter = failures; }

    DetectorRecord &at(uint8_t address) { return table[address]; }
    const DetectorRecord *find(uint8_t address) const
    {
        const auto it = table.find(address);
        return it == table.end() ? nullptr : &it->second;
    }
    const std::map<uint8_t, DetectorRecord> &all() const { return table; }
    // The detector took a new address: its record goes with it, but for the
    // link counts, which are of the address.
    void rename(uint8_t from, uint8_t to);

    // A good status reply came: it is the detector's last status.
    void noteStatus(uint8_t address, const DeviceStatus &status, const StatusRegisters &registers, double lineMs);
    // The changes that reply makes (online, status, alarms), told once its
    // sample has been handed on.
    void tellStatus(uint8_t address);
    // A request to the detector goes out now.
    void noteRequest(uint8_t address);
    // An exchange with the detector ended so, its round trip timed by the link.
    void noteExchange(uint8_t address, ExchangeOutcome outcome, double roundTripMs);
    // Zeros for an address never asked.
    LinkCounts linkCounts(uint8_t address) const;
    // Every detector's link counts back to zero.
    void resetLinkCounts();
    // Nothing on the line can be reached: these detectors (the listed ones)
    // and every other known one are offline.
    void lineLost(const QList<uint8_t> &listed);

signals:
    void changed(uint8_t address, const DetectorChange &change);

private:
    void setPresence(uint8_t address, DetectorRecord::Presence presence);

    std::map<uint8_t, DetectorRecord> table;
    int offlineAfter = DefaultOfflineAfter;
};
