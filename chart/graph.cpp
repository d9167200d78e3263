#include "chart/graph.h"
#include "ui_graph.h"

#include "link/apperror.h"
#include "link/inttext.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QHideEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <qcustomplot.h>

namespace {

struct SeriesLook {
    const char *title;
    QColor colour;
    Qt::PenStyle style;
    int width;
    const char *box; // the "Опции" check box that shows and hides it
};

// Series1 .. Series6, in the order the legend lists them.
const SeriesLook seriesLooks[6] = {
    {"ИК", QColor(255, 0, 0), Qt::SolidLine, 1, "CheckBox1"},
    {"УФ", QColor(0, 0, 255), Qt::SolidLine, 1, "CheckBox4"},
    {"ИК_ср", QColor(255, 0, 0), Qt::DotLine, 2, "CheckBox2"},
    {"УФ_ср", QColor(0, 0, 255), Qt::DotLine, 2, "CheckBox5"},
    {"ИК_пор", QColor(255, 0, 0), Qt::DotLine, 1, "CheckBox3"},
    {"УФ_пор", QColor(0, 0, 255), Qt::DotLine, 1, "CheckBox6"},
};

enum SeriesIndex { Ir = 0, Uv = 1, IrAv = 2, UvAv = 3, IrThr = 4, UvThr = 5 };

struct CommandButton {
    const char *name;
    uint8_t code;
};

const CommandButton commandButtons[] = {
    {"Button4", 17},  // "Сброс": fire reset
    {"Button5", 8},   // "Калибровка ИК"
    {"Button6", 9},   // "Калибровка УФ"
    {"Button7", 18},  // IR "+"
    {"Button8", 19},  // IR "-"
    {"Button9", 20},  // UV "+"
    {"Button10", 21}, // UV "-"
    {"Button11", 22}, // calibration mode on
    {"Button12", 23}, // calibration mode off
    {"Button13", 24}, // test on
};

constexpr int SelectorItems = 255;
constexpr int SelectorStartIndex = 7; // item "8"

// The chosen name plus ".bmp", unless the user already typed the extension.
QString bitmapFileName(const QString &chosen)
{
    if (chosen.endsWith(QLatin1String(".bmp"), Qt::CaseInsensitive))
        return chosen;
    return chosen + QLatin1String(".bmp");
}

} // namespace

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

void TForm1::ValueExtent::add(double v)
{
    lo = std::min(lo, v);
    hi = std::max(hi, v);
}

TForm1::TForm1(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), ui(std::make_unique<Ui::TForm1>())
{
    ui->setupUi(this);
    // "auto" is a C++ keyword, so the form file cannot use it as a member name.
    ui->autoBox->setObjectName(QStringLiteral("auto"));
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    setModal(false);
    ui->Shape1->setFixedSize(9, 9);
    ui->Shape1->setColor(Qt::white);

    SD = new QFileDialog(this);
    SD->setObjectName(QStringLiteral("SD"));
    SD->setAcceptMode(QFileDialog::AcceptSave);
    SD->setNameFilter(QStringLiteral("bmp (*.bmp)"));
    // Qt's own dialog on every platform, so it behaves the same everywhere; an
    // existing bitmap is overwritten without a question.
    SD->setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::DontConfirmOverwrite);

    // A dialog makes a push button its default, and Enter in any field would
    // then click it: "Калибровка УФ" writes to the detector. No button here
    // may be pressed by a key the user meant for a field.
    for (QPushButton *button : findChildren<QPushButton *>()) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    XWindow = StrToInt(ui->Edit3->text());
    setUpChart();
    setUpSelectors();
    connectHandlers();
}

TForm1::~TForm1() = default;

void TForm1::setUpChart()
{
    plot = ui->Chart1;
    for (int i = 0; i < 6; ++i) {
        const SeriesLook &look = seriesLooks[i];
        QCPGraph *g = plot->addGraph();
        g->setName(QString::fromUtf8(look.title));
        g->setPen(QPen(look.colour, look.width, look.style));
        g->setLineStyle(QCPGraph::lsLine);
        g->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssNone));
        // Keeps a redraw proportional to the visible span, not to the points held.
        g->setAdaptiveSampling(true);
        Series[i] = g;
    }
    // Antialiased curves cost about three times as much per redraw as the rest of the chart.
    plot->setNotAntialiasedElements(QCP::aePlottables);
    plot->legend->setVisible(true);
    plot->xAxis->setRange(0, XWindow);
    plot->yAxis->setRange(0, StrToInt(ui->Edit1->text()));
    connect(plot, &QCustomPlot::beforeReplot, this, [this] {
        if (yAuto)
            fitYToData();
    });
}

