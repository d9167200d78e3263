#pragma once
#include "widgets/redrawpacer.h"
#include <QAbstractScrollArea>
#include <QHash>
#include <QStaticText>
#include <QString>
#include <QStringList>
#include <deque>
#include <optional>
#include <utility>

class QAction;

// A read-only log of text lines that runs for days: it keeps the newest lines
// as plain strings in a queue and paints only the lines on screen, so a line
// costs little more than its characters and a full log takes a new line as
// cheaply as an empty one. New lines are kept at once but drawn once a frame
// (RedrawPacer), however fast they come. While the view is at the bottom it
// follows the newest line; scrolled up, it keeps the lines it shows in place.
// The calls mirror those of a read-only QPlainTextEdit, where a line is a block.
class LogView : public QAbstractScrollArea {
    Q_OBJECT

public:
    explicit LogView(QWidget *parent = nullptr);

    // Keeps at most `count` newest lines (0 or less: no limit) and drops the
    // oldest ones beyond it now.
    void setMaximumBlockCount(int count);
    int maximumBlockCount() const { return limit; }

    // Lines kept; 0 when empty.
    int blockCount() const { return int(kept.size()); }
    // Line `index` from the oldest kept (0); empty outside the lines kept.
    QString line(int index) const;
    QString lastLine() const;
    QStringList lines() const;
    // The lines joined by '\n'.
    QString toPlainText() const;
    // Replaces the lines by those of `text`, '\n' apart; an empty text leaves none.
    void setPlainText(const QString &text);
    void clear();

    // Copies every line kept to the clipboard (the context menu's one entry).
    void copyAll() const;
    // Brings the scroll bars and the view up to the lines appended since the
    // last frame now rather than at the next one.
    void showNewLines() { pacer.flush(); }

public slots:
    // Adds `text` as the newest line (several lines if it holds '\n').
    void appendPlainText(const QString &text);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    // Stores one line; returns how many old lines made room for it.
    int store(const QString &text);
    int dropBeyondLimit();
    // Scroll bars and view for the lines kept, `dropped` of the oldest having gone.
    void showLines(int dropped);
    QStaticText layOut(const QString &line) const;
    int rows() const;
    int lineStep() const;
    bool atBottom() const;
    void updateScrollBars();
    void followLines();

    std::deque<QString> kept;
    // Lines are numbered from the first since the last clear: kept[i] is line
    // firstNumber + i, a number that stays with the line while it is kept.
    int64_t firstNumber = 0;
    // The lines on screen and the newest ones laid out, by number: a line is
    // laid out once while it is on screen, not again at each paint.
    QHash<int64_t, QStaticText> laidOut;
    // Where the view stood when it was last brought up to the lines: the
    // number of the line at the top, the number past the last line kept, and
    // the horizontal scroll. None: nothing on screen may be kept.
    struct Placement {
        int64_t top;
        int64_t end;
        int x;
    };
    std::optional<Placement> shown;
    int limit = 0;
    int widest = 0; // pixels of the widest line stored since the last clear
    QAction *copyAllAction;
    int droppedUnshown = 0; // oldest lines dropped since the last frame
    RedrawPacer pacer{[this] { showLines(std::exchange(droppedUnshown, 0)); }};
};
