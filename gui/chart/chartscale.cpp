// The chart window's axes: the Y limits typed or following the data, and the
// X span of the newest points.
#include "chart/chartwindow.h"
#include "ui_graph.h"

#include "widgets/apperror.h"
#include "link/inttext.h"

#include <qcustomplot.h>

void chartaxis::setMinimum(QCPAxis &axis, double value)
{
    if (value > axis.range().upper)
        throw AppError(QStringLiteral("Axis Minimum Value must be <= Maximum"));
    axis.setRangeLower(value);
}

void chartaxis::setMaximum(QCPAxis &axis, double value)
{
    if (value < axis.range().lower)
        throw AppError(QStringLiteral("Axis Maximum Value must be >= Minimum"));
    axis.setRangeUpper(value);
}

// ---- Y scale ------------------------------------------------------------------

void ChartWindow::manualY()
{
    if (ui->autoBox->isChecked())
        ui->autoBox->setChecked(false);
    yAuto = false;
}

void ChartWindow::onYMaxEdited()
{
    guarded([&] {
        manualY();
        const QString text = ui->Edit1->text();
        if (text.isEmpty())
            return;
        const int v = typedInteger(text);
        if (v > plot->yAxis->range().lower)
            chartaxis::setMaximum(*plot->yAxis, v);
        redraw();
    });
}

void ChartWindow::onYMinEdited()
{
    guarded([&] {
        manualY();
        const QString text = ui->Edit2->text();
        if (text.isEmpty())
            return;
        const int v = typedInteger(text);
        if (v < plot->yAxis->range().upper)
            chartaxis::setMinimum(*plot->yAxis, v);
        redraw();
    });
}

void ChartWindow::onAutoPressed(bool wasChecked)
{
    guarded([&] {
        if (!wasChecked) {
            yAuto = true;
            redraw();
            return;
        }
        yAuto = false;
        const int lo = typedInteger(ui->Edit2->text());
        const int hi = typedInteger(ui->Edit1->text());
        if (lo < hi) {
            chartaxis::setMaximum(*plot->yAxis, hi);
            chartaxis::setMinimum(*plot->yAxis, lo);
        }
        redraw();
    });
}

void ChartWindow::fitYToData()
{
    ValueExtent all;
    for (int i = 0; i < 6; ++i) {
        const ValueExtent &e = points[i].extent();
        if (curves[i]->visible() && !e.empty()) {
            all.add(e.lo);
            all.add(e.hi);
        }
    }
    if (all.empty())
        return;
    if (all.lo == all.hi) // a flat signal still needs a span to be drawn
        plot->yAxis->setRange(all.lo - 1, all.hi + 1);
    else
        plot->yAxis->setRange(all.lo, all.hi);
}

// ---- X scale ------------------------------------------------------------------

void ChartWindow::applyXWindow(const QString &text)
{
    const int v = typedInteger(text);
    // A span below one sample would make every later point ask for an inverted axis.
    if (v < 1)
        throw AppError(QStringLiteral("X scale must be at least 1 sample, not %1").arg(v));
    xWindow = v;
    const double count = double(points[Ir].count());
    chartaxis::setMinimum(*plot->xAxis, count);
    chartaxis::setMaximum(*plot->xAxis, count + xWindow);
    redraw();
}

void ChartWindow::onXSpanEdited()
{
    guarded([&] {
        if (!ui->Edit3->text().isEmpty())
            applyXWindow(ui->Edit3->text());
    });
}

void ChartWindow::applyXSpan()
{
    guarded([&] { applyXWindow(ui->Edit3->text()); });
}
