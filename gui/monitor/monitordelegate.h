#pragma once
#include <QHash>
#include <QStaticText>
#include <QStyledItemDelegate>

class MonitorModel;

// Draws the monitor's cells from laid-out texts kept per cell: at 25 frames
// a second only the rows that scrolled in are laid out anew, not every
// visible cell (laying out text is most of what drawing the table costs).
class MonitorDelegate : public QStyledItemDelegate {
public:
    MonitorDelegate(MonitorModel &model, QObject *parent);
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    // The texts changed (byte format, width, a cleared table).
    void forget() { texts.clear(); }

private:
    MonitorModel &model;
    mutable QHash<quint64, QStaticText> texts;
};
