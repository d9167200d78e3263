#include "widgets/redrawpacer.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <utility>
#include <vector>

namespace {
// The pacers with a redraw waiting, in the order they asked, and those of the
// tick being drawn.
std::vector<RedrawPacer *> queued;
std::vector<RedrawPacer *> *drawing = nullptr;
// One timer for all; the application owns it.
QPointer<QTimer> frameClock;
} // namespace

RedrawPacer::~RedrawPacer()
{
    withdraw();
}

void RedrawPacer::request()
{
    if (waiting)
        return;
    waiting = true;
    queued.push_back(this);
    if (!frameClock) {
        frameClock = new QTimer(QCoreApplication::instance());
        frameClock->setSingleShot(true);
        QObject::connect(frameClock, &QTimer::timeout, &RedrawPacer::tick);
    }
    if (!frameClock->isActive())
        frameClock->start(FrameMs);
}

void RedrawPacer::flush()
{
    if (!waiting)
        return;
    withdraw();
    sinceDrawn.start();
    draw();
}

// Half a frame early still counts: the frames' own timer is not exact.
bool RedrawPacer::tooSoon() const
{
    return everyMs > FrameMs && sinceDrawn.isValid() && sinceDrawn.elapsed() + FrameMs / 2 < everyMs;
}

void RedrawPacer::withdraw()
{
    waiting = false;
    std::erase(queued, this);
    if (drawing)
        std::replace(drawing->begin(), drawing->end(), this, static_cast<RedrawPacer *>(nullptr));
}

void RedrawPacer::tick()
{
    // A redraw may ask for the next frame, or flush or end another pacer.
    std::vector<RedrawPacer *> due = std::exchange(queued, {});
    drawing = &due;
    for (RedrawPacer *&pacer : due)
        if (RedrawPacer *p = std::exchange(pacer, nullptr)) {
            if (p->tooSoon()) {
                queued.push_back(p); // still waiting, for a later frame
                continue;
            }
            p->waiting = false;
            p->sinceDrawn.start();
            p->draw();
        }
    drawing = nullptr;
    if (!queued.empty() && !frameClock->isActive())
        frameClock->start(FrameMs);
}
