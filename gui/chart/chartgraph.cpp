#include "chart/chartgraph.h"

QList<QPointF> withoutFlatMidpoints(const QList<QPointF> &points)
{
    QList<QPointF> kept;
    kept.reserve(points.size());
    for (const QPointF &p : points) {
        const qsizetype n = kept.size();
        // NaN compares unequal, so a gap never joins a run.
        if (n >= 2 && kept[n - 1].y() == p.y() && kept[n - 2].y() == p.y())
            kept[n - 1] = p;
        else
            kept.append(p);
    }
    return kept;
}

void ChartGraph::drawLinePlot(QCPPainter *painter, const QVector<QPointF> &lines) const
{
    const QList<QPointF> drawn = withoutFlatMidpoints(lines);
    const QPen pen = painter->pen();
    if (pen.style() != Qt::DotLine || pen.width() != 2) {
        QCPGraph::drawLinePlot(painter, drawn);
        return;
    }
    QPen thin(pen.color(), 0); // cosmetic: one pixel
    thin.setDashPattern({4, 2});
    painter->setPen(thin);
    QCPGraph::drawLinePlot(painter, drawn);
    painter->translate(-1, -1);
    QCPGraph::drawLinePlot(painter, drawn);
    painter->translate(1, 1);
    painter->setPen(pen);
}
