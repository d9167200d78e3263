#pragma once
#include <QObject>
#include <QTimer>

class SerialChannel;

// Waits for a lost port to come back: once a second it looks whether the
// port's device is there again and, if so, opens it at the channel's speed.
// A failed open is no news (the adapter may still be settling); the next
// second tries again. Timer-driven, so nothing waits or spins meanwhile.
class PortWatch : public QObject {
    Q_OBJECT
public:
    static constexpr int IntervalMs = 1000;

    explicit PortWatch(SerialChannel &channel, QObject *parent = nullptr);

    void start() { timer.start(); }
    void stop() { timer.stop(); }
    bool isActive() const { return timer.isActive(); }

signals:
    // The port is open again; the watch has ended.
    void portBack();

private:
    void look();

    SerialChannel &channel;
    QTimer timer;
};
