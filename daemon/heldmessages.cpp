#include "daemon/heldmessages.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <sys/mman.h>

namespace {
// Waste beyond this (blocks kept by a few messages, entries of messages
// gone) packs the messages anew.
constexpr int64_t MostWaste = 4 * int64_t(HeldMessages::BlockSize);
} // namespace

HeldMessages::~HeldMessages()
{
    release();
}

HeldMessages::HeldMessages(HeldMessages &&other) noexcept
{
    *this = std::move(other);
}

HeldMessages &HeldMessages::operator=(HeldMessages &&other) noexcept
{
    if (this != &other) {
        release();
        entries = std::move(other.entries);
        blocks = std::move(other.blocks);
        firstBlock = other.firstBlock;
        appendBlock = other.appendBlock;
        live = std::exchange(other.live, 0);
        dead = std::exchange(other.dead, 0);
        liveBytes = std::exchange(other.liveBytes, 0);
        mapped = std::exchange(other.mapped, 0);
        other.entries.clear();
        other.blocks.clear();
        other.appendBlock = UINT32_MAX;
    }
    return *this;
}

void HeldMessages::release()
{
    for (Block &b : blocks)
        if (b.data)
            giveBack(b);
    blocks.clear();
    entries.clear();
    live = dead = 0;
    liveBytes = mapped = 0;
    appendBlock = UINT32_MAX;
}

int64_t HeldMessages::memory() const
{
    return mapped + int64_t(entries.size() * sizeof(Slot));
}

char *HeldMessages::room(uint32_t bytes, uint32_t *block, uint32_t *offset)
{
    if (appendBlock != UINT32_MAX) {
        Block &b = blocks[appendBlock - firstBlock];
        if (b.capacity - b.used >= bytes) {
            *block = appendBlock;
            *offset = b.used;
            b.used += bytes;
            return b.data + *offset;
        }
        if (b.live == 0)
            giveBack(b);
    }
    // A message longer than a block gets a block of its own size.
    const uint32_t capacity = std::max(bytes, BlockSize);
    void *data = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED)
        throw std::bad_alloc();
    blocks.push_back({static_cast<char *>(data), capacity, bytes, 0});
    mapped += capacity;
    appendBlock = firstBlock + uint32_t(blocks.size() - 1);
    *block = appendBlock;
    *offset = 0;
    return blocks.back().data;
}

void HeldMessages::giveBack(Block &b)
{
    ::munmap(b.data, b.capacity);
    mapped -= b.capacity;
    b.data = nullptr;
}

bool HeldMessages::append(int64_t seq, QByteArrayView topic, QByteArrayView payload, bool written)
{
    if (size_t(topic.size()) > LongestTopic || payload.size() > INT32_MAX - qsizetype(LongestTopic))
        return false;
    Slot s{seq, 0, 0, uint32_t(payload.size()), uint16_t(topic.size()), true, written};
    char *at = room(uint32_t(topic.size() + payload.size()), &s.block, &s.offset);
    if (!topic.isEmpty())
        std::memcpy(at, topic.data(), size_t(topic.size()));
    if (!payload.isEmpty())
        std::memcpy(at + topic.size(), payload.data(), size_t(payload.size()));
    ++blockOf(s).live;
    entries.push_back(s);
    ++live;
    liveBytes += topic.size() + payload.size();
    return true;
}

HeldMessages::Message HeldMessages::message(const Slot &s) const
{
    const char *at = blocks[s.block - firstBlock].data + s.offset;
    return {s.seq, QByteArrayView(at, s.topicSize), QByteArrayView(at + s.topicSize, s.payloadSize), s.written};
}

size_t HeldMessages::firstAfter(int64_t seq) const
{
    return size_t(std::upper_bound(entries.begin(), entries.end(), seq, [](int64_t v, const Slot &s) { return v < s.seq; })
                  - entries.begin());
}

HeldMessages::Slot *HeldMessages::find(int64_t seq)
{
    for (size_t i = firstAfter(seq - 1); i < entries.size() && entries[i].seq == seq; ++i)
        if (entries[i].live)
            return &entries[i];
    return nullptr;
}

bool HeldMessages::remove(int64_t seq, bool *written)
{
    Slot *s = find(seq);
    if (!s)
        return false;
    if (written)
        *written = s->written;
    s->live = false;
    --live;
    ++dead;
    liveBytes -= s->topicSize + int64_t(s->payloadSize);
    Block &b = blockOf(*s);
    if (--b.live == 0 && s->block != appendBlock)
        giveBack(b);
    trimFront();
    packIfWasteful();
    return true;
}

void HeldMessages::trimFront()
{
    while (!entries.empty() && !entries.front().live) {
        entries.pop_front();
        --dead;
    }
    while (!blocks.empty() && !blocks.front().data) {
        blocks.pop_front();
        ++firstBlock;
    }
}

void HeldMessages::packIfWasteful()
{
    const int64_t unusedTail =
        appendBlock == UINT32_MAX ? 0 : blocks[appendBlock - firstBlock].capacity - blocks[appendBlock - firstBlock].used;
    if (mapped - liveBytes - unusedTail + int64_t(dead * sizeof(Slot)) <= MostWaste)
        return;
    HeldMessages packed;
    forEachAfter(INT64_MIN, [&](const Message &m) { return packed.append(m.seq, m.topic, m.payload, m.written); });
    *this = std::move(packed);
}

bool HeldMessages::oldest(Message *out) const
{
    if (live == 0)
        return false;
    *out = message(entries.front()); // trimFront() keeps the front live
    return true;
}

void HeldMessages::setWritten(int64_t seq, bool written)
{
    if (Slot *s = find(seq))
        s->written = written;
}

void HeldMessages::setAllWritten(bool written)
{
    for (Slot &s : entries)
        s.written = written;
}

void HeldMessages::merge(HeldMessages &&older)
{
    if (older.live == 0)
        return;
    // The usual cases, a start and a file read late, with no copy of the entries.
    if (live == 0) {
        *this = std::move(older);
        return;
    }
    if (older.entries.back().seq < entries.front().seq) {
        const uint32_t first = firstBlock - uint32_t(older.blocks.size());
        for (Slot &s : older.entries)
            s.block += first - older.firstBlock;
        for (auto b = older.blocks.rbegin(); b != older.blocks.rend(); ++b)
            blocks.push_front(*b);
        firstBlock = first;
        entries.insert(entries.begin(), older.entries.begin(), older.entries.end());
        dead += std::exchange(older.dead, 0);
        live += std::exchange(older.live, 0);
        liveBytes += std::exchange(older.liveBytes, 0);
        mapped += std::exchange(older.mapped, 0);
        older.blocks.clear();
        older.release();
        return;
    }
    const uint32_t shift = firstBlock + uint32_t(blocks.size()) - older.firstBlock;
    for (const Block &b : older.blocks)
        blocks.push_back(b);
    std::deque<Slot> merged;
    auto a = entries.begin(), b = older.entries.begin();
    // Equal seqs (only from a clock set back between two files) are both kept.
    while (a != entries.end() || b != older.entries.end()) {
        const bool fromOlder = a == entries.end() || (b != older.entries.end() && b->seq <= a->seq);
        Slot s = fromOlder ? *b++ : *a++;
        if (fromOlder)
            s.block += shift;
        if (s.live)
            merged.push_back(s);
    }
    entries = std::move(merged);
    dead = 0;
    live += std::exchange(older.live, 0);
    liveBytes += std::exchange(older.liveBytes, 0);
    mapped += std::exchange(older.mapped, 0);
    older.blocks.clear(); // they are ours now
    older.release();
    trimFront();
}
