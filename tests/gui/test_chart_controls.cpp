// The chart window's controls: its start values, saving the chart as a
// bitmap titled with the memo, the command buttons, the averaging selectors
// and the series check boxes.
#include "widgets/lamp.h"
#include "support/chartprobe.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <qcustomplot.h>

namespace {

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

class TestChartControls : public QObject {
    Q_OBJECT

private slots:
    void startsWithLayoutValues();
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

void TestChartControls::startsWithLayoutValues()
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

void TestChartControls::saveWritesBitmapWithMemoTitle()
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

void TestChartControls::saveDoesNotDoubleExtension_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("written");
    QTest::newRow("no extension") << "curve" << "curve.bmp";
    QTest::newRow(".bmp") << "curve.bmp" << "curve.bmp";
    QTest::newRow(".BMP") << "CURVE.BMP" << "CURVE.BMP";
    QTest::newRow("other extension") << "curve.txt" << "curve.txt.bmp";
}

void TestChartControls::saveDoesNotDoubleExtension()
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

void TestChartControls::saveCancelledOrFailing()
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

void TestChartControls::commandButtons_data()
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

void TestChartControls::commandButtons()
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

void TestChartControls::averagingSelectors_data()
{
    QTest::addColumn<QString>("combo");
    QTest::addColumn<bool>("ir");
    QTest::newRow("avik") << "avik" << true;
    QTest::newRow("avuf") << "avuf" << false;
}

void TestChartControls::averagingSelectors()
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

void TestChartControls::seriesBoxesShowAndHide_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<int>("graph");
    for (const SeriesBox &s : seriesBoxes)
        QTest::newRow(s.box) << QString::fromLatin1(s.box) << s.graph;
}

void TestChartControls::seriesBoxesShowAndHide()
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

QTEST_MAIN(TestChartControls)
#include "test_chart_controls.moc"
