#pragma once
#include <cstdint>
#include <limits>

class QCPGraph;

// Smallest and largest of the values added since it was last emptied.
struct ValueExtent {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    void add(double v);
    bool empty() const { return lo > hi; }
};

// One curve of a chart that runs for days: each point's key is the number of
// points appended before it since the last clear, so the X numbers go on
// counting, and only the newest `limit` points are kept, the oldest dropped
// first. The extent is that of the points held, give or take the last tenth
// of `limit` dropped (it is rescanned then, not at every point).
class CappedSeries {
public:
    // About 20 hours of one detector polled with no delay at 9600 baud.
    static constexpr int DefaultLimit = 1'000'000;

    explicit CappedSeries(QCPGraph *graph = nullptr, int limit = DefaultLimit);

    void append(double value);
    void clear();
    // Points appended since the last clear: the key the next one gets.
    int64_t count() const { return appended; }
    const ValueExtent &extent() const { return values; }
    QCPGraph *graph() const { return curve; }

private:
    void rescanExtent();

    QCPGraph *curve;
    int limit;
    int64_t appended = 0;
    int droppedSinceScan = 0;
    ValueExtent values;
};
