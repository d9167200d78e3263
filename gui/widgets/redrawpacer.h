#pragma once
#include <QTimer>
#include <functional>

// Coalesces the redraws of a view that new data keeps arriving for: however
// many are asked for, one runs a frame after the first request, and none
// sooner than a frame after the one before. The data itself is stored at
// once; only drawing it waits.
class RedrawPacer {
public:
    // 25 frames a second: a scrolling log or curve still moves smoothly, at
    // well below any screen's refresh rate, whatever the polling rate.
    static constexpr int FrameMs = 40;

    explicit RedrawPacer(std::function<void()> redraw) : draw(std::move(redraw))
    {
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, [this] { draw(); });
    }

    void request()
    {
        if (!timer.isActive())
            timer.start(FrameMs);
    }

    // Draws now what is waiting, for a caller that needs the view current.
    void flush()
    {
        if (!timer.isActive())
            return;
        timer.stop();
        draw();
    }

private:
    QTimer timer;
    std::function<void()> draw;
};
