#include "chart/chartwindow.h"
#include "chart/chartgraph.h"
#include "ui_graph.h"

#include "widgets/apperror.h"
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

struct CommandButton {
    const char *name;
    Command command;
};

const CommandButton commandButtons[] = {
    {"Button4", Command::ResetFire},            // "Сброс"
    {"Button5", Command::CalibrateIr},          // "Калибровка ИК"
    {"Button6", Command::CalibrateUv},          // "Калибровка УФ"
    {"Button7", Command::IrStepUp},             // IR "+"
    {"Button8", Command::IrStepDown},           // IR "-"
    {"Button9", Command::UvStepUp},             // UV "+"
    {"Button10", Command::UvStepDown},          // UV "-"
    {"Button11", Command::CalibrationModeOn},   // "Вкл реж калибр"
    {"Button12", Command::CalibrationModeOff},  // "Выкл реж калибр"
    {"Button13", Command::TestOn},              // "ВКЛ ТЕСТ"
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

ChartWindow::ChartWindow(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), ui(std::make_unique<Ui::ChartWindow>())
{
    ui->setupUi(this);
    // "auto" is a C++ keyword, so the form file cannot use it as a member name.
    ui->autoBox->setObjectName(QStringLiteral("auto"));
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    setModal(false);
    ui->Shape1->setFixedSize(9, 9);
    ui->Shape1->setColor(Qt::white);

    saveDialog = new QFileDialog(this);
    saveDialog->setObjectName(QStringLiteral("saveDialog"));
    saveDialog->setAcceptMode(QFileDialog::AcceptSave);
    saveDialog->setNameFilter(QStringLiteral("bmp (*.bmp)"));
    // Qt's own dialog on every platform, so it behaves the same everywhere; an
    // existing bitmap is overwritten without a question.
    saveDialog->setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::DontConfirmOverwrite);

    // A dialog makes a push button its default, and Enter in any field would
    // then click it: "Калибровка УФ" writes to the detector. No button here
    // may be pressed by a key the user meant for a field.
    for (QPushButton *button : findChildren<QPushButton *>()) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    xWindow = typedInteger(ui->Edit3->text());
    setUpChart();
    setUpSelectors();
    connectHandlers();
}

ChartWindow::~ChartWindow() = default;

void ChartWindow::setUpChart()
{
    plot = ui->Chart1;
    for (int i = 0; i < 6; ++i) {
        const SeriesLook &look = seriesLooks[i];
        QCPGraph *g = new ChartGraph(plot->xAxis, plot->yAxis);
        g->setName(QString::fromUtf8(look.title));
        g->setPen(QPen(look.colour, look.width, look.style));
        g->setLineStyle(QCPGraph::lsLine);
        g->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssNone));
        // Keeps a redraw proportional to the visible span, not to the points held.
        g->setAdaptiveSampling(true);
        curves[i] = g;
        points[i] = CappedSeries(g);
    }
    // Antialiased curves cost about three times as much per redraw as the rest of the chart.
    plot->setNotAntialiasedElements(QCP::aePlottables);
    // Nothing is drawn on the top layer (no selection rectangle here); as a
    // buffer of its own, it was cleared and blended over the chart at every frame.
    plot->layer(QStringLiteral("overlay"))->setMode(QCPLayer::lmLogical);
    plot->legend->setVisible(true);
    rebuildLegend();
    plot->xAxis->setRange(0, xWindow);
    plot->yAxis->setRange(0, typedInteger(ui->Edit1->text()));
    connect(plot, &QCustomPlot::beforeReplot, this, [this] {
        if (yAuto)
            fitYToData();
    });
}

void ChartWindow::setUpSelectors()
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

void ChartWindow::connectHandlers()
{
    for (const CommandButton &b : commandButtons) {
        auto *button = findChild<QPushButton *>(QLatin1String(b.name));
        const Command command = b.command;
        connect(button, &QPushButton::clicked, this,
                [this, command] { emit commandRequested(command, chosenDevice()); });
    }
    for (int i = 0; i < 6; ++i) {
        auto *box = findChild<QCheckBox *>(QLatin1String(seriesLooks[i].box));
        connect(box, &QCheckBox::toggled, this, [this, i](bool on) { seriesBoxToggled(i, on); });
    }
    connect(ui->Edit1, &QLineEdit::textChanged, this, &ChartWindow::onYMaxEdited);
    connect(ui->Edit2, &QLineEdit::textChanged, this, &ChartWindow::onYMinEdited);
    ui->autoBox->installEventFilter(this);
    connect(ui->Edit3, &QLineEdit::textChanged, this, &ChartWindow::onXSpanEdited);
    connect(ui->Button2, &QPushButton::clicked, this, &ChartWindow::applyXSpan);
    connect(ui->Edit3, &QLineEdit::returnPressed, this, &ChartWindow::applyXSpan);
    connect(ui->Button1, &QPushButton::clicked, this, &ChartWindow::onSaveClicked);
    connect(saveDialog, &QFileDialog::fileSelected, this, &ChartWindow::onSaveFileChosen);
    connect(ui->Button3, &QPushButton::clicked, this, &ChartWindow::clearCurves);
    connect(ui->avik, &QComboBox::currentIndexChanged, this, &ChartWindow::onIrAveragingChanged);
    connect(ui->avuf, &QComboBox::currentIndexChanged, this, &ChartWindow::onUvAveragingChanged);
    connect(ui->cbDevice, &QComboBox::activated, this, &ChartWindow::onDevicePicked);
}


