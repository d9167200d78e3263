#include "daemon/eventqueue.h"
#include "daemon/log.h"
#include "daemon/mqttclient.h"

using namespace Qt::StringLiterals;

EventQueue::EventQueue(MqttClient &mqtt, const QString &path, int64_t maxBytes, QObject *parent)
    : QObject(parent), client(mqtt), maxBytes(maxBytes)
{
    if (!path.isEmpty())
        load(path);
    if (seq == 0)
        seq = freshSeqBase();
    durableUpTo = seq;
    if (store) {
        inWriter = new QObject;
        inWriter->moveToThread(&writer);
        connect(&writer, &QThread::finished, inWriter, &QObject::deleteLater);
        writer.setObjectName(u"queue writer"_s);
        writer.start();
    }
    flushTimer.setSingleShot(true);
    flushTimer.setInterval(0);
    connect(&flushTimer, &QTimer::timeout, this, &EventQueue::flush);
    removalTimer.setSingleShot(true);
    removalTimer.setInterval(RemovalDelayMs);
    connect(&removalTimer, &QTimer::timeout, this, &EventQueue::flush);
    connect(&client, &MqttClient::acknowledged, this, &EventQueue::onAcknowledged);
    connect(&client, &MqttClient::disconnected, this, [this] { inFlight.clear(); });
    connect(&client, &MqttClient::stopRequested, this, &EventQueue::commitNow);
    while (heldBytes > maxBytes && !held.empty())
        dropOldest();
}

// The file's messages and seq, read once at the start; without a usable
// file the queue is kept in memory only.
void EventQueue::load(const QString &path)
{
    store = std::make_unique<EventStore>();
    EventStore::Opened opened = store->open(path);
    for (const QString &note : opened.notes)
        logEvent(u"queue: "_s + note);
    if (!opened.usable) {
        store.reset();
        logEvent(u"queue: events and results are kept in memory only: a restart loses those not yet sent"_s);
        return;
    }
    seq = opened.lastSeq;
    for (QueuedMessage &m : opened.messages) {
        Entry e{std::move(m.topic), std::move(m.payload)};
        heldBytes += e.size();
        held.emplace(m.seq, std::move(e));
    }
    logEvent(u"queue: %1: %2 events and results wait from before the start; seq goes on after %3"_s.arg(path)
                 .arg(held.size())
                 .arg(seq));
}

EventQueue::~EventQueue()
{
    if (!inWriter)
        return;
    // What is still to be written goes to the file before the thread ends.
    QMetaObject::invokeMethod(inWriter, [] {}, Qt::BlockingQueuedConnection);
    if (!added.empty() || !removed.empty())
        QMetaObject::invokeMethod(
            inWriter, [this] { store->write(added, removed, seq); }, Qt::BlockingQueuedConnection);
    writer.quit();
    writer.wait();
}

int64_t EventQueue::add(const QString &topic, const QByteArray &payload)
{
    ++seq;
    Entry e{topic, payload};
    heldBytes += e.size();
    if (store)
        added.push_back({seq, topic, payload});
    held.emplace(seq, std::move(e));
    while (heldBytes > maxBytes && held.size() > 1)
        dropOldest();
    if (store) {
        if (!writing)
            flushTimer.start();
    } else {
        durableUpTo = seq;
        pump();
    }
    return seq;
}

void EventQueue::dropOldest()
{
    const auto oldest = held.begin();
    ++droppedSince;
    ++droppedTotal;
    if (oldest->second.topic.endsWith(u"/result"))
        ++droppedResults;
    logEvent(u"queue: full (%1 MiB): dropped the oldest, seq %2 for %3 (%4 dropped since the start)"_s
                 .arg(double(maxBytes) / (1024 * 1024), 0, 'g', 3)
                 .arg(oldest->first)
                 .arg(oldest->second.topic)
                 .arg(droppedTotal));
    heldBytes -= oldest->second.size();
    if (store)
        removed.push_back(oldest->first);
    held.erase(oldest);
}

void EventQueue::commitNow()
{
    flushTimer.stop();
    removalTimer.stop();
    // After any batch still on the writer thread, so the file keeps the order.
    if (inWriter && (!added.empty() || !removed.empty()))
        QMetaObject::invokeMethod(
            inWriter, [this] { store->write(added, removed, seq); }, Qt::BlockingQueuedConnection);
    added.clear();
    removed.clear();
    durableUpTo = seq;
    pump();
}

void EventQueue::resend()
{
    inFlight.clear();
    lastSent = 0;
    pump();
}

void EventQueue::pump()
{
    if (!client.isConnected())
        return;
    for (auto it = held.upper_bound(lastSent); it != held.end() && it->first <= durableUpTo; ++it) {
        if (inFlight.size() >= Window)
            return;
        int mid = 0;
        if (!client.publish(it->second.topic, withSeq(it->first, it->second.payload), 1, false, &mid))
            return;
        inFlight.insert(mid, it->first);
        lastSent = it->first;
    }
}

void EventQueue::onAcknowledged(int mid)
{
    const auto it = inFlight.constFind(mid);
    if (it == inFlight.cend())
        return;
    const int64_t done = *it;
    inFlight.erase(it);
    if (const auto h = held.find(done); h != held.end()) {
        heldBytes -= h->second.size();
        held.erase(h);
        if (store) {
            removed.push_back(done);
            if (!removalTimer.isActive())
                removalTimer.start();
        }
    }
    pump();
}

void EventQueue::flush()
{
    if (writing || (added.empty() && removed.empty()))
        return;
    writing = true;
    removalTimer.stop();
    const int64_t upTo = seq;
    auto batch = std::make_shared<std::pair<std::vector<QueuedMessage>, std::vector<int64_t>>>(std::move(added),
                                                                                               std::move(removed));
    added.clear();
    removed.clear();
    QMetaObject::invokeMethod(inWriter, [this, batch, upTo] {
        const QString error = store->write(batch->first, batch->second, upTo);
        QMetaObject::invokeMethod(this, [this, upTo, error] { onWritten(upTo, error); });
    });
}

void EventQueue::onWritten(int64_t upTo, const QString &error)
{
    writing = false;
    // A disk that fails is said once per cause; the alarms still go out.
    if (error != lastError && !error.isEmpty())
        logEvent(u"queue: cannot write to the file: %1; the messages are sent, but a restart before the broker "
                 "has them loses them"_s.arg(error));
    else if (error.isEmpty() && !lastError.isEmpty())
        logEvent(u"queue: the file is written again"_s);
    lastError = error;
    durableUpTo = std::max(durableUpTo, upTo);
    emit committed(upTo);
    pump();
    if (!added.empty())
        flush();
    else if (!removed.empty() && !removalTimer.isActive())
        removalTimer.start();
}
