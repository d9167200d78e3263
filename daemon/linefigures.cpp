#include "daemon/linefigures.h"
#include <algorithm>

void PassRate::add(qint64 nowMs)
{
    if (firstMs < 0)
        firstMs = nowMs;
    ends.push_back(nowMs);
    while (!ends.empty() && ends.front() <= nowMs - WindowMs)
        ends.pop_front();
}

double PassRate::perSecond(qint64 nowMs) const
{
    const auto inWindow = std::count_if(ends.begin(), ends.end(), [&](qint64 t) { return t > nowMs - WindowMs; });
    if (firstMs < 0)
        return 0;
    const qint64 span = std::min(WindowMs, std::max<qint64>(nowMs - firstMs, 1000));
    return double(inWindow) * 1000.0 / double(span);
}
