#pragma once
#include "link/frames.h"
#include "link/linechannel.h"

#include <QByteArray>
#include <algorithm>
#include <array>
#include <cstddef>

// The times a guest request may take on the line, at the line's speed, one
// character being 10 bits: charMs.
namespace guestclock {

// The read window of a client on the RTU port, as the window counts it: 10 ms
// for each of 53 bytes and 1 ms after its request has left.
inline constexpr double ReadWindowMs = 10.0 * 53 + 1;
// Kept in hand for the answer to reach an RTU client before its window closes.
inline constexpr double AnswerMarginMs = 5;

// On the line from the gap before the request to the end of a reply of
// `replyBytes` and the gap after it.
inline double exchangeMs(int requestBytes, int replyBytes, double charMs)
{
    return (3.5 + requestBytes + 3.5 + replyBytes) * charMs;
}

// A guest's request (address and PDU) as the line reads its answer: the
// longest answer it may get, and the bytes its read window is timed for (an
// answer of a function we do not know ends by that window alone).
struct AnswerBound {
    int longest = 0;
    int windowBytes = 0;
    bool endsByLength = true; // false: even a prompt answer holds the line for the whole window
};
inline AnswerBound answerTo(const QByteArray &request)
{
    std::array<uint8_t, RequestLength> head{};
    std::copy_n(request.constData(), std::min<qsizetype>(request.size(), RequestLength), head.begin());
    const int longest = longestAnswer(head.data()), window = answerWindowBytes(head.data());
    return {longest, window, window >= longest};
}

// The longest a request of `requestBytes` (CRC included) can hold the line:
// a target that never answers keeps it for the whole read window, which the
// line opens for at least 53 bytes, and then for one more, in which a late
// answer may still come (LineService::setAwaitLateAnswers).
inline double worstMs(int requestBytes, int windowBytes, double charMs)
{
    const LineChannel::Timing t;
    return (3.5 + requestBytes) * charMs
           + double(t.readMsPerByte) * std::max<int>(ExpectedReplyLength, windowBytes) + t.readConstantMs
           + ReadWindowMs;
}

// The median of the latest own exchanges, a probe's long window or a pause
// of the watch counting as one among many.
class Pace {
public:
    void note(double ms)
    {
        recent[next++ % recent.size()] = ms;
    }
    double median() const
    {
        const std::size_t n = std::min(next, recent.size());
        if (n == 0)
            return 0;
        std::array<double, 32> v = recent;
        std::nth_element(v.begin(), v.begin() + n / 2, v.begin() + n);
        return v[n / 2];
    }

private:
    std::array<double, 32> recent{};
    std::size_t next = 0;
};

} // namespace guestclock
