#include "daemon/statethrottle.h"
#include "daemon/payloads.h"

namespace {
constexpr uint8_t alarmMask()
{
    uint8_t mask = 0;
    for (const AlarmBit &bit : AlarmBits)
        mask |= bit.mask;
    return mask;
}
} // namespace

StateThrottle::StateThrottle(int minIntervalMs, int heartbeatS, QObject *parent)
    : QObject(parent), minIntervalMs(minIntervalMs), heartbeatMs(qint64(heartbeatS) * 1000)
{
    clock.start();
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &StateThrottle::onTimer);
}

void StateThrottle::offer(uint8_t address, const DeviceStatus &status, const StatusRegisters &registers,
                          const QDateTime &time)
{
    if (minIntervalMs == 0) {
        emit publish(address, status, registers, time);
        return;
    }
    Detector &d = detectors[address];
    const qint64 sinceMs = clock.elapsed() - d.atMs;
    const bool changed = !d.published || registers != d.registers;
    const bool alarmChanged = (status.alarmFlags & alarmMask()) != (d.alarms & alarmMask());
    if (!d.published || alarmChanged || (changed && sinceMs >= minIntervalMs) || sinceMs >= heartbeatMs) {
        send(address, d, {status, registers, time});
    } else if (changed) {
        d.held = Reading{status, registers, time};
        schedule(d.atMs + minIntervalMs);
    } else {
        d.held.reset(); // back to what was published: nothing new to say
    }
}

void StateThrottle::flush()
{
    timer.stop();
    for (auto &[address, d] : detectors)
        if (d.held)
            send(address, d, *d.held);
}

void StateThrottle::send(uint8_t address, Detector &d, Reading reading)
{
    d.published = true;
    d.registers = reading.registers;
    d.alarms = reading.status.alarmFlags;
    d.atMs = clock.elapsed();
    d.held.reset();
    emit publish(address, reading.status, reading.registers, reading.time);
}

void StateThrottle::onTimer()
{
    const qint64 now = clock.elapsed();
    std::optional<qint64> next;
    for (auto &[address, d] : detectors) {
        if (!d.held)
            continue;
        const qint64 due = d.atMs + minIntervalMs;
        if (due <= now)
            send(address, d, *d.held);
        else
            next = std::min(next.value_or(due), due);
    }
    if (next)
        schedule(*next);
}

void StateThrottle::schedule(qint64 dueMs)
{
    if (timer.isActive() && timerDue <= dueMs)
        return;
    timerDue = dueMs;
    timer.start(int(std::max<qint64>(0, dueMs - clock.elapsed())));
}
