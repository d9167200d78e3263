#include "dialogs/commstatswindow.h"
#include "session/session.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

CommStatsWindow::CommStatsWindow(Session &lineSession, QWidget *parent)
    : QDialog(parent), session(lineSession)
{
    setObjectName(QStringLiteral("CommStats"));
    setWindowTitle(QStringLiteral("Статистика связи"));
    setModal(false);

    const QStringList titles = CommStats::columnTitles();
    table = new QTableWidget(0, int(titles.size()), this);
    table->setObjectName(QStringLiteral("tblStats"));
    table->setHorizontalHeaderLabels(titles);
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionMode(QAbstractItemView::NoSelection);
    table->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->horizontalHeader()->setHighlightSections(false);

    resetButton = new QPushButton(QStringLiteral("Сбросить"), this);
    resetButton->setObjectName(QStringLiteral("btnReset"));
    resetButton->setAutoDefault(false);
    connect(resetButton, &QPushButton::clicked, &session, &Session::resetLinkCounts);

    portLosses = new QLabel(this);
    portLosses->setObjectName(QStringLiteral("lblPortLosses"));
    // Room for a long count, so the fixed window never cuts the caption.
    portLosses->setMinimumWidth(portLosses->fontMetrics().horizontalAdvance(QStringLiteral("Потери порта: 0000000")));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(portLosses);
    buttons->addStretch();
    buttons->addWidget(resetButton);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(table);
    layout->addLayout(buttons);

    // Rows follow the counts and the device list; both change while polling.
    connect(&session, &Session::linkCountsChanged, this, &CommStatsWindow::refresh);
    // A listed address is counted only once its log is open, after the signal.
    connect(&session, &Session::deviceListed, this, &CommStatsWindow::refresh, Qt::QueuedConnection);
    connect(&session, &Session::devicesCleared, this, &CommStatsWindow::refresh);
    fitToTable();
}

void CommStatsWindow::open()
{
    show();
    raise();
    activateWindow();
}

void CommStatsWindow::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    refresh();
}

void CommStatsWindow::refresh()
{
    if (!isVisible())
        return; // filled when shown
    portLosses->setText(QStringLiteral("Потери порта: %1").arg(session.linkCounts().portLosses()));
    const QList<uint8_t> listed = session.listed();
    table->setRowCount(int(listed.size()));
    for (int slot = 0; slot < int(listed.size()); ++slot) {
        const QStringList cells = session.linkCounts().row(listed[slot]);
        for (int col = 0; col < int(cells.size()); ++col) {
            QTableWidgetItem *item = table->item(slot, col);
            if (!item) {
                item = new QTableWidgetItem;
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
                table->setItem(slot, col, item);
            }
            item->setText(cells[col]);
        }
    }
}

// Columns as wide as their title or a seven-digit count, whichever is
// wider, and room for every row the device list can hold: the window keeps
// its size while counts grow, and no cell is cut.
void CommStatsWindow::fitToTable()
{
    const QFontMetrics fm(table->horizontalHeader()->font());
    const int cellPadding = 16;
    int width = 2 * table->frameWidth();
    for (int col = 0; col < table->columnCount(); ++col) {
        const QString title = table->horizontalHeaderItem(col)->text();
        const int w = std::max(fm.horizontalAdvance(title), fm.horizontalAdvance(QStringLiteral("0000000"))) + cellPadding;
        table->setColumnWidth(col, w);
        width += w;
    }
    const int height = 2 * table->frameWidth() + table->horizontalHeader()->sizeHint().height()
                       + session.deviceCapacity() * table->verticalHeader()->defaultSectionSize();
    table->setFixedSize(width, height);
    adjustSize();
    setFixedSize(size());
}
