#pragma once
#include <QByteArray>
#include <QString>
#include <cstdint>

// One frame on the line as the program saw it, with its times on the line
// (the channel's clock, ms) and what it turned out to be.
enum class FrameDirection : uint8_t { Request, Reply, Stray };

enum class FrameVerdict : uint8_t {
    None,       // a request
    Status,     // a status reply
    Echo,       // the echo of a write
    Exception,  // an exception reply
    Unexpected, // a good CRC, but not an answer to this request
    CrcError,
    Cut,        // fewer bytes than the answer has, the CRC failing
    Timeout,    // nothing came in the read window
    Noise,      // bytes that belong to no exchange
};

struct FrameRecord {
    FrameDirection direction = FrameDirection::Request;
    FrameVerdict verdict = FrameVerdict::None;
    QByteArray bytes;
    int address = -1;  // -1: none (noise)
    int function = -1;
    int exceptionCode = 0;
    int expectedLength = 0; // with Cut: how long the answer is
    double startMs = 0;     // the first character begins (a time-out: the window ends)
    double endMs = 0;       // the last character ends
    qint64 wallMs = 0;      // startMs on the wall clock, ms since the epoch
    double charMs = 1;      // one character at the line's speed
    double sincePreviousMs = -1; // from the previous frame's end; -1: the first
    double answerAfterMs = -1;   // a reply: from the request's end to its start
    double spanMs = -1;          // a reply: its own span on the line
};

// "статус", "исключение 2", "обрыв: 20 из 53", ...; empty for a request.
QString verdictText(const FrameRecord &record);
// The verdict's name without its numbers, for a filter list.
QString verdictName(FrameVerdict verdict);
// "→", "←" or "~".
QString directionText(FrameDirection direction);
// A time in ms with one decimal and a decimal comma; empty below 0.
QString msText(double ms);
