#include "session/averages.h"
#include <cmath>

namespace {
void advance(uint8_t n, std::array<int32_t, 256> &history, uint8_t &pos, int32_t sample, int32_t &average)
{
    if (n == 0)
        n = 1; // no window is shorter than one sample
    pos = uint8_t(pos + 1);
    if (pos >= n)
        pos = 0;
    history[pos] = sample;
    int32_t sum = 0;
    for (int i = 0; i < n; ++i)
        sum += history[i];
    average = roundHalfEven(double(sum) / n);
    for (int i = n; i <= 254; ++i)
        history[i] = average;
}
} // namespace

int32_t roundHalfEven(double value)
{
    const double floor = std::floor(value);
    const double fraction = value - floor;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(floor, 2.0) != 0.0))
        return int32_t(floor + 1);
    return int32_t(floor);
}

void MovingAverages::update(uint8_t irN, uint8_t uvN, int32_t irSignal, int32_t uvSignal)
{
    advance(irN, irHistory, irPos, irSignal, irAverage);
    advance(uvN, uvHistory, uvPos, uvSignal, uvAverage);
}
