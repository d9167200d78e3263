// The queue's file side: the start, the commits on the writer thread, and
// what is done when the file cannot be used or is lost under kalmird.
#include "daemon/eventqueue.h"
#include "daemon/log.h"

#include <QCoreApplication>

using namespace Qt::StringLiterals;

namespace {
// A lock met after the start is waited for this long on the writer thread
// (a stop waits for it too), then tried again after RetryMs.
constexpr int LaterLockWaitMs = 500;
} // namespace

void EventQueue::openAtStart()
{
    store = std::make_unique<EventStore>(maxBytes);
    HeldMessages found;
    const EventStore::Opened opened = store->open(path, found, StartLockWaitMs);
    for (const QString &note : opened.notes)
        logEvent(u"queue: "_s + note);
    inWriter = new QObject;
    inWriter->moveToThread(&writer);
    connect(&writer, &QThread::finished, inWriter, &QObject::deleteLater);
    writer.setObjectName(u"queue writer"_s);
    writer.start();
    if (!opened.usable) {
        lastError = opened.problem;
        logEvent(u"queue: cannot use %1: %2; events and results are held in memory and sent, and written into the "
                 "file once it can be used (tried every second); until then a restart loses those not yet sent"_s
                     .arg(path, opened.problem));
        retryTimer.start();
        return;
    }
    fileUsable = true;
    takeOpened(std::move(found), opened);
    logEvent(u"queue: %1: %2 events and results wait from before the start; seq goes on after %3"_s.arg(path)
                 .arg(held.size())
                 .arg(seq));
}

// What a file held joins what is held in memory; the rest is not in that file.
void EventQueue::takeOpened(HeldMessages &&found, const EventStore::Opened &opened)
{
    held.setAllWritten(false);
    found.setAllWritten(true);
    if (!found.empty())
        lastSent = 0; // they are older: the pump goes back for them
    held.merge(std::move(found));
    seq = std::max(seq, opened.lastSeq);
    writtenUpTo = 0;
    removed = opened.leftOut;
    droppedSince += opened.leftOut.size();
    droppedTotal += opened.leftOut.size();
    if (!opened.leftOut.empty())
        logEvent(u"queue: %1 messages in %2 have a topic longer than MQTT allows: dropped"_s.arg(opened.leftOut.size())
                     .arg(path));
}

EventQueue::Batch EventQueue::nextBatch(size_t mostBytes)
{
    Batch b;
    size_t bytes = 0;
    int64_t last = writtenUpTo;
    bool full = false;
    held.forEachAfter(writtenUpTo, [&](const HeldMessages::Message &m) {
        if ((full = bytes >= mostBytes))
            return false;
        if (!m.written) {
            b.added.push_back({m.seq, m.topic.toByteArray(), m.payload.toByteArray()});
            bytes += size_t(m.topic.size() + m.payload.size() + RowOverhead);
        }
        last = m.seq;
        return true;
    });
    for (const QueuedMessage &m : b.added)
        held.setWritten(m.seq, true);
    b.upTo = full ? last : seq;
    b.mark = seq;
    b.removed = std::exchange(removed, {});
    return b;
}

void EventQueue::flush()
{
    if (!inWriter || writing || (fileUsable && writtenUpTo >= seq && removed.empty()))
        return;
    writing = true;
    removalTimer.stop();
    retryTimer.stop();
    // A long backlog goes in parts, so that the WAL stays within its share.
    auto batch = std::make_shared<Batch>(nextBatch(size_t(std::max<int64_t>(EventStore::walShare(maxBytes) / 4, 1))));
    QMetaObject::invokeMethod(inWriter, [this, batch] {
        auto result = std::make_shared<Synced>(sync(*batch));
        QMetaObject::invokeMethod(this, [this, batch, result] { onSynced(*batch, *result); });
    });
}

EventQueue::Synced EventQueue::sync(const Batch &batch)
{
    Synced r;
    if (const QString how = store->replaced(); !how.isEmpty()) {
        store->close(false);
        r.notes << u"%1 %2 while kalmird ran: a new file is started, and what is held in memory is written into it"_s
                       .arg(path, how);
    }
    if (store->isOpen()) {
        r.error = store->write(batch.added, batch.removed, batch.mark);
        return r;
    }
    r.found = std::make_shared<HeldMessages>();
    r.opening = store->open(path, *r.found, LaterLockWaitMs);
    r.notes += r.opening.notes;
    r.opened = r.opening.usable;
    r.error = r.opening.problem;
    return r;
}

void EventQueue::onSynced(const Batch &batch, const Synced &r)
{
    writing = false;
    // A file tried again every second and failing the same way is said once.
    if (r.opened || r.error.isEmpty() || r.error != lastError)
        for (const QString &note : r.notes)
            logEvent(u"queue: "_s + note);
    if (r.opened) {
        const size_t before = held.size();
        takeOpened(std::move(*r.found), r.opening);
        logEvent(u"queue: %1 can be used again: %2 events and results waited in it; the %3 held in memory are "
                 "written into it"_s.arg(path)
                     .arg(held.size() - before)
                     .arg(before));
        keepWithinBound(false);
        lastError.clear();
        flush();
        return;
    }
    if (!r.error.isEmpty()) {
        for (const QueuedMessage &m : batch.added)
            held.setWritten(m.seq, false);
        removed.insert(removed.begin(), batch.removed.begin(), batch.removed.end());
        // Said once per cause; the alarms still go out.
        if (r.error != lastError)
            logEvent(u"queue: cannot write to %1: %2; events and results are held in memory and sent, and written "
                     "into the file when it takes writes again; until then a restart loses those not yet sent"_s
                         .arg(path, r.error));
        lastError = r.error;
        fileUsable = false;
        durableUpTo = seq;
        retryTimer.start();
        pump();
        return;
    }
    if (!fileUsable)
        logEvent(u"queue: the file is written again"_s);
    fileUsable = true;
    lastError.clear();
    writtenUpTo = std::max(writtenUpTo, batch.upTo);
    durableUpTo = std::max(durableUpTo, batch.upTo);
    emit committed(batch.upTo);
    pump();
    if (writtenUpTo < seq)
        flush();
    else if (!removed.empty() && !removalTimer.isActive())
        removalTimer.start();
}

// Waits until no batch is on the writer thread and its outcome is taken in.
void EventQueue::settleWriter()
{
    while (writing) {
        QMetaObject::invokeMethod(inWriter, [] {}, Qt::BlockingQueuedConnection);
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    }
}

void EventQueue::commitNow()
{
    flushTimer.stop();
    removalTimer.stop();
    if (inWriter) {
        settleWriter();
        Batch batch = nextBatch(SIZE_MAX);
        if (!batch.added.empty() || !batch.removed.empty() || !fileUsable) {
            Synced result;
            QMetaObject::invokeMethod(inWriter, [&] { result = sync(batch); }, Qt::BlockingQueuedConnection);
            writing = true;
            onSynced(batch, result);
            settleWriter();
        }
    }
    durableUpTo = seq;
    pump();
}

EventQueue::~EventQueue()
{
    if (!inWriter)
        return;
    // What is still to be written goes to the file before the thread ends.
    commitNow();
    retryTimer.stop();
    writer.quit();
    writer.wait();
}
