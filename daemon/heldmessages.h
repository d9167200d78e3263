#pragma once
#include <QByteArrayView>
#include <cstdint>
#include <deque>

// The queue's messages in memory, in seq order, kept compact so that the
// queue's bound bounds its memory too: the topics and payloads lie one after
// another in blocks of BlockSize taken from the system directly (a block
// given back is memory given back, whatever the allocator keeps), and each
// message has an entry of 24 bytes. A message costs its topic, its payload
// and some 25 bytes (the entry and its share of the index); what is not
// used, a block part filled and entries of messages gone, stays below a
// few blocks, or the messages are packed anew.
class HeldMessages {
public:
    static constexpr uint32_t BlockSize = 256 * 1024;
    static constexpr size_t LongestTopic = 65535; // MQTT's own limit

    struct Message {
        int64_t seq = 0;
        QByteArrayView topic;   // UTF-8
        QByteArrayView payload; // without seq
        bool written = false;   // handed to the file
    };

    HeldMessages() = default;
    ~HeldMessages();
    HeldMessages(HeldMessages &&other) noexcept;
    HeldMessages &operator=(HeldMessages &&other) noexcept;
    HeldMessages(const HeldMessages &) = delete;
    HeldMessages &operator=(const HeldMessages &) = delete;

    size_t size() const { return live; }
    bool empty() const { return live == 0; }
    // The topics' and payloads' bytes of the messages held.
    int64_t bytes() const { return liveBytes; }
    // The memory taken: the blocks and the entries.
    int64_t memory() const;

    // Appends a message above every seq held; false for a topic longer
    // than MQTT allows (nothing is held then).
    bool append(int64_t seq, QByteArrayView topic, QByteArrayView payload, bool written = false);
    // Takes every message of `older` in; they join in seq order.
    void merge(HeldMessages &&older);
    // Removes the message of this seq; false when none is held. `written`
    // tells whether it had been handed to the file.
    bool remove(int64_t seq, bool *written = nullptr);
    bool oldest(Message *out) const;
    void setWritten(int64_t seq, bool written);
    void setAllWritten(bool written);

    // Calls f(message) for the messages above seq `after`, in order, while it returns true.
    template <class F> void forEachAfter(int64_t after, F f) const
    {
        for (size_t i = firstAfter(after); i < entries.size(); ++i)
            if (entries[i].live && !f(message(entries[i])))
                return;
    }

private:
    struct Slot {
        int64_t seq;
        uint32_t block; // its number since the first block ever
        uint32_t offset;
        uint32_t payloadSize;
        uint16_t topicSize;
        bool live;
        bool written;
    };
    static_assert(sizeof(Slot) == 24);
    struct Block {
        char *data = nullptr; // nullptr: given back
        uint32_t capacity = 0;
        uint32_t used = 0;
        uint32_t live = 0;
    };

    size_t firstAfter(int64_t seq) const;
    Slot *find(int64_t seq);
    Message message(const Slot &s) const;
    Block &blockOf(const Slot &s) { return blocks[s.block - firstBlock]; }
    char *room(uint32_t bytes, uint32_t *block, uint32_t *offset);
    void giveBack(Block &b);
    void trimFront();
    void packIfWasteful();
    void release();

    std::deque<Slot> entries;   // by seq
    std::deque<Block> blocks; // blocks.front() is number firstBlock
    uint32_t firstBlock = 0;
    uint32_t appendBlock = UINT32_MAX; // the block new messages go to
    size_t live = 0;
    size_t dead = 0; // entries of messages gone, still in `entries`
    int64_t liveBytes = 0;
    int64_t mapped = 0; // bytes of the blocks not given back
};
