#include "widgets/logview.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <algorithm>

namespace {
// Space between the frame and the text, as a text edit keeps it.
constexpr int Margin = 4;
// A longer line is kept and copied whole but shown cut after this many
// characters: one runaway line must not make every repaint slow.
constexpr int MaxShownChars = 4096;

QString shownPart(const QString &line)
{
    return line.size() > MaxShownChars ? line.left(MaxShownChars) : line;
}

int pixelWidth(const QStaticText &text)
{
    return qRound(text.size().width());
}

// A scroll bar repainted only when what it shows changes. A log that grows by
// a few lines a frame moves its bar's range and value at every frame, while
// the handle, at its smallest and at the bottom, stays where it was drawn.
class SteadyScrollBar : public QScrollBar {
public:
    explicit SteadyScrollBar(Qt::Orientation orientation) : QScrollBar(orientation) {}

protected:
    // The range and then the value change as lines arrive; the look is
    // compared once both have, from the event loop.
    void sliderChange(SliderChange change) override
    {
        if (change == SliderOrientationChange) {
            QScrollBar::sliderChange(change);
            return;
        }
        if (checkQueued)
            return;
        checkQueued = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                checkQueued = false;
                if (look() != painted)
                    update();
            },
            Qt::QueuedConnection);
    }

    void paintEvent(QPaintEvent *event) override
    {
        painted = look();
        QScrollBar::paintEvent(event);
    }

private:
    // The handle's place and size, and whether each arrow has room to go.
    struct Look {
        QRect handle;
        bool up = false;
        bool down = false;
        bool operator!=(const Look &o) const { return handle != o.handle || up != o.up || down != o.down; }
    };

    Look look() const
    {
        QStyleOptionSlider option;
        initStyleOption(&option);
        return {style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
                value() > minimum(), value() < maximum()};
    }

    Look painted;
    bool checkQueued = false;
};
} // namespace

LogView::LogView(QWidget *parent)
    : QAbstractScrollArea(parent),
      copyAllAction(new QAction(QStringLiteral("Копировать всё"), this))
{
    setVerticalScrollBar(new SteadyScrollBar(Qt::Vertical));
    setHorizontalScrollBar(new SteadyScrollBar(Qt::Horizontal));
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // The vertical bar is always on, so its range never changes the layout;
    // yet every change of it had the area lay out its children again, which
    // raises the two bars' containers in turn and so repainted both bars at
    // every frame while the horizontal one showed.
    disconnect(verticalScrollBar(), SIGNAL(rangeChanged(int,int)), this, SLOT(_q_showOrHideScrollBars()));
    connect(copyAllAction, &QAction::triggered, this, &LogView::copyAll);
    updateScrollBars();
}

void LogView::setMaximumBlockCount(int count)
{
    limit = std::max(count, 0);
    droppedUnshown += dropBeyondLimit();
    showLines(std::exchange(droppedUnshown, 0));
}

QString LogView::line(int index) const
{
    return index >= 0 && index < blockCount() ? kept[size_t(index)] : QString();
}

QString LogView::lastLine() const
{
    return kept.empty() ? QString() : kept.back();
}

QStringList LogView::lines() const
{
    return QStringList(kept.begin(), kept.end());
}

QString LogView::toPlainText() const
{
    return lines().join(u'\n');
}

void LogView::setPlainText(const QString &text)
{
    clear();
    if (!text.isEmpty())
        appendPlainText(text);
}

void LogView::clear()
{
    kept.clear();
    firstNumber = 0;
    laidOut.clear();
    widest = 0;
    droppedUnshown = 0;
    shown.reset();
    updateScrollBars();
    viewport()->update();
}

void LogView::copyAll() const
{
    QGuiApplication::clipboard()->setText(toPlainText());
}

void LogView::appendPlainText(const QString &text)
{
    if (text.contains(u'\n')) {
        for (const QString &part : text.split(u'\n'))
            droppedUnshown += store(part);
    } else {
        droppedUnshown += store(text);
    }
    pacer.request();
}

void LogView::showLines(int dropped)
{
    // The bars still describe the lines as last shown.
    const bool following = atBottom();
    const int first = verticalScrollBar()->value();
    updateScrollBars();
    // Scrolled up, the same lines stay on screen while the oldest go.
    verticalScrollBar()->setValue(following ? verticalScrollBar()->maximum() : first - dropped);
    followLines();
}

