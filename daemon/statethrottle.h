#pragma once
#include "detector/devicestatus.h"
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <map>
#include <optional>

// Which status replies of one line's detectors become a retained state: the
// first, a changed one at most once per minimum interval, an unchanged one
// once per heartbeat, and one whose alarm bits differ from the last published
// at once. A change held back by the interval is published when the interval
// ends, as the latest reading then, even if no reply follows. An interval of
// 0 publishes every reply.
class StateThrottle : public QObject {
    Q_OBJECT
public:
    StateThrottle(int minIntervalMs, int heartbeatS, QObject *parent = nullptr);

    void offer(uint8_t address, const DeviceStatus &status, const StatusRegisters &registers,
               const QDateTime &time);
    // Publishes every change still held (the line stops).
    void flush();

signals:
    void publish(uint8_t address, const DeviceStatus &status, const StatusRegisters &registers,
                 const QDateTime &time);

private:
    struct Reading {
        DeviceStatus status;
        StatusRegisters registers;
        QDateTime time;
    };
    struct Detector {
        bool published = false;
        StatusRegisters registers{}; // of the last published state
        uint8_t alarms = 0;
        qint64 atMs = 0;
        std::optional<Reading> held;
    };

    void send(uint8_t address, Detector &d, Reading reading);
    void onTimer();
    void schedule(qint64 dueMs);

    const qint64 minIntervalMs;
    const qint64 heartbeatMs;
    std::map<uint8_t, Detector> detectors;
    QElapsedTimer clock;
    QTimer timer;        // the earliest end of an interval with a change held
    qint64 timerDue = 0; // on clock
};
