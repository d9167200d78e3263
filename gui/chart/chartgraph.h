#pragma once
#include <QList>
#include <QPointF>
#include <optional>
#include <utility>
#include <qcustomplot.h>

// Drops from a polyline each point that lies between two neighbours at the
// same height(point): a flat run (a held threshold, a steady average) becomes
// one line instead of one per sample, and draws the same pixels. Points whose
// height is NaN, the gaps of a curve, are kept. The X values must not decrease.
template <class Point, class Height> void dropFlatMidpoints(QList<Point> &points, Height height)
{
    Point *p = points.data();
    qsizetype kept = 0;
    for (qsizetype i = 0; i < points.size(); ++i) {
        // NaN compares unequal, so a gap never joins a run.
        if (kept >= 2 && height(p[kept - 1]) == height(p[i]) && height(p[kept - 2]) == height(p[i]))
            p[kept - 1] = p[i];
        else
            p[kept++] = p[i];
    }
    points.resize(kept);
}

// A curve of the chart, drawn with fewer lines for the same pixels: Qt's line
// drawer pays far more for each line than for each pixel of it (a sample is a
// pixel or two wide), so flat runs are drawn as one line (dropFlatMidpoints,
// on the samples before they are turned into pixels), and a 2-pixel dotted
// pen, which would take Qt's general dash stroker (slower still), is drawn as
// two 1-pixel dashed lines a pixel apart: a 2-pixel dot with its square caps
// is 4 pixels on and 2 off. The legend shows the pen as set.
class ChartGraph : public QCPGraph {
public:
    ChartGraph(QCPAxis *keyAxis, QCPAxis *valueAxis) : QCPGraph(keyAxis, valueAxis) {}

protected:
    void getOptimizedLineData(QVector<QCPGraphData> *lineData, const QCPGraphDataContainer::const_iterator &begin,
                              const QCPGraphDataContainer::const_iterator &end) const override;
    void drawLinePlot(QCPPainter *painter, const QVector<QPointF> &lines) const override;
};

// A legend entry drawn from a picture of itself, made again only when what it
// shows changes: its text was laid out and measured at every frame, a fifth
// of the chart's redraw.
class LegendEntry : public QCPPlottableLegendItem {
public:
    LegendEntry(QCPLegend *legend, QCPAbstractPlottable *plottable) : QCPPlottableLegendItem(legend, plottable) {}

protected:
    QSize minimumOuterSizeHint() const override;
    void draw(QCPPainter *painter) override;

private:
    struct Look {
        QString name;
        QPen pen;
        QFont font;
        QColor text;
        QSize size;
        bool operator==(const Look &) const = default;
    };
    Look look() const;

    mutable std::optional<std::pair<Look, QSize>> measured;
    Look drawn;
    QPixmap picture;
};

// The chart's plot, drawn straight onto the window whenever the window paints
// it. A replot draws the layers into a buffer of the plot's own, cleared at
// every frame, and copies that onto the window, whose picture is buffered
// already: clearing and copying that buffer, few instructions but memory
// bound, took 7 % of the window's time. update() draws it; replot() still
// does too, but also draws the plot's buffer for nothing. Its background is a
// solid colour.
class ChartPlot : public QCustomPlot {
public:
    explicit ChartPlot(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};
