#include "monitor/monitorwindow.h"
#include "link/framecsv.h"
#include "monitor/appendview.h"
#include "monitor/monitordelegate.h"
#include "session/session.h"
#include "widgets/errorreport.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSpinBox>
#include <QTableView>
#include <QVBoxLayout>

MonitorWindow::MonitorWindow(Session &lineSession, ErrorReport &errorReport, QWidget *parent)
    : QWidget(parent, Qt::Window), session(lineSession), errors(errorReport)
{
    setObjectName(QStringLiteral("MonitorForm"));
    setWindowTitle(QStringLiteral("Монитор обмена"));
    buildControls();
    resize(1140, 520);
}

MonitorWindow::~MonitorWindow()
{
    if (watching)
        session.unwatchFrames();
}

namespace {
template <typename W> W *named(W *w, const char *name)
{
    w->setObjectName(QLatin1String(name));
    return w;
}
} // namespace

void MonitorWindow::buildControls()
{
    address = named(new QSpinBox(this), "spnAddress");
    address->setRange(-1, 255);
    address->setSpecialValueText(QStringLiteral("все"));
    address->setValue(-1);
    address->setMinimumWidth(address->fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 30);
    verdict = named(new QComboBox(this), "cbVerdict");
    verdict->addItem(QStringLiteral("все"), MonitorModel::AllVerdicts);
    verdict->addItem(QStringLiteral("запросы"), int(FrameVerdict::None));
    for (int v = int(FrameVerdict::Status); v <= int(FrameVerdict::Noise); ++v)
        verdict->addItem(verdictName(FrameVerdict(v)), v);
    decimal = named(new QCheckBox(QStringLiteral("Десятичные байты"), this), "chkDecimal");
    pause = named(new QCheckBox(QStringLiteral("Пауза"), this), "chkPause");
    auto *clearButton = named(new QPushButton(QStringLiteral("Очистить"), this), "btnClear");
    auto *copyButton = named(new QPushButton(QStringLiteral("Копировать"), this), "btnCopy");
    auto *saveButton = named(new QPushButton(QStringLiteral("Сохранить"), this), "btnSave");
    count = named(new QLabel(this), "lblCount");
    // Its text changes with every frame drawn; a fixed width keeps the bar from being laid out anew.
    count->setFixedWidth(count->fontMetrics().horizontalAdvance(QStringLiteral("Кадров: 000000")) + 8);
    count->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    auto *bar = new QHBoxLayout;
    bar->addWidget(new QLabel(QStringLiteral("Адрес:"), this));
    bar->addWidget(address);
    bar->addSpacing(8);
    bar->addWidget(new QLabel(QStringLiteral("Итог:"), this));
    bar->addWidget(verdict);
    bar->addSpacing(8);
    bar->addWidget(decimal);
    bar->addWidget(pause);
    bar->addStretch();
    bar->addWidget(count);
    bar->addWidget(clearButton);
    bar->addWidget(copyButton);
    bar->addWidget(saveButton);

    table = named(new AppendView(this), "tblFrames");
    table->setModel(&frames);
    cells = new MonitorDelegate(frames, table);
    table->setItemDelegate(cells);
    table->verticalHeader()->hide();
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 4);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setWordWrap(false);
    table->setTextElideMode(Qt::ElideRight);
    table->horizontalHeader()->setStretchLastSection(true);
    fitColumns();

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(table);

    connect(address, &QSpinBox::valueChanged, this, &MonitorWindow::applyFilter);
    connect(verdict, &QComboBox::currentIndexChanged, this, &MonitorWindow::applyFilter);
    connect(decimal, &QCheckBox::toggled, this, [this](bool on) {
        frames.setHex(!on);
        fitBytes();
        cells->forget();
    });
    connect(table->horizontalHeader(), &QHeaderView::sectionResized, this, [this](int section) {
        if (section == int(FrameColumn::Bytes)) {
            fitBytes();
            cells->forget();
        }
    });
    connect(pause, &QCheckBox::toggled, this, [this](bool on) {
        if (!on)
            pacer.request();
    });
    connect(clearButton, &QPushButton::clicked, this, [this] {
        frames.clear();
        redraw();
    });
    connect(copyButton, &QPushButton::clicked, this, &MonitorWindow::copySelected);
    connect(new QShortcut(QKeySequence::Copy, table), &QShortcut::activated, this, &MonitorWindow::copySelected);
    connect(saveButton, &QPushButton::clicked, this, &MonitorWindow::askSaveFile);
    fitBytes();
    redraw();
}

