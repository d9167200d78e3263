#pragma once
#include <QTableWidget>

// Writes a cell of the exchange grid. Grid row k (k >= 1, the device in list
// slot k - 1) is table row k - 1: the header row is the table's own header.
// Rows the table does not have are left alone.
inline void setGridCell(QTableWidget &grid, int gridRow, int column, const QString &text)
{
    const int row = gridRow - 1;
    if (row < 0 || row >= grid.rowCount())
        return;
    QTableWidgetItem *item = grid.item(row, column);
    if (!item) {
        item = new QTableWidgetItem;
        item->setFlags(Qt::ItemIsEnabled);
        grid.setItem(row, column, item);
    }
    item->setText(text);
}
