#pragma once
#include <QString>
#include <cstdint>

struct FrameBuffer;

// What a reply with a correct CRC turned out to be.
enum class ReplyKind {
    Status,     // 53 bytes, function 3, byte count 48
    Echo,       // 8 bytes equal to the 8 request bytes
    Exception,  // 5 bytes, function code with bit 0x80
    Unexpected, // anything else
};

// Classifies the first count reply bytes of buf against the request in buf.
// A status read can only be answered by Status, a write only by Echo.
ReplyKind classifyReply(const FrameBuffer &buf, uint8_t count, bool wasStatusRead);

// The reply-log line for an Exception or Unexpected reply, e.g.
// "Исключение 2:  1  134  2  195  161" or "Неожиданный ответ:  1  3  2  0  7  ...":
// what it is, the exception code, then the count received bytes as unsigned
// decimals separated by two spaces. Empty for Status and Echo.
QString refusedReplyLine(ReplyKind kind, const FrameBuffer &buf, uint8_t count);