// Wide enough for each caption and a typical cell; the bytes take the rest.
void MonitorWindow::fitColumns()
{
    const QFontMetrics fm = table->horizontalHeader()->fontMetrics();
    const QStringList samples{QStringLiteral("00:00:00.000"), QStringLiteral("0000,0"), QStringLiteral("000,0"),
                              QStringLiteral("→"), QStringLiteral("000"), QStringLiteral("000"),
                              QStringLiteral("00"), QString(), QStringLiteral("обрыв: 20 из 53"),
                              QStringLiteral("000,0"), QStringLiteral("000,0")};
    const QStringList titles = frameColumnTitles(true);
    for (int c = 0; c < int(FrameColumn::Count); ++c) {
        const int w = std::max(fm.horizontalAdvance(titles[c]), fm.horizontalAdvance(samples[c])) + 18;
        table->setColumnWidth(c, c == int(FrameColumn::Bytes) ? 280 : w);
    }
}

void MonitorWindow::fitBytes()
{
    const QFontMetrics fm = table->fontMetrics();
    const int each = fm.horizontalAdvance(frames.hex() ? QStringLiteral("00 ") : QStringLiteral("000 "));
    frames.setBytesShown((table->columnWidth(int(FrameColumn::Bytes)) - fm.horizontalAdvance(QStringLiteral(" …")) - 8) / each);
}

void MonitorWindow::open()
{
    show();
    raise();
    activateWindow();
}

void MonitorWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (watching)
        return;
    watching = true;
    connect(&session, &Session::frame, this, &MonitorWindow::onFrame);
    session.watchFrames();
}

// Closed, the window costs the line nothing: no record is made for it.
void MonitorWindow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (!watching || isVisible())
        return;
    watching = false;
    disconnect(&session, &Session::frame, this, &MonitorWindow::onFrame);
    session.unwatchFrames();
}

void MonitorWindow::onFrame(const FrameRecord &record)
{
    frames.add(record);
    if (!pause->isChecked())
        pacer.request();
}

void MonitorWindow::redraw()
{
    if (!pause->isChecked()) {
        QScrollBar *bar = table->verticalScrollBar();
        const bool follow = bar->value() >= bar->maximum();
        frames.takeWaiting();
        if (follow)
            table->scrollToBottom();
    }
    count->setText(QStringLiteral("Кадров: %1").arg(frames.keptCount()));
}

void MonitorWindow::applyFilter()
{
    frames.setFilter(address->value(), verdict->currentData().toInt());
    table->scrollToBottom();
}

void MonitorWindow::copySelected()
{
    QList<int> rows;
    for (const QModelIndex &i : table->selectionModel()->selectedRows())
        rows << i.row();
    std::sort(rows.begin(), rows.end());
    if (!rows.isEmpty())
        QApplication::clipboard()->setText(frames.rowsText(rows));
}

// Not exec(): polling goes on while the file is chosen.
void MonitorWindow::askSaveFile()
{
    auto *dialog = new QFileDialog(this, QStringLiteral("Сохранить"), QString(), QStringLiteral("CSV (*.csv)"));
    dialog->setObjectName(QStringLiteral("monitorSaveDialog"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setDefaultSuffix(QStringLiteral("csv"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString &path) { saveTo(path); });
    dialog->open();
}

bool MonitorWindow::saveTo(const QString &path)
{
    QString error;
    if (frames.saveCsv(path, &error))
        return true;
    errors.report(QStringLiteral("Не удалось сохранить %1: %2").arg(path, error));
    return false;
}
