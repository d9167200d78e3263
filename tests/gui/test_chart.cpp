// The chart window driven through its real widgets: point arrival from the
// status display, the axis window, scaling, clearing, saving, the command
// buttons, the averaging selectors and the series check boxes.
#include "widgets/lamp.h"
#include "chart/chartwindow.h"
#include "chart/chartgraph.h"
#include "widgets/apperror.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>
#include <qcustomplot.h>

namespace {

template <class T> T *child(const ChartWindow &form, const char *name)
{
    auto *w = form.findChild<T *>(QLatin1String(name));
    if (!w)
        qFatal("no control %s", name);
    return w;
}

QCustomPlot *chart(const ChartWindow &form)
{
    return child<QCustomPlot>(form, "Chart1");
}

QCPRange xRange(const ChartWindow &form)
{
    return chart(form)->xAxis->range();
}

QCPRange yRange(const ChartWindow &form)
{
    return chart(form)->yAxis->range();
}

// One status read as the status display delivers it.
void statusRead(ChartWindow &form, int ir, int uv, int irAv = 0, int uvAv = 0, int irThr = 0, int uvThr = 0)
{
    form.addIr(ir, irAv, irThr);
    form.addUv(uv, uvAv, uvThr);
}

QList<QPointF> points(const ChartWindow &form, int graph)
{
    QList<QPointF> out;
    const auto data = chart(form)->graph(graph)->data();
    for (auto it = data->constBegin(); it != data->constEnd(); ++it)
        out << QPointF(it->key, it->value);
    return out;
}

// Groups of neighbouring pixel rows, above maxY and between the given columns,
// that hold black pixels: the text lines drawn there.
int blackTextLines(const QImage &image, int x0, int x1, int maxY)
{
    int lines = 0;
    bool inLine = false;
    for (int y = 0; y < maxY; ++y) {
        bool black = false;
        for (int x = x0; x < x1 && !black; ++x) {
            const QRgb p = image.pixel(x, y);
            black = qRed(p) < 100 && qGreen(p) < 100 && qBlue(p) < 100;
        }
        if (black && !inLine)
            ++lines;
        inLine = black;
    }
    return lines;
}

int titleLines(const QImage &image)
{
    // The middle of the upper half holds neither axis labels nor the legend.
    return blackTextLines(image, image.width() * 3 / 10, image.width() * 6 / 10, image.height() / 2);
}

// A mouse click on the box's indicator (its row may be wider than its text).
void clickBox(QCheckBox *box)
{
    QStyleOptionButton option;
    option.initFrom(box);
    const QRect indicator = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
    QTest::mouseClick(box, Qt::LeftButton, {}, indicator.center());
}

// Picks a name in the save dialog and presses its Save button, as a user would.
void chooseFile(QFileDialog *dialog, const QString &path)
{
    dialog->selectFile(path);
    auto *buttons = dialog->findChild<QDialogButtonBox *>();
    QVERIFY(buttons);
    QPushButton *save = buttons->button(QDialogButtonBox::Save);
    QVERIFY(save && save->isEnabled());
    QTest::mouseClick(save, Qt::LeftButton);
}

void cancelFile(QFileDialog *dialog, const QString &path)
{
    dialog->selectFile(path);
    auto *buttons = dialog->findChild<QDialogButtonBox *>();
    QVERIFY(buttons);
    QTest::mouseClick(buttons->button(QDialogButtonBox::Cancel), Qt::LeftButton);
}

bool hasTitleElement(const ChartWindow &form)
{
    QCPLayoutGrid *layout = chart(form)->plotLayout();
    for (int i = 0; i < layout->elementCount(); ++i)
        if (qobject_cast<QCPTextElement *>(layout->elementAt(i)))
            return true;
    return false;
}

struct SeriesBox {
    const char *box;
    int graph;
};
const SeriesBox seriesBoxes[] = {{"CheckBox1", 0}, {"CheckBox4", 1}, {"CheckBox2", 2},
                                 {"CheckBox5", 3}, {"CheckBox3", 4}, {"CheckBox6", 5}};

} // namespace

