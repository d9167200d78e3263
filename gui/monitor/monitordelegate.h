#pragma once
#include "monitor/glyphline.h"
#include <QHash>
#include <QStyledItemDelegate>
#include <optional>

class MonitorModel;

// Draws the monitor's cells from glyphs laid out once per cell and kept: at
// 25 frames a second only the rows that came are laid out, not every visible
// cell.
class MonitorDelegate : public QStyledItemDelegate {
public:
    MonitorDelegate(MonitorModel &model, QObject *parent);
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    // The texts changed (byte format, width, a cleared table).
    void forget() { texts.clear(); }

private:
    const GlyphLine::Laid &laidOut(const QModelIndex &index, const QFont &font) const;

    MonitorModel &model;
    mutable std::optional<GlyphLine> line;
    mutable QHash<quint64, GlyphLine::Laid> texts;
};
