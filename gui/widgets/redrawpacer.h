#pragma once
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

    explicit RedrawPacer(std::function<void()> redraw) : draw(std::move(redraw)) {}
    ~RedrawPacer();
    RedrawPacer(const RedrawPacer &) = delete;
    RedrawPacer &operator=(const RedrawPacer &) = delete;

    void request();
    // Draws now what is waiting, for a caller that needs the view current.
    void flush();

private:
    static void tick();
    void withdraw();

    std::function<void()> draw;
    bool waiting = false;
};