class TestChart : public QObject {
    Q_OBJECT

private slots:
    void startsWithLayoutValues();
    void seriesLook();
    void flatRunsDrawTheSamePixels();
    void pointsArriveInOrderWithCountAsX();
    void xWindowFollowsNewestPoints();
    void seriesKeepTheNewestMillionPoints();
    void closedWindowOnlyUpdatesFields();
    void reopeningContinuesX();
    void clearingRestartsXAndKeepsAxes();
    void yScaleFields();
    void autoFollowsMousePressesOnly();
    void axisRefusesInvertedLimits();
    void xScaleRefusesSpanBelowOne();
    void xScaleApply();
    void saveWritesBitmapWithMemoTitle();
    void saveDoesNotDoubleExtension_data();
    void saveDoesNotDoubleExtension();
    void saveCancelledOrFailing();
    void commandButtons_data();
    void commandButtons();
    void averagingSelectors_data();
    void averagingSelectors();
    void seriesBoxesShowAndHide_data();
    void seriesBoxesShowAndHide();
};

void TestChart::startsWithLayoutValues()
{
    ChartWindow form;
    QCOMPARE(form.windowTitle(), QStringLiteral("График"));
    QVERIFY(!form.chartShown);
    QVERIFY(!form.isModal());
    QCOMPARE(form.xWindow, 500);

    const struct {
        const char *name;
        const char *text;
    } edits[] = {{"Edit1", "2100"}, {"Edit2", "0"}, {"Edit3", "500"}, {"Edit4", "0"}, {"Edit5", "0"}};
    for (const auto &e : edits)
        QCOMPARE(child<QLineEdit>(form, e.name)->text(), QString::fromUtf8(e.text));

    const struct {
        const char *name;
        const char *caption;
    } buttons[] = {{"Button1", "Сохранить"}, {"Button2", "Применить"}, {"Button3", "Очистить"}};
    for (const auto &b : buttons)
        QCOMPARE(child<QPushButton>(form, b.name)->text(), QString::fromUtf8(b.caption));

    QStringList groups;
    for (auto *g : form.findChildren<QGroupBox *>())
        groups << g->title();
    for (const char *t : {"Масштаб по Y", "Масштаб по Х", "Текущие значения", "Опции"})
        QVERIFY2(groups.contains(QString::fromUtf8(t)), t);
    QStringList labels;
    for (auto *l : form.findChildren<QLabel *>())
        labels << l->text();
    for (const char *t : {"Пожар", "Max:", "Min:", "Uик:", "Uуф:", "Усреднение по ИК:", "Усреднение по УФ:"})
        QVERIFY2(labels.contains(QString::fromUtf8(t)), t);

    auto *autoBox = child<QCheckBox>(form, "auto");
    QCOMPARE(autoBox->text(), QStringLiteral("Авто"));
    QVERIFY(!autoBox->isChecked());
    QCOMPARE(child<Lamp>(form, "Shape1")->color(), QColor(Qt::white));
    QVERIFY(child<QPlainTextEdit>(form, "Memo1")->toPlainText().isEmpty());

    QCOMPARE(xRange(form), QCPRange(0, 500));
    QCOMPARE(yRange(form), QCPRange(0, 2100));
    QVERIFY(!hasTitleElement(form));

    QVERIFY(form.saveDialog);
    QCOMPARE(form.saveDialog->acceptMode(), QFileDialog::AcceptSave);
    QCOMPARE(form.saveDialog->nameFilters(), QStringList{QStringLiteral("bmp (*.bmp)")});
}

void TestChart::seriesLook()
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
void TestChart::flatRunsDrawTheSamePixels()
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

void TestChart::pointsArriveInOrderWithCountAsX()
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

void TestChart::xWindowFollowsNewestPoints()
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

void TestChart::seriesKeepTheNewestMillionPoints()
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

void TestChart::closedWindowOnlyUpdatesFields()
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

void TestChart::reopeningContinuesX()
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

void TestChart::clearingRestartsXAndKeepsAxes()
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

void TestChart::yScaleFields()
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

void TestChart::autoFollowsMousePressesOnly()
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

void TestChart::axisRefusesInvertedLimits()
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

void TestChart::xScaleRefusesSpanBelowOne()
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

void TestChart::xScaleApply()
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

