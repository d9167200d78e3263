#pragma once
#include <QObject>
#include <QTimer>

class FineClock;

// A single-shot timer that keeps fractions of a millisecond where the platform
// can (a timerfd on Linux), so that character times at 19200 baud (0.52 ms)
// are not rounded up to whole milliseconds; elsewhere a precise QTimer,
// rounded up. Never fires early. Event-driven like QTimer.
//
// The fine timers of a thread share one timerfd, armed for the earliest of
// them: each descriptor is looked at on every turn of the event loop, and a
// service with many lines would otherwise have two per line.
class FineTimer : public QObject {
    Q_OBJECT
public:
    explicit FineTimer(QObject *parent = nullptr);
    ~FineTimer() override;
    void start(double ms);
    void stop();
    bool isActive() const { return active; }

signals:
    void timeout();

private:
    friend class FineClock;
    void fire();

    QTimer coarse;
    FineClock *clock = nullptr; // the thread's shared timerfd; null where there is none
    long long dueNs = 0;        // when it fires, on the monotonic clock
    bool active = false;
};
