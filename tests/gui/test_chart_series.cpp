// The chart window's series: their look, how the points of the status display
// arrive in them with the read count as X, the X window that follows the
// newest points, the cap on what is kept, closing, reopening and clearing.
#include "widgets/lamp.h"
#include "chart/chartgraph.h"
#include "support/chartprobe.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <qcustomplot.h>

#include <cmath>
#include <limits>

namespace {

QList<QPointF> points(const ChartWindow &form, int graph)
{
    QList<QPointF> out;
    const auto data = chart(form)->graph(graph)->data();
    for (auto it = data->constBegin(); it != data->constEnd(); ++it)
        out << QPointF(it->key, it->value);
    return out;
}

} // namespace

class TestChartSeries : public QObject {
    Q_OBJECT

private slots:
    void seriesLook();
    void flatRunsDrawTheSamePixels();
    void pointsArriveInOrderWithCountAsX();
    void xWindowFollowsNewestPoints();
    void seriesKeepTheNewestMillionPoints();
    void closedWindowOnlyUpdatesFields();
    void reopeningContinuesX();
    void clearingRestartsXAndKeepsAxes();
};

void TestChartSeries::seriesLook()
{
    ChartWindow form;
    QCustomPlot *plot = chart(form);
    const struct {
        const char *title;
        QColor colour;
        Qt::PenStyle style;
        int width;
    } expected[] = {
        {"ИК", Qt::red, Qt::SolidLine, 1},  {"УФ", Qt::blue, Qt::SolidLine, 1},
        {"ИК_ср", Qt::red, Qt::DotLine, 2}, {"УФ_ср", Qt::blue, Qt::DotLine, 2},
        {"ИК_пор", Qt::red, Qt::DotLine, 1}, {"УФ_пор", Qt::blue, Qt::DotLine, 1},
    };
    QCOMPARE(plot->graphCount(), 6);
    QVERIFY(plot->legend->visible());
    QCOMPARE(plot->legend->itemCount(), 6);
    for (int i = 0; i < 6; ++i) {
        QCPGraph *g = plot->graph(i);
        QCOMPARE(g->name(), QString::fromUtf8(expected[i].title));
        QCOMPARE(g->pen().color(), expected[i].colour);
        QCOMPARE(g->pen().style(), expected[i].style);
        QCOMPARE(g->pen().width(), expected[i].width);
        QCOMPARE(g->scatterStyle().shape(), QCPScatterStyle::ssNone);
        QVERIFY(g->adaptiveSampling());
        QVERIFY(g->visible());
        QCOMPARE(g->dataCount(), 0);
        auto *item = qobject_cast<QCPPlottableLegendItem *>(plot->legend->item(i));
        QVERIFY(item && item->plottable() == g);
    }
}

// A curve is drawn with its flat runs joined: fewer lines, not one pixel
// different, with each pen the chart draws with, gaps (NaN) kept.
void TestChartSeries::flatRunsDrawTheSamePixels()
{
    QList<QPointF> line;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double ys[] = {50, 50, 50, 50, 20, 20, 21, 22, 22, nan, 22, 22, 22, 80, 80.5, 80.5, 80.5, 80.5, 10};
    double x = 3.3;
    for (const double y : ys) {
        line << QPointF(x, y);
        x += 1.7;
    }
    for (int i = 0; i < 40; ++i) // a steady stretch, as a held threshold draws
        line << QPointF(x += 1.2, 60.25);
    QList<QPointF> joined = line;
    dropFlatMidpoints(joined, [](const QPointF &p) { return p.y(); });
    QVERIFY2(joined.size() < line.size() - 40, qPrintable(QString::number(joined.size())));

    QPen dashed(Qt::blue, 0);
    dashed.setDashPattern({4, 2});
    for (const QPen &pen : {QPen(Qt::red, 0), QPen(Qt::red, 0, Qt::DotLine), dashed}) {
        auto draw = [&](const QList<QPointF> &points) {
            QImage image(120, 100, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::white);
            QCPPainter p(&image);
            p.setPen(pen);
            // As a curve is drawn: a polyline for each stretch between gaps.
            qsizetype start = 0;
            for (qsizetype i = 0; i <= points.size(); ++i)
                if (i == points.size() || std::isnan(points[i].y())) {
                    p.drawPolyline(points.constData() + start, int(i - start));
                    start = i + 1;
                }
            return image;
        };
        QCOMPARE(draw(joined), draw(line));
    }
}

void TestChartSeries::pointsArriveInOrderWithCountAsX()
{
    ChartWindow form;
    form.showChart();
    QVERIFY(form.chartShown);

    form.addIr(700, 650, 1500);
    QCOMPARE(points(form, 0), (QList<QPointF>{{0, 700}}));
    QCOMPARE(points(form, 2), (QList<QPointF>{{0, 650}}));
    QCOMPARE(points(form, 4), (QList<QPointF>{{0, 1500}}));
    QCOMPARE(child<QLineEdit>(form, "Edit4")->text(), QStringLiteral("700"));
    for (int g : {1, 3, 5})
        QCOMPARE(chart(form)->graph(g)->dataCount(), 0);

    form.addUv(-40, -35, 1200);
    QCOMPARE(points(form, 1), (QList<QPointF>{{0, -40}}));
    QCOMPARE(points(form, 3), (QList<QPointF>{{0, -35}}));
    QCOMPARE(points(form, 5), (QList<QPointF>{{0, 1200}}));
    QCOMPARE(child<QLineEdit>(form, "Edit5")->text(), QStringLiteral("-40"));

    statusRead(form, 710, -30, 660, -33, 1510, 1190);
    QCOMPARE(points(form, 0), (QList<QPointF>{{0, 700}, {1, 710}}));
    QCOMPARE(points(form, 5), (QList<QPointF>{{0, 1200}, {1, 1190}}));
    QCOMPARE(points(form, 3), (QList<QPointF>{{0, -35}, {1, -33}}));
}

