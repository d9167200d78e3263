#pragma once
#include <QTableView>
#include <vector>

// A table view for a list that grows at its end. QTableView lays out and
// repaints its whole viewport whenever the row count changes; rows that only
// came at the end change nothing already drawn, so this view repaints just
// the rows that came (and, after a scroll, where they have moved to). Any
// other change of the model or the view's look is laid out and painted whole
// as before. It draws the grid itself, by fills where QTableView strokes its
// lines (as costly as the cells' texts): each cell's delegate leaves its right
// and bottom pixel to it.
class AppendView : public QTableView {
public:
    // Scrolled by pixels: rows coming at the end then never move those shown.
    explicit AppendView(QWidget *parent = nullptr) : QTableView(parent)
    {
        setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
        setShowGrid(false); // drawn by paintGrid
    }

    void setModel(QAbstractItemModel *model) override;
    void doItemsLayout() override;

protected:
    bool event(QEvent *event) override;
    bool viewportEvent(QEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void rowsComing(const QModelIndex &parent, int first);
    QRect rowsOnScreenFrom(int row) const;
    void repaintFrom(int row);
    void paintGrid(const QRegion &region);

    std::vector<QMetaObject::Connection> watched;
    int appendedFrom = -1;  // the first row come at the end since the last layout
    bool wholeLayout = true; // something else changed since the last layout
    int unpaintedFrom = -1; // the first row not yet painted where it now is
};
