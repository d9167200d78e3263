#pragma once
#include <QObject>
#include <QTimer>

class LineChannel;

// Waits for a lost port to come back: it tries to open it at the channel's
// speed once a second at first, then less and less often, at last every 30 s
// (a server that is down for hours is not asked a thousand times an hour).
// A local device that is not there is only looked for, every second: that
// costs nothing. A failed open is no news (the adapter may still be
// settling); the next try comes. Timer-driven, so nothing waits or spins.
class PortWatch : public QObject {
    Q_OBJECT
public:
    static constexpr int IntervalMs = 1000;
    static constexpr int LongestIntervalMs = 30000;
    static constexpr int QuickTries = 10; // tries a second apart before the waits grow

    explicit PortWatch(LineChannel &channel, QObject *parent = nullptr);

    void start();
    void stop();
    bool isActive() const { return watching; }

    // The wait after `tries` failed opens.
    static int intervalAfter(int tries);

signals:
    // The port is open again; the watch has ended.
    void portBack();

private:
    void look();
    void onOpened();
    void retry();

    LineChannel &channel;
    QTimer timer;
    bool watching = false;
    bool trying = false; // an open (a TCP connect) is under way
    int tries = 0;
};
