#pragma once
// The chart window's named controls for its tests: finding them, reading its
// axes, feeding it status reads and clicking its check boxes.
#include "chart/chartwindow.h"

#include <QCheckBox>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <qcustomplot.h>

template <class T> T *child(const ChartWindow &form, const char *name)
{
    auto *w = form.findChild<T *>(QLatin1String(name));
    if (!w)
        qFatal("no control %s", name);
    return w;
}

inline QCustomPlot *chart(const ChartWindow &form)
{
    return child<QCustomPlot>(form, "Chart1");
}

inline QCPRange xRange(const ChartWindow &form)
{
    return chart(form)->xAxis->range();
}

inline QCPRange yRange(const ChartWindow &form)
{
    return chart(form)->yAxis->range();
}

// One status read as the status display delivers it.
inline void statusRead(ChartWindow &form, int ir, int uv, int irAv = 0, int uvAv = 0, int irThr = 0, int uvThr = 0)
{
    form.addIr(ir, irAv, irThr);
    form.addUv(uv, uvAv, uvThr);
}

// A mouse click on the box's indicator (its row may be wider than its text).
inline void clickBox(QCheckBox *box)
{
    QStyleOptionButton option;
    option.initFrom(box);
    const QRect indicator = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
    QTest::mouseClick(box, Qt::LeftButton, {}, indicator.center());
}
