#pragma once
#include <QTableView>
#include <vector>

// A table view for a list that grows at its end. QTableView lays out and
// repaints its whole viewport whenever the row count changes; rows that only
// came at the end change nothing already drawn, so this view repaints just
// the rows that came (and, after a scroll, where they have moved to). Any
// other change of the model or the view's look is laid out and painted whole
// as before.
class AppendView : public QTableView {
public:
    // Scrolled by pixels: rows coming at the end then never move those shown.
    explicit AppendView(QWidget *parent = nullptr) : QTableView(parent)
    {
        setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
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

    std::vector<QMetaObject::Connection> watched;
    int appendedFrom = -1;  // the first row come at the end since the last layout
    bool wholeLayout = true; // something else changed since the last layout
    int unpaintedFrom = -1; // the first row not yet painted where it now is
};
