#pragma once
#include "monitor/glyphline.h"
#include <QStyledItemDelegate>
#include <array>
#include <optional>
#include <vector>

class MonitorModel;

// Draws the monitor's cells, the grid lines with them (the view's own grid is
// drawn as stroked lines, many times slower than filling), from glyphs laid
// out once per cell and kept: at 25 frames a second only the rows that came
// are laid out, not every visible cell.
class MonitorDelegate : public QStyledItemDelegate {
public:
    MonitorDelegate(MonitorModel &model, QObject *parent);
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    // The texts changed (byte format, width, a cleared table).
    void forget();

private:
    static constexpr int Columns = 16;
    // The kept texts of one frame's row. A frame's slot is its serial number
    // modulo the slots, so that keeping a new row forgets one old row and
    // nothing has to be searched or cleared.
    struct Row {
        quint64 serial = ~quint64(0);
        quint32 laid = 0; // a bit for each column laid out
        std::array<GlyphLine::Laid, Columns> cells;
    };
    const GlyphLine::Laid &laidOut(const QModelIndex &index, const QFont &font) const;

    MonitorModel &model;
    mutable std::optional<GlyphLine> line;
    mutable std::vector<Row> rows;
};