void TForm1::setUpSelectors()
{
    QStringList items;
    items.reserve(SelectorItems);
    for (int n = 1; n <= SelectorItems; ++n)
        items << QString::number(n);
    for (QComboBox *box : {ui->avik, ui->avuf}) {
        box->addItems(items);
        box->setCurrentIndex(SelectorStartIndex);
    }
}

void TForm1::connectHandlers()
{
    for (const CommandButton &b : commandButtons) {
        auto *button = findChild<QPushButton *>(QLatin1String(b.name));
        const uint8_t code = b.code;
        connect(button, &QPushButton::clicked, this, [this, code] { emit commandStored(code); });
    }
    for (int i = 0; i < 6; ++i) {
        auto *box = findChild<QCheckBox *>(QLatin1String(seriesLooks[i].box));
        connect(box, &QCheckBox::toggled, this, [this, i](bool on) { seriesBoxToggled(i, on); });
    }
    connect(ui->Edit1, &QLineEdit::textChanged, this, &TForm1::Edit1Change);
    connect(ui->Edit2, &QLineEdit::textChanged, this, &TForm1::Edit2Change);
    ui->autoBox->installEventFilter(this);
    connect(ui->Edit3, &QLineEdit::textChanged, this, &TForm1::Edit3Change);
    connect(ui->Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    connect(ui->Edit3, &QLineEdit::returnPressed, this, &TForm1::Button2Click);
    connect(ui->Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(SD, &QFileDialog::fileSelected, this, &TForm1::SDFileSelected);
    connect(ui->Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
    connect(ui->avik, &QComboBox::currentIndexChanged, this, &TForm1::avikChange);
    connect(ui->avuf, &QComboBox::currentIndexChanged, this, &TForm1::avufChange);
}

template <class Step> void TForm1::guarded(Step &&step)
{
    try {
        step();
    } catch (const AppError &e) {
        emit errorRaised(e.message());
    }
}

void TForm1::showChart()
{
    show();
    raise();
    activateWindow();
    ChartShown = true;
}

void TForm1::closeEvent(QCloseEvent *event)
{
    ChartShown = false;
    QDialog::closeEvent(event);
}

void TForm1::hideEvent(QHideEvent *event)
{
    // Minimising is a spontaneous hide and keeps the curves running.
    if (!event->spontaneous())
        ChartShown = false;
    QDialog::hideEvent(event);
}

void TForm1::keyPressEvent(QKeyEvent *event)
{
    // Esc would reject the dialog and hide it; only the close button closes the chart.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool TForm1::eventFilter(QObject *watched, QEvent *event)
{
    // The box toggles on release, so at the press it still shows the old state.
    if (watched == ui->autoBox
        && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)
        && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
        autoMouseDown(ui->autoBox->isChecked());
    return QDialog::eventFilter(watched, event);
}

// ---- point arrival ----------------------------------------------------------

void TForm1::addIr(int Uik, int IrAverage, int IrThreshold)
{
    guarded([&] {
        if (ChartShown) {
            append(Ir, Uik);
            scrollXWindow();
        }
        ui->Edit4->setText(QString::number(Uik));
        if (ChartShown) {
            append(IrAv, IrAverage);
            append(IrThr, IrThreshold);
            redraw();
        }
    });
}

void TForm1::addUv(int Uuf, int UvAverage, int UvThreshold)
{
    if (ChartShown)
        append(Uv, Uuf);
    ui->Edit5->setText(QString::number(Uuf));
    if (ChartShown) {
        append(UvAv, UvAverage);
        append(UvThr, UvThreshold);
        redraw();
    }
}

void TForm1::setG36(int value)
{
    ui->Edit6->setText(QString::number(value));
}

void TForm1::setG42(int value)
{
    ui->Edit7->setText(QString::number(value));
}

void TForm1::setFire(bool fire)
{
    ui->Shape1->setColor(fire ? LampColor::Red : LampColor::White);
}

void TForm1::append(int series, double value)
{
    QCPGraph *g = Series[series];
    // Keys only grow, so this is an append at the end of the sorted container.
    g->addData(double(g->dataCount()), value);
    extents[series].add(value);
}

void TForm1::scrollXWindow()
{
    const int count = Series[Ir]->dataCount();
    if (count <= XWindow)
        return;
    const double min = double(count) - XWindow;
    chartaxis::setMinimum(*plot->xAxis, min);
    chartaxis::setMaximum(*plot->xAxis, min + XWindow);
}

void TForm1::redraw()
{
    // Many points may arrive before the next paint; one replot serves them all.
    plot->replot(QCustomPlot::rpQueuedReplot);
}

// ---- Y scale ------------------------------------------------------------------

void TForm1::manualY()
{
    if (ui->autoBox->isChecked())
        ui->autoBox->setChecked(false);
    yAuto = false;
}

void TForm1::Edit1Change()
{
    guarded([&] {
        manualY();
        const QString text = ui->Edit1->text();
        if (text.isEmpty())
            return;
        const int v = StrToInt(text);
        if (v > plot->yAxis->range().lower)
            chartaxis::setMaximum(*plot->yAxis, v);
        redraw();
    });
}

void TForm1::Edit2Change()
{
    guarded([&] {
        manualY();
        const QString text = ui->Edit2->text();
        if (text.isEmpty())
            return;
        const int v = StrToInt(text);
        if (v < plot->yAxis->range().upper)
            chartaxis::setMinimum(*plot->yAxis, v);
        redraw();
    });
}

void TForm1::autoMouseDown(bool wasChecked)
{
    guarded([&] {
        if (!wasChecked) {
            yAuto = true;
            redraw();
            return;
        }
        yAuto = false;
        const int lo = StrToInt(ui->Edit2->text());
        const int hi = StrToInt(ui->Edit1->text());
        if (lo < hi) {
            chartaxis::setMaximum(*plot->yAxis, hi);
            chartaxis::setMinimum(*plot->yAxis, lo);
        }
        redraw();
    });
}

void TForm1::fitYToData()
{
    ValueExtent all;
    for (int i = 0; i < 6; ++i) {
        if (Series[i]->visible() && !extents[i].empty()) {
            all.add(extents[i].lo);
            all.add(extents[i].hi);
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

void TForm1::applyXWindow(const QString &text)
{
    const int v = StrToInt(text);
    // A span below one sample would make every later point ask for an inverted axis.
    if (v < 1)
        throw AppError(QStringLiteral("X scale must be at least 1 sample, not %1").arg(v));
    XWindow = v;
    const double count = Series[Ir]->dataCount();
    chartaxis::setMinimum(*plot->xAxis, count);
    chartaxis::setMaximum(*plot->xAxis, count + XWindow);
    redraw();
}

void TForm1::Edit3Change()
{
    guarded([&] {
        if (!ui->Edit3->text().isEmpty())
            applyXWindow(ui->Edit3->text());
    });
}

void TForm1::Button2Click()
{
    guarded([&] { applyXWindow(ui->Edit3->text()); });
}

// ---- clear, save ----------------------------------------------------------------

void TForm1::Button3Click()
{
    for (int i = 0; i < 6; ++i) {
        Series[i]->data()->clear();
        extents[i] = ValueExtent{};
    }
    redraw();
}

void TForm1::Button1Click()
{
    // Window-modal and non-blocking: the polling goes on while the user picks a name.
    SD->open();
}

void TForm1::SDFileSelected(const QString &file)
{
    guarded([&] { saveBitmap(bitmapFileName(file)); });
}

void TForm1::saveBitmap(const QString &file)
{
    if (yAuto)
        fitYToData();
    QCPTextElement *title = nullptr;
    const QString caption = ui->Memo1->toPlainText();
    if (!caption.isEmpty()) {
        title = new QCPTextElement(plot, caption, QFont(font().family(), 11, QFont::Bold));
        plot->plotLayout()->insertRow(0);
        plot->plotLayout()->addElement(0, 0, title);
    }
    const bool written = plot->saveBmp(file, plot->width(), plot->height());
    // The caption belongs to the saved image only, whether or not it was written.
    if (title) {
        plot->plotLayout()->remove(title);
        plot->plotLayout()->simplify();
    }
    redraw();
    if (!written)
        throw AppError(QStringLiteral("Cannot create file \"%1\"").arg(QDir::toNativeSeparators(file)));
}

// ---- options ------------------------------------------------------------------

void TForm1::seriesBoxToggled(int series, bool checked)
{
    Series[series]->setVisible(checked);
    rebuildLegend();
    redraw();
}

void TForm1::rebuildLegend()
{
    // Re-adding in series order keeps the legend order fixed whatever is toggled.
    plot->legend->clearItems();
    for (QCPGraph *g : Series)
        if (g->visible())
            g->addToLegend();
}

void TForm1::avikChange(int index)
{
    guarded([&] { emit irWindowChanged(uint8_t(StrToInt(ui->avik->itemText(index)))); });
}

void TForm1::avufChange(int index)
{
    guarded([&] { emit uvWindowChanged(uint8_t(StrToInt(ui->avuf->itemText(index)))); });
}
