// Cost of one status read in the chart window as the curves grow: for 10^3,
// 10^5 and 10^6 points in each of the six series, the median time to append
// one point to every series and redraw (the status display's own addIr/addUv
// path, then the plot painted at the window's default size into a picture such
// as the window's, as the window paints it at a frame), and the
// memory held per point. Prints figures; it passes or fails nothing.
//
// Run: bench_chart [points ...]   (offscreen unless QT_QPA_PLATFORM is set)
#include "measure.h"
#include "chart/chartwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <qcustomplot.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int SeriesCount = 6;
constexpr int TimedReads = 300;

struct Memory {
    long long virtualBytes = -1;  // address space, including reserved but untouched capacity
    long long residentBytes = -1; // pages actually touched
};

Memory memory()
{
    Memory m;
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return m;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    if (fields.size() > 1) {
        m.virtualBytes = fields[0].toLongLong() * sysconf(_SC_PAGESIZE);
        m.residentBytes = fields[1].toLongLong() * sysconf(_SC_PAGESIZE);
    }
    return m;
}

// A plausible status read: slow IR and UV waves with some noise.
void feed(ChartWindow &form, long long i)
{
    const int ir = 900 + int(300 * std::sin(double(i) / 40.0)) + int(i % 7) * 10;
    const int uv = 400 + int(200 * std::cos(double(i) / 25.0)) + int(i % 5) * 8;
    form.addIr(ir, ir - 20, 1500);
    form.addUv(uv, uv + 10, 1200);
}

void measure(long long points)
{
    auto form = std::make_unique<ChartWindow>();
    form->showChart();
    auto *plot = form->findChild<QCustomPlot *>(QStringLiteral("Chart1"));

    const Memory before = memory();
    QElapsedTimer fill;
    fill.start();
    for (long long i = 0; i < points; ++i)
        feed(*form, i);
    const double fillNsPerRead = double(fill.nsecsElapsed()) / double(points);
    const Memory after = memory();

    // The window's picture: the plot paints straight onto it.
    QImage picture(plot->size(), QImage::Format_RGB32);
    plot->render(&picture); // the first paint fills the caches of the labels
    std::vector<double> ms;
    ms.reserve(TimedReads);
    for (int k = 0; k < TimedReads; ++k) {
        QElapsedTimer t;
        t.start();
        feed(*form, points + k);
        plot->render(&picture);
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    const double held = double(points) * SeriesCount;
    std::printf("%9lld  %10.3f  %10.3f  %12.0f  %16.1f  %15.1f  %14zu\n", points, median(ms), percentile(ms, 0.9),
                fillNsPerRead, double(after.residentBytes - before.residentBytes) / held,
                double(after.virtualBytes - before.virtualBytes) / held, sizeof(QCPGraphData));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    offscreenUnlessSet();
    QApplication app(argc, argv);

    std::vector<long long> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::atoll(argv[i]));
    if (sizes.empty())
        sizes = {1000, 100000, 1000000};

    ChartWindow probe;
    probe.showChart();
    const QSize chartSize = probe.findChild<QCustomPlot *>(QStringLiteral("Chart1"))->size();
    std::printf("chart %dx%d, %d timed status reads per size, X span %d\n", chartSize.width(), chartSize.height(),
                TimedReads, probe.xWindow);
    // Font and glyph caches fill on first use; keep them out of the first size's figures.
    for (int i = 0; i < 10; ++i)
        feed(probe, i);
    QImage picture(chartSize, QImage::Format_RGB32);
    probe.findChild<QCustomPlot *>(QStringLiteral("Chart1"))->render(&picture);
    probe.close();
    std::printf("%9s  %10s  %10s  %12s  %16s  %15s  %14s\n", "points", "median ms", "p90 ms", "fill ns/read",
                "RSS B/pt/series", "VM B/pt/series", "sizeof(point)");
    for (long long n : sizes)
        measure(n);
    return 0;
}
