// The chart window's scales: the Y limits typed in and "Авто", the axis
// refusing inverted limits, and the X span typed in and applied.
#include "chart/chartwindow.h"
#include "widgets/apperror.h"
#include "support/chartprobe.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <qcustomplot.h>

class TestChartScales : public QObject {
    Q_OBJECT

private slots:
    void yScaleFields();
    void autoFollowsMousePressesOnly();
    void axisRefusesInvertedLimits();
    void xScaleRefusesSpanBelowOne();
    void xScaleApply();
};

void TestChartScales::yScaleFields()
{
    ChartWindow form;
    QSignalSpy errors(&form, &ChartWindow::errorRaised);
    auto *edit1 = child<QLineEdit>(form, "Edit1");
    auto *edit2 = child<QLineEdit>(form, "Edit2");

    edit2->setText(QStringLiteral("100"));
    QCOMPARE(yRange(form), QCPRange(100, 2100));
    edit1->setText(QStringLiteral("100")); // at the minimum: refused quietly
    edit1->setText(QStringLiteral("40"));  // below it
    QCOMPARE(yRange(form), QCPRange(100, 2100));
    edit2->setText(QStringLiteral("2100")); // at the maximum
    edit2->setText(QStringLiteral("3000"));
    QCOMPARE(yRange(form), QCPRange(100, 2100));
    edit1->setText(QStringLiteral("1800"));
    QCOMPARE(yRange(form), QCPRange(100, 1800));
    QCOMPARE(errors.count(), 0);

    edit1->setText(QString()); // an emptied field is ignored
    QCOMPARE(errors.count(), 0);
    edit1->setText(QStringLiteral("12a"));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.last().at(0).toString(), QStringLiteral("'12a' is not a valid integer value"));
    QCOMPARE(yRange(form), QCPRange(100, 1800));

    // Typing a limit while "Авто" is checked returns to manual scaling.
    form.showChart();
    auto *autoBox = child<QCheckBox>(form, "auto");
    clickBox(autoBox);
    QVERIFY(autoBox->isChecked());
    statusRead(form, 5000, 4000);
    chart(form)->replot();
    QCOMPARE(yRange(form).upper, 5000.0);
    edit1->selectAll();
    QTest::keyClicks(edit1, "6000");
    QVERIFY(!autoBox->isChecked());
    statusRead(form, 9000, 4000);
    chart(form)->replot();
    QCOMPARE(yRange(form).upper, 6000.0);
}

void TestChartScales::autoFollowsMousePressesOnly()
{
    ChartWindow form;
    form.showChart();
    QSignalSpy errors(&form, &ChartWindow::errorRaised);
    auto *autoBox = child<QCheckBox>(form, "auto");
    for (int v : {3200, 3600, 3400})
        statusRead(form, v, v + 100, v, v, 3300, 3300);

    clickBox(autoBox);
    QVERIFY(autoBox->isChecked());
    chart(form)->replot();
    QCOMPARE(yRange(form), QCPRange(3200, 3700));

    // The keyboard toggles the box but leaves the axis following the data.
    autoBox->setFocus();
    QTest::keyClick(autoBox, Qt::Key_Space);
    QVERIFY(!autoBox->isChecked());
    statusRead(form, 3900, 3000, 3500, 3000, 3300, 3300);
    chart(form)->replot();
    QCOMPARE(yRange(form), QCPRange(3000, 3900));

    // A hidden series does not widen the automatic range.
    clickBox(child<QCheckBox>(form, "CheckBox1"));
    chart(form)->replot();
    QCOMPARE(yRange(form), QCPRange(3000, 3700));
    clickBox(child<QCheckBox>(form, "CheckBox1"));
    chart(form)->replot();

    // Pressing the checked box returns to manual limits: Max 2100 lies below
    // the current minimum, so the axis refuses it and the minimum is not set.
    QTest::keyClick(autoBox, Qt::Key_Space);
    QVERIFY(autoBox->isChecked());
    clickBox(autoBox);
    QVERIFY(!autoBox->isChecked());
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.last().at(0).toString(), QStringLiteral("Axis Maximum Value must be >= Minimum"));
    statusRead(form, 100, 100);
    chart(form)->replot();
    QCOMPARE(yRange(form), QCPRange(3000, 3900));

    // With limits that fit, the same press applies Max, then Min.
    clickBox(autoBox); // auto again
    child<QLineEdit>(form, "Edit1")->setText(QStringLiteral("4000")); // unchecks, manual
    QTest::keyClick(autoBox, Qt::Key_Space);
    clickBox(autoBox);
    QCOMPARE(yRange(form), QCPRange(0, 4000));
    QCOMPARE(errors.count(), 1);
}

