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

namespace {
// A paint buffer without an alpha channel, cleared to the plot's background
// colour whatever colour the plot asks for.
class OpaqueBuffer : public QCPAbstractPaintBuffer {
public:
    OpaqueBuffer(const QSize &size, double ratio, const QBrush &background)
        : QCPAbstractPaintBuffer(size, ratio), background(background)
    {
        OpaqueBuffer::reallocateBuffer();
    }

    QCPPainter *startPainting() override { return new QCPPainter(&image); }
    void draw(QCPPainter *painter) const override { painter->drawImage(0, 0, image); }
    void clear(const QColor &) override { image.fill(background.color()); }

protected:
    void reallocateBuffer() override
    {
        setInvalidated();
        image = QImage(mSize * mDevicePixelRatio, QImage::Format_RGB32);
        image.setDevicePixelRatio(mDevicePixelRatio);
        image.fill(background.color()); // until the next replot draws it
    }

private:
    const QBrush &background;
    QImage image;
};
} // namespace

ChartPlot::ChartPlot(QWidget *parent) : QCustomPlot(parent)
{
    // The plot makes its first buffer only when it has none.
    mPaintBuffers.clear();
    mPaintBuffers.append(QSharedPointer<QCPAbstractPaintBuffer>(
        new OpaqueBuffer(viewport().size(), mBufferDevicePixelRatio, mBackgroundBrush)));
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ChartPlot::paintEvent(QPaintEvent *event)
{
    // The plot's own paint fills its background first, all of it hidden by
    // the opaque buffer; it still handles a new pixel ratio.
    if (!qFuzzyCompare(mBufferDevicePixelRatio, devicePixelRatioF())) {
        QCustomPlot::paintEvent(event);
        return;
    }
    QCPPainter painter(this);
    for (const QSharedPointer<QCPAbstractPaintBuffer> &buffer : std::as_const(mPaintBuffers))
        buffer->draw(&painter);
}
