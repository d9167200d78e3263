#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
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

// Round trips of good replies, counted into fixed buckets (seconds, upper
// bounds) as a histogram is exposed: cumulative counts are made on reading.
struct RoundTripHistogram {
    static constexpr std::array<double, 9> Bounds{0.01, 0.025, 0.05, 0.075, 0.1, 0.15, 0.25, 0.5, 1.0};
    std::array<uint64_t, Bounds.size() + 1> buckets{}; // the last: above every bound
    uint64_t count = 0;
    double sumSeconds = 0;
    void add(double seconds);
};

// The counts of one address as its exchanges go: request() as a request
// goes out, end() with its outcome and its round trip as the link timed it.
// The median is taken over the last MedianWindow round-trip times, so memory
// stays bounded however long the line is watched; minimum and maximum cover
// the whole count.
class LinkTally {
public:
    static constexpr int MedianWindow = 1000;

    void request() { ++c.requests; }
    void end(ExchangeOutcome outcome, double roundTripMs);
    LinkCounts counts() const;
    const RoundTripHistogram &roundTrips() const { return histogram; }

private:
    LinkCounts c;
    RoundTripHistogram histogram;
    std::vector<double> recent; // ring of the last MedianWindow round trips
    std::size_t next = 0;
};