void TestChartScales::axisRefusesInvertedLimits()
{
    QCustomPlot plot;
    QCPAxis &axis = *plot.xAxis;
    axis.setRange(10, 20);
    try {
        chartaxis::setMinimum(axis, 21);
        QFAIL("a minimum above the maximum was accepted");
    } catch (const AppError &e) {
        QCOMPARE(e.message(), QStringLiteral("Axis Minimum Value must be <= Maximum"));
    }
    try {
        chartaxis::setMaximum(axis, 9);
        QFAIL("a maximum below the minimum was accepted");
    } catch (const AppError &e) {
        QCOMPARE(e.message(), QStringLiteral("Axis Maximum Value must be >= Minimum"));
    }
    QCOMPARE(axis.range(), QCPRange(10, 20));
    chartaxis::setMinimum(axis, 15);
    chartaxis::setMaximum(axis, 40);
    QCOMPARE(axis.range(), QCPRange(15, 40));
}

void TestChartScales::xScaleRefusesSpanBelowOne()
{
    ChartWindow form;
    form.showChart();
    QSignalSpy errors(&form, &ChartWindow::errorRaised);
    auto *edit3 = child<QLineEdit>(form, "Edit3");
    for (const char *text : {"0", "-5"}) {
        edit3->setText(QString::fromLatin1(text));
        QCOMPARE(errors.count(), 1);
        QVERIFY2(errors.takeFirst().at(0).toString().contains(QLatin1String(text)), text);
        QCOMPARE(form.xWindow, 500);
        QCOMPARE(xRange(form), QCPRange(0, 500));
        QTest::mouseClick(child<QPushButton>(form, "Button2"), Qt::LeftButton);
        QCOMPARE(errors.count(), 1);
        errors.clear();
    }
    // The status display keeps running with the span that was in force.
    for (int i = 0; i < 502; ++i)
        statusRead(form, i, i);
    QCOMPARE(xRange(form), QCPRange(2, 502));
    QCOMPARE(errors.count(), 0);
}

void TestChartScales::xScaleApply()
{
    ChartWindow form;
    form.showChart();
    QSignalSpy errors(&form, &ChartWindow::errorRaised);
    auto *edit3 = child<QLineEdit>(form, "Edit3");
    for (int i = 0; i < 30; ++i)
        statusRead(form, i, i);

    edit3->setText(QStringLiteral("20"));
    QCOMPARE(form.xWindow, 20);
    QCOMPARE(xRange(form), QCPRange(30, 50)); // newest point at the left edge
    statusRead(form, 1, 1);
    QCOMPARE(xRange(form), QCPRange(11, 31));

    // A span applied early: the axis stays put until Series1 holds more than it.
    edit3->setText(QStringLiteral("40"));
    QCOMPARE(xRange(form), QCPRange(31, 71));
    for (int i = 0; i < 9; ++i)
        statusRead(form, i, i);
    QCOMPARE(xRange(form), QCPRange(31, 71));
    statusRead(form, 1, 1);
    QCOMPARE(xRange(form), QCPRange(1, 41));

    edit3->setText(QStringLiteral("20"));
    edit3->clear(); // ignored while typing
    QCOMPARE(errors.count(), 0);
    QCOMPARE(form.xWindow, 20);
    QTest::mouseClick(child<QPushButton>(form, "Button2"), Qt::LeftButton);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.last().at(0).toString(), QStringLiteral("'' is not a valid integer value"));

    edit3->setText(QStringLiteral("100"));
    QCOMPARE(xRange(form), QCPRange(41, 141));
    QTest::mouseClick(child<QPushButton>(form, "Button2"), Qt::LeftButton);
    QCOMPARE(xRange(form), QCPRange(41, 141));
    QCOMPARE(errors.count(), 1);
}

QTEST_MAIN(TestChartScales)
#include "test_chart_scales.moc"
