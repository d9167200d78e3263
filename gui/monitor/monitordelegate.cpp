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

void MonitorDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const bool selected = option.state & QStyle::State_Selected;
    if (selected)
        painter->fillRect(option.rect, option.palette.highlight());
    const quint64 key = model.serialAt(index.row()) * 16 + quint64(index.column());
    auto it = texts.find(key);
    if (it == texts.end()) {
        if (texts.size() > KeptTexts)
            texts.clear();
        QStaticText text(index.data(Qt::DisplayRole).toString());
        text.setTextFormat(Qt::PlainText);
        text.prepare(QTransform(), option.font);
        it = texts.insert(key, text);
    }
    const QVariant colour = index.data(Qt::ForegroundRole);
    painter->setPen(selected ? option.palette.highlightedText().color()
                             : colour.isValid() ? colour.value<QBrush>().color() : option.palette.text().color());
    painter->setFont(option.font);
    const QSizeF size = it->size();
    const bool right = index.data(Qt::TextAlignmentRole).toInt() & Qt::AlignRight;
    const qreal x = right ? option.rect.right() - Margin - size.width() : option.rect.left() + Margin;
    const qreal y = option.rect.top() + (option.rect.height() - size.height()) / 2;
    painter->save();
    painter->setClipRect(option.rect);
    painter->drawStaticText(QPointF(x, y), *it);
    painter->restore();
}
