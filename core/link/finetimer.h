#pragma once
#include <QObject>
#include <QTimer>

class QSocketNotifier;

// A single-shot timer that keeps fractions of a millisecond where the platform
// can (a timerfd on Linux), so that character times at 19200 baud (0.52 ms)
// are not rounded up to whole milliseconds; elsewhere a precise QTimer,
// rounded up. Never fires early. Event-driven like QTimer.
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
    void fire();

    QTimer coarse;
    int fd = -1;
    QSocketNotifier *notifier = nullptr;
    bool active = false;
};