void ChartWindow::showChart()
{
    show();
    raise();
    activateWindow();
    chartShown = true;
}

void ChartWindow::closeEvent(QCloseEvent *event)
{
    chartShown = false;
    QDialog::closeEvent(event);
}

void ChartWindow::hideEvent(QHideEvent *event)
{
    // Minimising is a spontaneous hide and keeps the curves running.
    if (!event->spontaneous())
        chartShown = false;
    QDialog::hideEvent(event);
}

void ChartWindow::keyPressEvent(QKeyEvent *event)
{
    // Esc would reject the dialog and hide it; only the close button closes the chart.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool ChartWindow::eventFilter(QObject *watched, QEvent *event)
{
    // The box toggles on release, so at the press it still shows the old state.
    if (watched == ui->autoBox
        && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)
        && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
        onAutoPressed(ui->autoBox->isChecked());
    return QDialog::eventFilter(watched, event);
}

// ---- point arrival ----------------------------------------------------------

void ChartWindow::showSample(const StatusSample &sample)
{
    if (sample.address != chosenDevice())
        return;
    // Curves never join two detectors: another one's points start afresh.
    if (chartShown && curvesDevice && *curvesDevice != sample.address)
        startCurvesAfresh();
    if (chartShown)
        curvesDevice = sample.address;
    fieldsDevice = sample.address;
    const DeviceStatus &d = sample.status;
    addIr(d.irSignal, sample.irAverage, sample.previousIrThreshold);
    addUv(d.uvSignal, sample.uvAverage, sample.previousUvThreshold);
    setG36(d.g36);
    setG42(d.g42);
    setFire(d.fire());
}

void ChartWindow::addIr(int irSignal, int irAverage, int irThreshold)
{
    guarded([&] {
        if (chartShown) {
            append(Ir, irSignal);
            scrollXWindow();
        }
        ui->Edit4->setText(QString::number(irSignal));
        if (chartShown) {
            append(IrAv, irAverage);
            append(IrThr, irThreshold);
            redraw();
        }
    });
}

void ChartWindow::addUv(int uvSignal, int uvAverage, int uvThreshold)
{
    if (chartShown)
        append(Uv, uvSignal);
    ui->Edit5->setText(QString::number(uvSignal));
    if (chartShown) {
        append(UvAv, uvAverage);
        append(UvThr, uvThreshold);
        redraw();
    }
}

void ChartWindow::setG36(int value)
{
    ui->Edit6->setText(QString::number(value));
}

void ChartWindow::setG42(int value)
{
    ui->Edit7->setText(QString::number(value));
}

void ChartWindow::setFire(bool fire)
{
    ui->Shape1->setColor(fire ? LampColor::Red : LampColor::White);
}

void ChartWindow::append(int curve, double value)
{
    points[curve].append(value);
}

void ChartWindow::scrollXWindow()
{
    const int64_t count = points[Ir].count();
    if (count <= xWindow)
        return;
    const double min = double(count) - xWindow;
    chartaxis::setMinimum(*plot->xAxis, min);
    chartaxis::setMaximum(*plot->xAxis, min + xWindow);
}

void ChartWindow::redraw()
{
    pacer.request();
}

void ChartWindow::drawNow()
{
    if (yAuto)
        fitYToData();
    plot->update();
}

// ---- clear, save ----------------------------------------------------------------

void ChartWindow::clearCurves()
{
    for (CappedSeries &s : points)
        s.clear();
    curvesDevice.reset();
    redraw();
}

void ChartWindow::onSaveClicked()
{
    // Window-modal and non-blocking: the polling goes on while the user picks a name.
    saveDialog->open();
}

void ChartWindow::onSaveFileChosen(const QString &file)
{
    guarded([&] { saveBitmap(bitmapFileName(file)); });
}

void ChartWindow::saveBitmap(const QString &file)
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

void ChartWindow::seriesBoxToggled(int series, bool checked)
{
    curves[series]->setVisible(checked);
    rebuildLegend();
    redraw();
}

void ChartWindow::rebuildLegend()
{
    // Re-adding in series order keeps the legend order fixed whatever is toggled.
    plot->legend->clearItems();
    for (QCPGraph *g : curves)
        if (g->visible())
            plot->legend->addItem(new LegendEntry(plot->legend, g));
}

void ChartWindow::onIrAveragingChanged(int index)
{
    guarded([&] { emit irWindowChanged(uint8_t(typedInteger(ui->avik->itemText(index)))); });
}

void ChartWindow::onUvAveragingChanged(int index)
{
    guarded([&] { emit uvWindowChanged(uint8_t(typedInteger(ui->avuf->itemText(index)))); });
}
