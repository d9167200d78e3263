#include "monitor/monitordelegate.h"
#include "monitor/monitormodel.h"

#include <QPainter>

namespace {
constexpr int Margin = 3;
constexpr int KeptTexts = 4000; // well above a screenful of cells
} // namespace

MonitorDelegate::MonitorDelegate(MonitorModel &frameModel, QObject *parent)
    : QStyledItemDelegate(parent), model(frameModel)
{
}

const GlyphLine::Laid &MonitorDelegate::laidOut(const QModelIndex &index, const QFont &font) const
{
    if (!line || line->font() != font) {
        line.emplace(font);
        texts.clear();
    }
    const quint64 key = model.serialAt(index.row()) * 16 + quint64(index.column());
    auto it = texts.constFind(key);
    if (it != texts.cend())
        return *it;
    if (texts.size() > KeptTexts)
        texts.clear();
    return *texts.insert(key, line->layOut(index.data(Qt::DisplayRole).toString()));
}

void MonitorDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const bool selected = option.state & QStyle::State_Selected;
    if (selected)
        painter->fillRect(option.rect, option.palette.highlight());
    const GlyphLine::Laid &text = laidOut(index, option.font);
    if (text.runs.isEmpty())
        return;
    const QVariant colour = index.data(Qt::ForegroundRole);
    painter->setPen(selected ? option.palette.highlightedText().color()
                             : colour.isValid() ? colour.value<QBrush>().color() : option.palette.text().color());
    const bool right = index.data(Qt::TextAlignmentRole).toInt() & Qt::AlignRight;
    const qreal x = right ? option.rect.right() - Margin - text.width : option.rect.left() + Margin;
    const QFontMetricsF fm(option.font);
    const qreal y = option.rect.top() + (option.rect.height() - fm.height()) / 2;
    // Only a text wider than its cell needs the clip.
    const bool clip = x < option.rect.left() || x + text.width > option.rect.right() + 1;
    if (clip) {
        painter->save();
        painter->setClipRect(option.rect, Qt::IntersectClip);
    }
    for (const QGlyphRun &run : text.runs)
        painter->drawGlyphRun(QPointF(x, y), run);
    if (clip)
        painter->restore();
}