// Brings the view up to the lines kept and the bars' values. The picture
// already on screen is moved, not drawn again: at every frame the lines
// scroll up by the few that came, and only those are drawn.
void LogView::followLines()
{
    const Placement now{firstNumber + verticalScrollBar()->value(), firstNumber + int64_t(kept.size()),
                        horizontalScrollBar()->value()};
    QWidget *view = viewport();
    const int step = lineStep();
    const int64_t moved = shown ? now.top - shown->top : 0;
    if (!shown || now.x != shown->x || std::abs(moved) * step >= view->height()) {
        view->update();
    } else {
        // Below the top margin, which stays empty.
        if (moved != 0)
            view->scroll(0, int(-moved * step), QRect(0, Margin, view->width(), view->height() - Margin));
        // Lines added below the last one on screen.
        const int64_t added = Margin + (shown->end - now.top) * step;
        if (added < view->height())
            view->update(0, int(std::max<int64_t>(added, 0)), view->width(), view->height());
    }
    shown = now;
}

int LogView::store(const QString &text)
{
    QString line = text;
    // Lines are built by appending; their spare capacity would stay with each
    // of the hundred thousand kept.
    if (line.capacity() > line.size())
        line.squeeze();
    // The layout that measures the line is the one drawn while it is among
    // the newest, which the view shows when it follows them.
    const QStaticText laid = layOut(line);
    widest = std::max(widest, pixelWidth(laid));
    const int64_t number = firstNumber + int64_t(kept.size());
    laidOut.insert(number, laid);
    laidOut.remove(number - rows());
    kept.push_back(std::move(line));
    return dropBeyondLimit();
}

int LogView::dropBeyondLimit()
{
    int count = 0;
    while (limit > 0 && kept.size() > size_t(limit)) {
        kept.pop_front();
        ++count;
    }
    firstNumber += count;
    return count;
}

// Laid out as the view's painter draws it: the same font and transform, so
// that drawing it does not lay it out again.
QStaticText LogView::layOut(const QString &line) const
{
    QStaticText text(shownPart(line));
    text.setTextFormat(Qt::PlainText);
    text.prepare(QTransform(), QFont(font(), viewport()));
    return text;
}

// Lines on screen, the last one perhaps in part.
int LogView::rows() const
{
    return viewport()->height() / lineStep() + 1;
}

int LogView::lineStep() const
{
    return std::max(1, fontMetrics().lineSpacing());
}

bool LogView::atBottom() const
{
    return verticalScrollBar()->value() >= verticalScrollBar()->maximum();
}

// Vertical steps are whole lines (the value is the first line shown),
// horizontal ones pixels of the widest line.
void LogView::updateScrollBars()
{
    const int page = std::max(1, (viewport()->height() - 2 * Margin) / lineStep());
    QScrollBar *v = verticalScrollBar();
    v->setPageStep(page);
    v->setSingleStep(1);
    v->setRange(0, std::max(0, blockCount() - page));

    const int room = viewport()->width();
    QScrollBar *h = horizontalScrollBar();
    h->setPageStep(room);
    h->setSingleStep(std::max(1, fontMetrics().averageCharWidth() * 2));
    h->setRange(0, std::max(0, widest + 2 * Margin - room));
}

void LogView::paintEvent(QPaintEvent *event)
{
    QPainter p(viewport());
    p.setFont(font());
    p.setPen(palette().color(isEnabled() ? QPalette::Normal : QPalette::Disabled, QPalette::Text));
    const int x = Margin - horizontalScrollBar()->value();
    const int step = lineStep();
    const size_t first = size_t(verticalScrollBar()->value());
    const auto lineAt = [&](int y) { return first + size_t(std::max(0, (y - Margin) / step)); };
    // Only the lines in the area to paint: after a scroll, the ones that came.
    size_t next = first;
    for (const QRect &area : event->region()) {
        const size_t end = std::min(kept.size(), lineAt(area.bottom()) + 1);
        for (size_t i = std::max(next, lineAt(area.top())); i < end; ++i) {
            QStaticText &text = laidOut[firstNumber + int64_t(i)];
            if (text.text().isEmpty())
                text = layOut(kept[i]);
            p.drawStaticText(x, Margin + int(i - first) * step, text);
        }
        next = std::max(next, end);
    }
    // The lines on screen stay laid out, and the newest ones.
    const int64_t firstShown = firstNumber + int64_t(first);
    const int64_t newest = firstNumber + int64_t(kept.size()) - rows();
    laidOut.removeIf([&](const auto &line) {
        return (line.key() < firstShown || line.key() >= firstShown + rows()) && line.key() < newest;
    });
}

void LogView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    const bool following = atBottom();
    updateScrollBars();
    if (following)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

// Lines are measured and laid out once; a new font makes them stale.
void LogView::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() != QEvent::FontChange)
        return;
    laidOut.clear();
    shown.reset();
    widest = 0;
    for (const QString &line : kept)
        widest = std::max(widest, pixelWidth(layOut(line)));
    const bool following = atBottom();
    updateScrollBars();
    if (following)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    viewport()->update();
}

void LogView::scrollContentsBy(int, int)
{
    followLines();
}

// popup(), not exec(): polling goes on while the menu is open.
void LogView::contextMenuEvent(QContextMenuEvent *event)
{
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(copyAllAction);
    menu->popup(event->globalPos());
}
