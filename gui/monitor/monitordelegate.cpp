#include "monitor/monitordelegate.h"
#include "link/framecsv.h"
#include "monitor/monitormodel.h"

#include <QPainter>

namespace {
constexpr int Margin = 3;
constexpr size_t KeptRows = 1024; // well above a screenful of rows
constexpr size_t SharedTexts = 512;
} // namespace

MonitorDelegate::MonitorDelegate(MonitorModel &frameModel, QObject *parent)
    : QStyledItemDelegate(parent), model(frameModel), rows(KeptRows), sharedTexts(SharedTexts)
{
    static_assert(int(FrameColumn::Count) <= Columns);
}

void MonitorDelegate::forget()
{
    for (Row &row : rows)
        row = Row{};
}

const GlyphLine::Laid &MonitorDelegate::laidOut(const QModelIndex &index, const QFont &font) const
{
    if (!line || line->font() != font) {
        line.emplace(font);
        ++lineSerial;
        const_cast<MonitorDelegate *>(this)->forget();
    }
    const quint64 serial = model.serialAt(index.row());
    Row &row = rows[serial % KeptRows];
    if (row.serial != serial) {
        row.serial = serial;
        row.laid = 0;
    }
    const quint32 bit = 1u << index.column();
    GlyphLine::Laid &cell = row.cells[size_t(index.column())];
    if (!(row.laid & bit)) {
        // Most cells repeat one of a few texts (addresses, lengths, verdicts,
        // a request's bytes): laid out once, they are shared.
        const QString text = index.data(Qt::DisplayRole).toString();
        Shared &shared = sharedTexts[qHash(text) % sharedTexts.size()];
        if (shared.text != text || shared.font != lineSerial) {
            shared.text = text;
            shared.font = lineSerial;
            shared.laid = line->layOut(text);
        }
        cell = shared.laid;
        row.laid |= bit;
    }
    return cell;
}

void MonitorDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QRect rect = option.rect.adjusted(0, 0, -1, -1); // the last pixels: the view's grid
    const bool selected = option.state & QStyle::State_Selected;
    if (selected)
        painter->fillRect(rect, option.palette.highlight());
    const GlyphLine::Laid &text = laidOut(index, option.font);
    if (text.runs.isEmpty())
        return;
    const QVariant colour = index.data(Qt::ForegroundRole);
    painter->setPen(selected ? option.palette.highlightedText().color()
                             : colour.isValid() ? colour.value<QBrush>().color() : option.palette.text().color());
    const bool right = index.data(Qt::TextAlignmentRole).toInt() & Qt::AlignRight;
    const qreal x = right ? rect.right() - Margin - text.width : rect.left() + Margin;
    const qreal y = rect.top() + (rect.height() - QFontMetricsF(option.font).height()) / 2;
    // Only a text wider than its cell needs the clip.
    const bool clip = x < rect.left() || x + text.width > rect.right() + 1;
    if (clip) {
        painter->save();
        painter->setClipRect(rect, Qt::IntersectClip);
    }
    for (const QGlyphRun &run : text.runs)
        painter->drawGlyphRun(QPointF(x, y), run);
    if (clip)
        painter->restore();
}
