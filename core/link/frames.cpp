#include "link/frames.h"
#include "link/crc.h"
#include <algorithm>

void FrameBuffer::buildRequest(uint8_t address, uint8_t function, uint16_t reg, uint16_t value)
{
    bytes[0] = address;
    bytes[1] = function;
    bytes[2] = uint8_t(reg >> 8);
    bytes[3] = uint8_t(reg & 0xFF);
    bytes[4] = uint8_t(value >> 8);
    bytes[5] = uint8_t(value & 0xFF);
    computeRequestCrc();
    bytes[6] = uint8_t(requestCrc & 0xFF);
    bytes[7] = uint8_t(requestCrc >> 8);
}

void FrameBuffer::computeRequestCrc()
{
    requestCrc = crc16Modbus(bytes.data(), RequestLength - 2);
}

void FrameBuffer::computeReplyCrc(uint8_t count)
{
    replyCrc = count < 3 ? 0xFFFF : crc16Modbus(reply(), std::size_t(count) - 2);
}

bool FrameBuffer::replyCrcOk(uint8_t count)
{
    if (count < 3)
        return false;
    computeReplyCrc(count);
    return at(count - 2) == (replyCrc & 0xFF) && at(count - 1) == (replyCrc >> 8);
}

bool replyComplete(const uint8_t *request, const uint8_t *reply, int count)
{
    if (count == RequestLength && request[1] == FnWriteSingle)
        return std::equal(request, request + RequestLength, reply);
    if (count == ExceptionReplyLength && reply[0] == request[0] && reply[1] == (request[1] | ExceptionBit)) {
        const uint16_t crc = crc16Modbus(reply, 3);
        return reply[3] == (crc & 0xFF) && reply[4] == (crc >> 8);
    }
    return false;
}

int answerLength(const uint8_t *request)
{
    if (request[1] == FnReadHolding)
        return 5 + 2 * ((request[4] << 8) | request[5]);
    return RequestLength;
}

int replyBytesAwaited(const uint8_t *request, const uint8_t *reply, int count)
{
    if (count < 2)
        return ExceptionReplyLength - count;
    int whole = 0;
    if (reply[1] == (request[1] | ExceptionBit))
        whole = ExceptionReplyLength;
    else if (reply[1] == request[1] && (request[1] == FnWriteSingle || request[1] == FnReadHolding))
        whole = answerLength(request);
    return std::max(1, whole - count);
}

namespace {
// The answer's length as its function code and first bytes give it; 0: not known yet or never.
int answerLengthByFunction(uint8_t function, const uint8_t *reply, int count)
{
    if (reply[1] & ExceptionBit)
        return ExceptionReplyLength;
    switch (function) {
    case 1: case 2: case 3: case 4: case 23: // a byte count, the data, the CRC
        return count >= 3 ? 5 + reply[2] : 0;
    case 5: case 6: case 15: case 16: return 8;
    case 22: return 10;
    default: return 0;
    }
}
} // namespace

namespace {
// 0: a function whose answer's length we cannot tell.
int knownLongestAnswer(const uint8_t *request)
{
    const int quantity = (request[4] << 8) | request[5];
    switch (request[1]) {
    case 1: case 2: return std::min(255, 5 + (quantity + 7) / 8);
    case 3: case 4: return std::min(255, 5 + 2 * quantity);
    case 5: case 6: case 15: case 16: return 8;
    case 22: return 10;
    default: return 0;
    }
}
} // namespace

int longestAnswer(const uint8_t *request)
{
    const int known = knownLongestAnswer(request);
    return known > 0 ? known : 255;
}

int answerWindowBytes(const uint8_t *request)
{
    return std::max<int>(ExpectedReplyLength, knownLongestAnswer(request));
}

int answerBytesAwaited(uint8_t function, const uint8_t *reply, int count)
{
    if (count < 2)
        return ExceptionReplyLength - count;
    const int whole = answerLengthByFunction(function, reply, count);
    if (whole == 0)
        return 1;
    return std::max(0, whole - count);
}
