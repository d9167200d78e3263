#include "daemon/eventqueue.h"
#include "daemon/log.h"
#include "daemon/mqttclient.h"

using namespace Qt::StringLiterals;

EventQueue::EventQueue(MqttClient &mqtt, const QString &path, int64_t maxBytes, QObject *parent)
    : QObject(parent), client(mqtt), path(path), maxBytes(maxBytes),
      budget(maxBytes - EventStore::walShare(maxBytes))
{
    flushTimer.setSingleShot(true);
    flushTimer.setInterval(0);
    connect(&flushTimer, &QTimer::timeout, this, &EventQueue::flush);
    removalTimer.setSingleShot(true);
    removalTimer.setInterval(RemovalDelayMs);
    connect(&removalTimer, &QTimer::timeout, this, &EventQueue::flush);
    retryTimer.setSingleShot(true);
    retryTimer.setInterval(RetryMs);
    connect(&retryTimer, &QTimer::timeout, this, &EventQueue::flush);
    connect(&client, &MqttClient::acknowledged, this, &EventQueue::onAcknowledged);
    connect(&client, &MqttClient::disconnected, this, [this] {
        inFlight.clear();
        inFlightSeqs.clear();
    });
    connect(&client, &MqttClient::stopRequested, this, &EventQueue::commitNow);
    if (!path.isEmpty())
        openAtStart();
    if (seq == 0)
        seq = freshSeqBase();
    durableUpTo = seq;
    keepWithinBound(false);
}

int64_t EventQueue::add(const QString &topic, const QByteArray &payload)
{
    ++seq;
    if (!held.append(seq, topic.toUtf8(), payload)) {
        ++droppedSince, ++droppedTotal;
        logEvent(u"queue: seq %1 dropped: its topic is longer than MQTT allows"_s.arg(seq));
        return seq;
    }
    keepWithinBound(true);
    if (fileUsable) {
        if (!writing)
            flushTimer.start();
    } else {
        // No file to wait for: out at once, and written when the file can be.
        durableUpTo = seq;
        pump();
    }
    return seq;
}

void EventQueue::keepWithinBound(bool logEach)
{
    uint64_t dropped = 0;
    for (; bytes() > budget && held.size() > 1; ++dropped)
        dropOldest(logEach);
    if (!logEach && dropped)
        logEvent(u"queue: full (%1 MiB): the %2 oldest events and results dropped"_s
                     .arg(double(maxBytes) / (1024 * 1024), 0, 'g', 3)
                     .arg(dropped));
}

void EventQueue::dropOldest(bool logIt)
{
    HeldMessages::Message oldest;
    if (!held.oldest(&oldest))
        return;
    ++droppedSince;
    ++droppedTotal;
    if (oldest.topic.endsWith("/result"))
        ++droppedResults;
    if (logIt)
        logEvent(u"queue: full (%1 MiB): dropped the oldest, seq %2 for %3 (%4 dropped since the start)"_s
                     .arg(double(maxBytes) / (1024 * 1024), 0, 'g', 3)
                     .arg(oldest.seq)
                     .arg(QString::fromUtf8(oldest.topic))
                     .arg(droppedTotal));
    forget(oldest.seq);
}

// A message the MQTT client will never take goes, said once, so that the
// ones after it are not held up behind it for ever.
void EventQueue::drop(int64_t dropped, const QString &topic, const QString &why)
{
    ++droppedSince;
    ++droppedTotal;
    if (topic.endsWith(u"/result"))
        ++droppedResults;
    logEvent(u"queue: dropped seq %1 for \"%2\": the MQTT client refuses it (%3)"_s.arg(dropped).arg(topic, why));
    forget(dropped);
}

void EventQueue::forget(int64_t done)
{
    bool written = false;
    if (held.remove(done, &written) && written) {
        removed.push_back(done);
        if (!removalTimer.isActive())
            removalTimer.start();
    }
}

void EventQueue::resend()
{
    inFlight.clear();
    inFlightSeqs.clear();
    lastSent = 0;
    pump();
}

void EventQueue::pump()
{
    if (!client.isConnected())
        return;
    std::vector<std::pair<int64_t, std::pair<QString, QString>>> refused;
    held.forEachAfter(lastSent, [&](const HeldMessages::Message &m) {
        if (m.seq > durableUpTo || inFlight.size() >= Window)
            return false;
        if (inFlightSeqs.contains(m.seq)) { // sent before older ones were found in the file
            lastSent = m.seq;
            return true;
        }
        const QString topic = QString::fromUtf8(m.topic);
        int mid = 0;
        QString why;
        if (client.publish(topic, withSeq(m.seq, m.payload), 1, false, &mid, &why)) {
            inFlight.insert(mid, m.seq);
            inFlightSeqs.insert(m.seq);
        } else if (why.isEmpty()) {
            return false;
        } else {
            refused.push_back({m.seq, {topic, why}});
        }
        lastSent = m.seq;
        return true;
    });
    for (const auto &[dropped, reason] : refused)
        drop(dropped, reason.first, reason.second);
}

void EventQueue::onAcknowledged(int mid)
{
    const auto it = inFlight.constFind(mid);
    if (it == inFlight.cend())
        return;
    const int64_t done = *it;
    inFlight.erase(it);
    inFlightSeqs.remove(done);
    forget(done);
    pump();
}
