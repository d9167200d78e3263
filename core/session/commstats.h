#pragma once
#include <QList>
#include <QObject>
#include <QStringList>
#include <cstdint>
#include <map>
#include <vector>

// How one exchange with a listed device ended.
enum class ExchangeOutcome {
    Good,       // a status reply to a read, the echo to a write
    Timeout,    // nothing came
    CrcError,   // a wrong CRC, a cut reply among them
    Exception,  // the device refused with an exception reply
    Unexpected, // a good CRC but not the reply the request asks for
};

// What the line did for one address. Round-trip times are of good replies only.
struct LinkCounts {
    uint64_t requests = 0;
    uint64_t good = 0;
    uint64_t timeouts = 0;
    uint64_t crcErrors = 0;
    uint64_t exceptions = 0;
    uint64_t unexpected = 0;
    double lastMs = 0, minMs = 0, medianMs = 0, maxMs = 0; // 0 until a good reply came
};

// Communication counts per device address, fed by the polling cycle: begin()
// as a request goes out, end() with its outcome. The median is taken over
// the last MedianWindow round-trip times, so memory stays bounded however
// long the line is watched; minimum and maximum cover the whole count.
class CommStats : public QObject {
    Q_OBJECT
public:
    static constexpr int MedianWindow = 1000;

    // A request to this address goes out now.
    void begin(uint8_t address);
    // The request begun last has ended, its round trip timed by the link.
    void end(ExchangeOutcome outcome, double roundTripMs);
    // One outcome with a known round trip (what end() records).
    void record(uint8_t address, ExchangeOutcome outcome, double roundTripMs);
    // Every count back to zero ("Сбросить").
    void reset();
    // The port was lost while connected: counted for the line, not for a device.
    void notePortLost();
    uint64_t portLosses() const { return losses; }

    LinkCounts counts(uint8_t address) const;

    // The column titles and one address's row as shown, the address first.
    static QStringList columnTitles();
    QStringList row(uint8_t address) const;
    // The rows of these addresses as aligned plain text, a title line first
    // and the line's port losses last.
    QString textTable(const QList<uint8_t> &addresses) const;

signals:
    void changed();
    // One exchange with this address ended so (emitted before changed()).
    void exchangeEnded(uint8_t address, ExchangeOutcome outcome);

private:
    struct PerAddress {
        LinkCounts counts;
        std::vector<double> recent; // ring of the last MedianWindow round trips
        size_t next = 0;
    };
    std::map<uint8_t, PerAddress> table;
    uint8_t pendingAddress = 0;
    uint64_t losses = 0;
};