void TestChart::saveWritesBitmapWithMemoTitle()
{
    QTemporaryDir dir;
    ChartWindow form;
    form.showChart();
    for (int i = 0; i < 50; ++i)
        statusRead(form, 900 + i, 500 - i, 880, 510, 1500, 1200);
    auto *memo = child<QPlainTextEdit>(form, "Memo1");
    auto *save = child<QPushButton>(form, "Button1");
    QSignalSpy errors(&form, &ChartWindow::errorRaised);

    auto saveAs = [&](const QString &name) {
        QTest::mouseClick(save, Qt::LeftButton);
        QVERIFY(form.saveDialog->isVisible());
        chooseFile(form.saveDialog, dir.filePath(name));
        QVERIFY(!form.saveDialog->isVisible());
    };

    memo->setPlainText(QStringLiteral("Извещатель 247\nпроверка канала"));
    saveAs(QStringLiteral("two"));
    memo->setPlainText(QStringLiteral("одна строка"));
    saveAs(QStringLiteral("one"));
    memo->clear();
    saveAs(QStringLiteral("none"));
    QCOMPARE(errors.count(), 0);

    QFile raw(dir.filePath(QStringLiteral("two.bmp")));
    QVERIFY(raw.open(QIODevice::ReadOnly));
    QCOMPARE(raw.read(2), QByteArray("BM"));
    const QImage two(dir.filePath(QStringLiteral("two.bmp")), "BMP");
    const QImage one(dir.filePath(QStringLiteral("one.bmp")), "BMP");
    const QImage none(dir.filePath(QStringLiteral("none.bmp")), "BMP");
    QVERIFY(!two.isNull() && !one.isNull() && !none.isNull());
    QCOMPARE(two.size(), chart(form)->size());
    QCOMPARE(titleLines(two), 2);
    QCOMPARE(titleLines(one), 1);
    QCOMPARE(titleLines(none), 0);

    // On screen the chart shows no title, before or after saving.
    QVERIFY(!hasTitleElement(form));
    chart(form)->replot();
    QCOMPARE(titleLines(chart(form)->grab().toImage()), 0);
}

void TestChart::saveDoesNotDoubleExtension_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("written");
    QTest::newRow("no extension") << "curve" << "curve.bmp";
    QTest::newRow(".bmp") << "curve.bmp" << "curve.bmp";
    QTest::newRow(".BMP") << "CURVE.BMP" << "CURVE.BMP";
    QTest::newRow("other extension") << "curve.txt" << "curve.txt.bmp";
}

void TestChart::saveDoesNotDoubleExtension()
{
    QFETCH(QString, chosen);
    QFETCH(QString, written);
    QTemporaryDir dir;
    ChartWindow form;
    form.showChart();
    QTest::mouseClick(child<QPushButton>(form, "Button1"), Qt::LeftButton);
    chooseFile(form.saveDialog, dir.filePath(chosen));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{written});
    QVERIFY(!QImage(dir.filePath(written), "BMP").isNull());
}

void TestChart::saveCancelledOrFailing()
{
    QTemporaryDir dir;
    ChartWindow form;
    form.showChart();
    QSignalSpy errors(&form, &ChartWindow::errorRaised);
    child<QPlainTextEdit>(form, "Memo1")->setPlainText(QStringLiteral("подпись"));

    QTest::mouseClick(child<QPushButton>(form, "Button1"), Qt::LeftButton);
    cancelFile(form.saveDialog, dir.filePath(QStringLiteral("cancelled")));
    QVERIFY(!form.saveDialog->isVisible());
    QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());
    QCOMPARE(errors.count(), 0);

    // A name whose bitmap file cannot be created (a folder is in the way):
    // the error is reported and the caption still does not stay on screen.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("blocked.bmp")));
    QTest::mouseClick(child<QPushButton>(form, "Button1"), Qt::LeftButton);
    chooseFile(form.saveDialog, dir.filePath(QStringLiteral("blocked")));
    QCOMPARE(errors.count(), 1);
    QVERIFY(errors.last().at(0).toString().startsWith(QStringLiteral("Cannot create file")));
    QVERIFY(!hasTitleElement(form));
}

void TestChart::commandButtons_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("code");
    QTest::newRow("Сброс") << "Button4" << "Сброс" << 17;
    QTest::newRow("Калибровка ИК") << "Button5" << "Калибровка ИК" << 8;
    QTest::newRow("Калибровка УФ") << "Button6" << "Калибровка УФ" << 9;
    QTest::newRow("ИК +") << "Button7" << "+" << 18;
    QTest::newRow("ИК -") << "Button8" << "-" << 19;
    QTest::newRow("УФ +") << "Button9" << "+" << 20;
    QTest::newRow("УФ -") << "Button10" << "-" << 21;
    QTest::newRow("Вкл реж калибр") << "Button11" << "Вкл реж калибр" << 22;
    QTest::newRow("Выкл реж калибр") << "Button12" << "Выкл реж калибр" << 23;
    QTest::newRow("ВКЛ ТЕСТ") << "Button13" << "ВКЛ ТЕСТ" << 24;
}

