#pragma once
#include "monitor/glyphline.h"
#include <QStyledItemDelegate>
#include <array>
#include <optional>
#include <vector>

class MonitorModel;

// Draws the monitor's cells, but for their last pixel row and column (the
// view's grid), from glyphs laid out once per cell and kept: only the rows
// that came are laid out, not every visible cell.
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
    struct Shared {
        QString text;
        int font = -1; // the line's number it was laid out with
        GlyphLine::Laid laid;
    };
    const GlyphLine::Laid &laidOut(const QModelIndex &index, const QFont &font) const;

    MonitorModel &model;
    mutable std::optional<GlyphLine> line;
    mutable int lineSerial = 0;
    mutable std::vector<Row> rows;
    // Texts by their hash modulo the slots, like the rows.
    mutable std::vector<Shared> sharedTexts;
};
