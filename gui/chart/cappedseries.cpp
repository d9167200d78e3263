#include "chart/cappedseries.h"
#include <algorithm>
#include <qcustomplot.h>

void ValueExtent::add(double v)
{
    lo = std::min(lo, v);
    hi = std::max(hi, v);
}

CappedSeries::CappedSeries(QCPGraph *graph, int maxPoints) : curve(graph), limit(std::max(maxPoints, 1)) {}

void CappedSeries::append(double value)
{
    // Keys only grow, so this is an append at the end of the sorted container.
    curve->addData(double(appended++), value);
    values.add(value);
    if (curve->dataCount() <= limit)
        return;
    // The container only moves its start here; it compacts itself now and then.
    curve->data()->removeBefore(double(appended - limit));
    if (++droppedSinceScan >= std::max(limit / 10, 1))
        rescanExtent();
}

void CappedSeries::clear()
{
    curve->data()->clear();
    appended = 0;
    droppedSinceScan = 0;
    values = ValueExtent{};
}

void CappedSeries::rescanExtent()
{
    droppedSinceScan = 0;
    values = ValueExtent{};
    for (auto it = curve->data()->constBegin(); it != curve->data()->constEnd(); ++it)
        values.add(it->value);
}
