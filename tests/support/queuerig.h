#pragma once
// kalmird watching detector 5 of a simulator, for the queue's tests: alarm
// bits flipped on demand, and the seqs a subscriber received.
#include "sim/simulator.h"
#include "support/mqttrig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <algorithm>
#include <memory>

// Detector 5 on a simulator, watched by kalmird through the broker at `port`;
// `top` goes before [mqtt] (state_dir, queue_max_mb), `tail` after the line.
// flip() flips `bits` at as many status reads, and waits until kalmird has
// logged `total` events since its first start, and 300 ms more.
struct QueueRig {
    explicit QueueRig(int port, const QString &top = {}, const QString &tail = {})
    {
        sim.setFrozen(true);
        Detector &five = sim.addDetector(5);
        QObject::connect(&sim, &Simulator::frameReceived, [this, &five](const QByteArray &request) {
            if (left > 0 && uint8_t(request[0]) == 5 && uint8_t(request[1]) == 3 && left--)
                five.setAlarmFlags(five.alarmFlags() ^ bits);
        });
        sim.start();
        daemon = std::make_unique<DaemonProcess>(
            top + oneLineConfig(port, QStringLiteral("north"), sim.slavePath(), QStringLiteral("[5]")) + tail);
    }
    QString file() const { return daemon->stateDir() + QStringLiteral("/queue.db"); }
    bool logged(const QByteArray &text, qsizetype times, int ms = 10000)
    {
        return QTest::qWaitFor([&] { return daemon->errorOutput().count(text) == times; }, ms);
    }
    bool flip(int count, uint8_t which, qsizetype total)
    {
        left = count, bits = which;
        return logged("line north: detector 5 f", total) && (QTest::qWait(300), true);
    }
    Simulator sim;
    std::unique_ptr<DaemonProcess> daemon;
    int left = 0;
    uint8_t bits = 0;
};

// The seqs received, in their order, and how many came twice.
inline QList<qint64> seqs(Subscriber &sub, int *duplicates)
{
    QList<qint64> seen;
    *duplicates = 0;
    for (const Subscriber::Message &m : sub.messages())
        if (const qint64 seq = QJsonDocument::fromJson(m.payload).object().value(QStringLiteral("seq")).toInteger();
            seen.contains(seq))
            ++*duplicates;
        else
            seen << seq;
    return seen;
}

inline bool consecutive(const QList<qint64> &s)
{
    return std::adjacent_find(s.begin(), s.end(), [](qint64 a, qint64 b) { return b != a + 1; }) == s.end();
}

// Waits until `count` messages arrived and half a second more for any beyond;
// true when exactly `count` arrived, once each, their seqs growing.
inline bool receivedInOrder(Subscriber &sub, int count, int ms = 30000)
{
    if (!QTest::qWaitFor([&] { return sub.messages().size() >= count; }, ms))
        return false;
    QTest::qWait(500);
    int duplicates = 0;
    const QList<qint64> received = seqs(sub, &duplicates);
    return sub.messages().size() == count && received.size() == count && duplicates == 0
           && std::is_sorted(received.begin(), received.end());
}
