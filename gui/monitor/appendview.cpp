#include "monitor/appendview.h"

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>

void AppendView::setModel(QAbstractItemModel *m)
{
    for (const QMetaObject::Connection &c : watched)
        disconnect(c);
    watched.clear();
    QTableView::setModel(m);
    wholeLayout = true;
    if (!m)
        return;
    // The "about to" signals: they come before the view's own handlers can
    // ask for the layout.
    watched.push_back(connect(m, &QAbstractItemModel::rowsAboutToBeInserted, this, &AppendView::rowsComing));
    const auto whole = [this] { wholeLayout = true; };
    for (const auto signal : {&QAbstractItemModel::rowsAboutToBeRemoved, &QAbstractItemModel::columnsAboutToBeInserted,
                              &QAbstractItemModel::columnsAboutToBeRemoved})
        watched.push_back(connect(m, signal, this, whole));
    watched.push_back(connect(m, &QAbstractItemModel::rowsAboutToBeMoved, this, whole));
    watched.push_back(connect(m, &QAbstractItemModel::columnsAboutToBeMoved, this, whole));
    watched.push_back(connect(m, &QAbstractItemModel::modelAboutToBeReset, this, whole));
    watched.push_back(connect(m, &QAbstractItemModel::layoutAboutToBeChanged, this, whole));
}

void AppendView::rowsComing(const QModelIndex &parent, int first)
{
    if (parent.isValid() || first != model()->rowCount())
        wholeLayout = true;
    else if (appendedFrom < 0)
        appendedFrom = first;
}

void AppendView::doItemsLayout()
{
    const int from = appendedFrom;
    const bool whole = wholeLayout || from < 0;
    appendedFrom = -1;
    wholeLayout = false;
    if (whole) {
        unpaintedFrom = -1;
        QTableView::doItemsLayout();
        return;
    }
    // The scroll range first, so that a scroll it causes is drawn as usual.
    // Had the rows shown moved without a scroll (scrolled by whole rows, the
    // bottom row is aligned to the bottom only while it is the last), only a
    // whole repaint shows them right.
    const int offset = verticalOffset();
    updateGeometries();
    if (verticalOffset() != offset) {
        unpaintedFrom = -1;
        QTableView::doItemsLayout();
        return;
    }
    // QTableView's layout ends in a repaint of the whole viewport: held off
    // by the attribute alone (setUpdatesEnabled(true) would repaint it all).
    viewport()->setAttribute(Qt::WA_UpdatesDisabled, true);
    QTableView::doItemsLayout();
    viewport()->setAttribute(Qt::WA_UpdatesDisabled, false);
    if (unpaintedFrom < 0 || from < unpaintedFrom)
        unpaintedFrom = from;
    repaintFrom(unpaintedFrom);
}

// From the top of `row` to the bottom: below the last row painted the screen
// holds the empty background, which a scroll moves up where the rows now are.
QRect AppendView::rowsOnScreenFrom(int row) const
{
    if (row < 0 || !model() || row >= model()->rowCount())
        return {};
    const int top = std::max(rowViewportPosition(row), 0);
    return QRect(0, top, viewport()->width(), viewport()->height() - top);
}

void AppendView::repaintFrom(int row)
{
    const QRect rows = rowsOnScreenFrom(row);
    if (!rows.isEmpty())
        viewport()->update(rows);
}

void AppendView::scrollContentsBy(int dx, int dy)
{
    QTableView::scrollContentsBy(dx, dy);
    repaintFrom(unpaintedFrom);
}

void AppendView::paintEvent(QPaintEvent *event)
{
    if ((QRegion(rowsOnScreenFrom(unpaintedFrom)) - event->region()).isEmpty())
        unpaintedFrom = -1;
    QTableView::paintEvent(event);
    paintGrid(event->region());
}

// Where QTableView draws its grid lines: the last pixel row and column of
// each cell, no further than the last row and column.
void AppendView::paintGrid(const QRegion &region)
{
    const int rows = model() ? model()->rowCount() : 0;
    const int columns = model() ? model()->columnCount() : 0;
    if (rows == 0 || columns == 0)
        return;
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const QColor colour = QColor::fromRgba(QRgb(style()->styleHint(QStyle::SH_Table_GridLineColor, &option, this)));
    const QRect cells(QPoint(columnViewportPosition(0), rowViewportPosition(0)),
                      QPoint(columnViewportPosition(columns - 1) + columnWidth(columns - 1) - 1,
                             rowViewportPosition(rows - 1) + rowHeight(rows - 1) - 1));
    QPainter painter(viewport());
    for (const QRect &dirty : region) {
        const QRect area = dirty & cells;
        if (area.isEmpty())
            continue;
        const int lastRow = rowAt(area.bottom()) < 0 ? rows - 1 : rowAt(area.bottom());
        for (int row = rowAt(area.top()); row >= 0 && row <= lastRow; ++row)
            painter.fillRect(area.left(), rowViewportPosition(row) + rowHeight(row) - 1, area.width(), 1, colour);
        const int lastColumn = columnAt(area.right()) < 0 ? columns - 1 : columnAt(area.right());
        for (int column = columnAt(area.left()); column >= 0 && column <= lastColumn; ++column)
            painter.fillRect(columnViewportPosition(column) + columnWidth(column) - 1, area.top(), 1, area.height(), colour);
    }
}

// The looks that change every row's size are laid out whole.
bool AppendView::event(QEvent *event)
{
    if (event->type() == QEvent::StyleChange || event->type() == QEvent::FontChange)
        wholeLayout = true;
    return QTableView::event(event);
}

bool AppendView::viewportEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange)
        wholeLayout = true;
    return QTableView::viewportEvent(event);
}
