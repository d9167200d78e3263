#include "chart/chartgraph.h"

// Equal samples lie at equal heights on screen, so their flat runs go before
// any of them is turned into pixels.
void ChartGraph::getOptimizedLineData(QVector<QCPGraphData> *lineData, const QCPGraphDataContainer::const_iterator &begin,
                                      const QCPGraphDataContainer::const_iterator &end) const
{
    QCPGraph::getOptimizedLineData(lineData, begin, end);
    dropFlatMidpoints(*lineData, [](const QCPGraphData &d) { return d.value; });
}

void ChartGraph::drawLinePlot(QCPPainter *painter, const QVector<QPointF> &lines) const
{
    const QPen pen = painter->pen();
    if (pen.style() != Qt::DotLine || pen.width() != 2) {
        QCPGraph::drawLinePlot(painter, lines);
        return;
    }
    QPen thin(pen.color(), 0); // cosmetic: one pixel
    thin.setDashPattern({4, 2});
    painter->setPen(thin);
    QCPGraph::drawLinePlot(painter, lines);
    painter->translate(-1, -1);
    QCPGraph::drawLinePlot(painter, lines);
    painter->translate(1, 1);
    painter->setPen(pen);
}

LegendEntry::Look LegendEntry::look() const
{
    return {mPlottable->name(), mPlottable->pen(), getFont(), getTextColor(), mRect.size()};
}

QSize LegendEntry::minimumOuterSizeHint() const
{
    Look now = look();
    now.size = QSize(); // the size asked for does not depend on the size given
    if (!measured || measured->first != now)
        measured.emplace(now, QCPPlottableLegendItem::minimumOuterSizeHint());
    return measured->second;
}

void LegendEntry::draw(QCPPainter *painter)
{
    const Look now = look();
    const qreal ratio = painter->device()->devicePixelRatioF();
    if (picture.isNull() || now != drawn || picture.devicePixelRatioF() != ratio) {
        picture = QPixmap(mRect.size() * ratio);
        picture.setDevicePixelRatio(ratio);
        // On the legend's own background, so that text is smoothed as it would be there.
        const QBrush back = mParentLegend->brush();
        picture.fill(back.style() == Qt::SolidPattern ? back.color() : QColor(Qt::transparent));
        QCPPainter p(&picture);
        p.setRenderHints(painter->renderHints());
        p.setModes(painter->modes());
        p.translate(-mRect.topLeft());
        QCPPlottableLegendItem::draw(&p);
        drawn = now;
    }
    painter->drawPixmap(mRect.topLeft(), picture);
}

ChartPlot::ChartPlot(QWidget *parent) : QCustomPlot(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ChartPlot::paintEvent(QPaintEvent *)
{
    QCPPainter painter(this);
    painter.fillRect(mViewport, mBackgroundBrush);
    draw(&painter);
}