void TestChart::commandButtons()
{
    QFETCH(QString, button);
    QFETCH(QString, caption);
    QFETCH(int, code);
    ChartWindow form;
    form.showChart();
    QSignalSpy stored(&form, &ChartWindow::commandRequested);
    auto *b = form.findChild<QPushButton *>(button);
    QVERIFY(b);
    QCOMPARE(b->text(), caption);
    QTest::mouseClick(b, Qt::LeftButton);
    QCOMPARE(stored.count(), 1);
    QCOMPARE(int(stored.at(0).at(0).value<uint8_t>()), code);
}

void TestChart::averagingSelectors_data()
{
    QTest::addColumn<QString>("combo");
    QTest::addColumn<bool>("ir");
    QTest::newRow("avik") << "avik" << true;
    QTest::newRow("avuf") << "avuf" << false;
}

void TestChart::averagingSelectors()
{
    QFETCH(QString, combo);
    QFETCH(bool, ir);
    ChartWindow form;
    form.showChart();
    auto *box = form.findChild<QComboBox *>(combo);
    QVERIFY(box);
    QCOMPARE(box->count(), 255);
    QCOMPARE(box->currentText(), QStringLiteral("8"));
    QSignalSpy mine(&form, ir ? &ChartWindow::irWindowChanged : &ChartWindow::uvWindowChanged);
    QSignalSpy other(&form, ir ? &ChartWindow::uvWindowChanged : &ChartWindow::irWindowChanged);

    box->setFocus();
    QTest::keyClick(box, Qt::Key_Down);
    QCOMPARE(mine.count(), 1);
    QCOMPARE(int(mine.takeFirst().at(0).value<uint8_t>()), 9);

    QTest::keyClick(box, Qt::Key_Home);
    for (int i = 0; i < 254; ++i)
        QTest::keyClick(box, Qt::Key_Down);
    QCOMPARE(mine.count(), 255);
    for (int n = 1; n <= 255; ++n)
        QCOMPARE(int(mine.at(n - 1).at(0).value<uint8_t>()), n);
    QCOMPARE(other.count(), 0);
}

void TestChart::seriesBoxesShowAndHide_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<int>("graph");
    for (const SeriesBox &s : seriesBoxes)
        QTest::newRow(s.box) << QString::fromLatin1(s.box) << s.graph;
}

void TestChart::seriesBoxesShowAndHide()
{
    QFETCH(QString, box);
    QFETCH(int, graph);
    ChartWindow form;
    form.showChart();
    for (int i = 0; i < 10; ++i)
        statusRead(form, 100 + i, 200 + i, 110, 210, 1500, 1200);
    QCustomPlot *plot = chart(form);
    QCPGraph *g = plot->graph(graph);
    auto *check = form.findChild<QCheckBox *>(box);
    QVERIFY(check);
    QVERIFY(check->isChecked());
    QVERIFY(plot->legend->hasItemWithPlottable(g));

    clickBox(check);
    QVERIFY(!check->isChecked());
    QVERIFY(!g->visible());
    QVERIFY(!plot->legend->hasItemWithPlottable(g));
    QCOMPARE(plot->legend->itemCount(), 5);
    for (int i = 0; i < 6; ++i)
        if (i != graph)
            QVERIFY(plot->graph(i)->visible() && plot->legend->hasItemWithPlottable(plot->graph(i)));
    QCOMPARE(g->dataCount(), 10); // hiding keeps the points

    clickBox(check);
    QVERIFY(check->isChecked());
    QVERIFY(g->visible());
    QCOMPARE(plot->legend->itemCount(), 6);
    for (int i = 0; i < 6; ++i) // back in its own place in the legend
        QCOMPARE(static_cast<QCPPlottableLegendItem *>(plot->legend->item(i))->plottable(), plot->graph(i));
}

QTEST_MAIN(TestChart)
#include "test_chart.moc"
