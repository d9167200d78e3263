#pragma once
#include <QElapsedTimer>
#include <functional>
#include <utility>

// Coalesces the redraws of a view that new data keeps arriving for: however
// many are asked for, one runs at the next frame. The frames are shared: the
// views with a redraw waiting all draw at one tick, a frame after the first of
// them asked, so that a window is painted once a frame however many of its
// views changed, and a frame after the tick before at the soonest. The data
// itself is stored at once; only drawing it waits.
class RedrawPacer {
public:
    // 25 frames a second: a scrolling log or curve still moves smoothly, at
    // well below any screen's refresh rate, whatever the polling rate.
    static constexpr int FrameMs = 40;

    // everyMs: a view whose every redraw costs much whatever little came (a
    // wide table scrolled) draws at one of the shared frames at least that
    // long after its last.
    explicit RedrawPacer(std::function<void()> redraw, int everyMs = FrameMs)
        : draw(std::move(redraw)), everyMs(everyMs)
    {
    }
    ~RedrawPacer();
    RedrawPacer(const RedrawPacer &) = delete;
    RedrawPacer &operator=(const RedrawPacer &) = delete;

    void request();
    // Draws now what is waiting, for a caller that needs the view current.
    void flush();

private:
    static void tick();
    void withdraw();

    bool tooSoon() const;

    std::function<void()> draw;
    int everyMs;
    QElapsedTimer sinceDrawn;
    bool waiting = false;
};
