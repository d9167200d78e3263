#pragma once
#include <array>
#include <cstdint>

inline constexpr uint8_t RequestLength = 8;
inline constexpr uint16_t ExpectedReplyLength = 53;
// Where the reply starts inside the exchange buffer.
inline constexpr int ReplyOffset = 8;

inline constexpr uint8_t FnReadHolding = 3;
inline constexpr uint8_t FnWriteSingle = 6;

// An exception reply: the request's function code with this bit set, and
// five bytes in all (address, function, code, CRC), the shortest answer there is.
inline constexpr uint8_t ExceptionBit = 0x80;
inline constexpr int ExceptionReplyLength = 5;

// The length of the answer a request asks for: a read's 5 + 2 per
// register, a write's echo 8.
int answerLength(const uint8_t *request);

// True when the first `count` reply bytes are a whole frame answering this
// request, so that no more can belong to it: the 8-byte echo of a write,
// equal to the request in every byte, or a 5-byte exception reply from the
// same address to the same function with a good CRC. (A 53-byte status
// reply ends a read by its length.)
bool replyComplete(const uint8_t *request, const uint8_t *reply, int count);

// The fewest further bytes after which the first `count` reply bytes could
// be a whole answer to this request (at least 1): the frame's length, as far
// as its function code tells it, less what is in. 1 for bytes that are no
// answer we know, so that each new byte is looked at.
int replyBytesAwaited(const uint8_t *request, const uint8_t *reply, int count);

// The longest request a guest of the line may send, without its CRC.
inline constexpr int MaxGuestRequest = 254;
// The longest answer any request may get: a read's by its quantity (from
// the request's first 6 bytes), a write's 8 or 10, else the RTU frame's 256
// less nothing we could know; at most 255 (what a count can hold).
int longestAnswer(const uint8_t *request);
// How long a guest's read waits, in bytes of the read time per byte: the
// longest answer of a function whose answer's length we know (53 at
// least); 53 for any other, whose answer ends by that window alone, the one
// every read gets.
int answerWindowBytes(const uint8_t *request);
// For any function: 0 when the first `count` bytes are a whole answer by
// the length its function code gives (an exception reply 5), else how many
// more bytes at least. Unknown functions end by the read window alone.
int answerBytesAwaited(uint8_t function, const uint8_t *reply, int count);

// The exchange buffer every transaction uses (the session keeps one): the
// request in bytes 0-7, the reply from byte 8. Never cleared, so only the first `count` reply bytes of a
// transaction belong to it; the rest may be left over from an earlier reply.
struct FrameBuffer {
    // 8 + 255: a reply count is an 8-bit value, so every count from 0 to 255
    // stays inside the buffer.
    std::array<uint8_t, ReplyOffset + 255> bytes{};
    uint16_t requestCrc = 0;
    uint16_t replyCrc = 0;

    uint8_t *request() { return bytes.data(); }
    const uint8_t *request() const { return bytes.data(); }
    uint8_t *reply() { return bytes.data() + ReplyOffset; }
    const uint8_t *reply() const { return bytes.data() + ReplyOffset; }
    // Reply byte i (i counted from the reply's first byte).
    uint8_t at(int i) const { return bytes[ReplyOffset + i]; }

    // Fills bytes 0-7: address, function, register, value (high byte first), CRC (low first).
    void buildRequest(uint8_t address, uint8_t function, uint16_t reg, uint16_t value);
    // CRC over the 6 request bytes before the CRC, left in requestCrc.
    void computeRequestCrc();
    // CRC over the first count-2 reply bytes, left in replyCrc; 0xFFFF for a count below 3.
    void computeReplyCrc(uint8_t count);
    // The reply check: a count of at least 3 whose last two bytes are replyCrc, low byte first.
    bool replyCrcOk(uint8_t count);
};