void TestChartSeries::xWindowFollowsNewestPoints()
{
    ChartWindow form;
    form.showChart();
    for (int i = 0; i < 500; ++i)
        statusRead(form, i, i);
    QCOMPARE(xRange(form), QCPRange(0, 500));

    form.addIr(500, 0, 0); // the 501st point, x = 500
    QCOMPARE(xRange(form), QCPRange(1, 501));
    form.addUv(500, 0, 0); // UV points share the axis and never move it
    QCOMPARE(xRange(form), QCPRange(1, 501));
    statusRead(form, 501, 501);
    QCOMPARE(xRange(form), QCPRange(2, 502));
}

void TestChartSeries::seriesKeepTheNewestMillionPoints()
{
    ChartWindow form;
    form.showChart();
    const int kept = CappedSeries::DefaultLimit;
    statusRead(form, 9000, 9000, 9000, 9000, 9000, 9000); // an extreme that will be dropped
    for (int i = 1; i < kept + kept / 10 + 5; ++i)
        statusRead(form, i % 100, 50, 40, 30, 20, 10);
    const int64_t last = kept + kept / 10 + 4;
    for (int g = 0; g < 6; ++g) {
        const auto data = chart(form)->graph(g)->data();
        QCOMPARE(data->size(), kept);
        QCOMPARE(data->constBegin()->key, double(last - kept + 1));
        QCOMPARE((data->constEnd() - 1)->key, double(last)); // X goes on counting
    }
    QCOMPARE(xRange(form), QCPRange(last - 499, last + 1));
    clickBox(child<QCheckBox>(form, "auto")); // "Авто" fits the points held
    chart(form)->replot();
    QCOMPARE(yRange(form), QCPRange(0, 99));
}

void TestChartSeries::closedWindowOnlyUpdatesFields()
{
    ChartWindow form;
    statusRead(form, 123, -7, 1, 2, 3, 4);
    form.setG36(-36);
    form.setG42(42);
    form.setFire(true);
    for (int g = 0; g < 6; ++g)
        QCOMPARE(chart(form)->graph(g)->dataCount(), 0);
    QCOMPARE(child<QLineEdit>(form, "Edit4")->text(), QStringLiteral("123"));
    QCOMPARE(child<QLineEdit>(form, "Edit5")->text(), QStringLiteral("-7"));
    QCOMPARE(child<QLineEdit>(form, "Edit6")->text(), QStringLiteral("-36"));
    QCOMPARE(child<QLineEdit>(form, "Edit7")->text(), QStringLiteral("42"));
    QCOMPARE(child<Lamp>(form, "Shape1")->color(), QColor(255, 0, 0));
    form.setFire(false);
    QCOMPARE(child<Lamp>(form, "Shape1")->color(), QColor(Qt::white));
}

void TestChartSeries::reopeningContinuesX()
{
    ChartWindow form;
    form.showChart();
    for (int i = 0; i < 3; ++i)
        statusRead(form, 10 + i, 20 + i);
    QVERIFY(form.close());
    QVERIFY(!form.chartShown);
    QVERIFY(!form.isVisible());
    statusRead(form, 99, 99);

    form.showChart();
    QVERIFY(form.chartShown);
    statusRead(form, 13, 23);
    QCOMPARE(points(form, 0).last(), QPointF(3, 13));
    QCOMPARE(points(form, 1).last(), QPointF(3, 23));
    QCOMPARE(chart(form)->graph(5)->dataCount(), 4);

    form.hide(); // hidden by the program rather than the close button
    QVERIFY(!form.chartShown);
}

void TestChartSeries::clearingRestartsXAndKeepsAxes()
{
    ChartWindow form;
    form.showChart();
    for (int i = 0; i < 1500; ++i)
        statusRead(form, 100 + i % 50, 200);
    QCOMPARE(xRange(form), QCPRange(1000, 1500));
    const QCPRange y = yRange(form);

    QTest::mouseClick(child<QPushButton>(form, "Button3"), Qt::LeftButton);
    for (int g = 0; g < 6; ++g)
        QCOMPARE(chart(form)->graph(g)->dataCount(), 0);
    QCOMPARE(xRange(form), QCPRange(1000, 1500));
    QCOMPARE(yRange(form), y);

    statusRead(form, 77, 88);
    QCOMPARE(points(form, 0), (QList<QPointF>{{0, 77}}));
    QCOMPARE(points(form, 3), (QList<QPointF>{{0, 0}}));
    QCOMPARE(xRange(form), QCPRange(1000, 1500)); // not yet more than xWindow points

    // The automatic Y range forgets the cleared values.
    clickBox(child<QCheckBox>(form, "auto"));
    chart(form)->replot();
    QCOMPARE(yRange(form), QCPRange(0, 88));
}

QTEST_MAIN(TestChartSeries)
#include "test_chart_series.moc"
