#include "daemon/gateway/guestrules.h"

namespace {
// The first register a write touches (a short request counts as register 0,
// since what it would touch cannot be told).
int writeStart(const QByteArray &request)
{
    if (request.size() < 4)
        return 0;
    // Function 23 reads first, then writes from bytes 6 and 7.
    const int at = uint8_t(request[1]) == 23 ? 6 : 2;
    if (request.size() < at + 2)
        return 0;
    return uint8_t(request[at]) << 8 | uint8_t(request[at + 1]);
}
} // namespace

bool isWrite(uint8_t function)
{
    switch (function) {
    case 5: case 6: case 15: case 16: case 22: case 23:
        return true;
    default:
        return false;
    }
}

bool isRead(const QByteArray &request)
{
    switch (uint8_t(request.at(1))) {
    case 3: case 4:
        return true;
    case 43: // its MEI type 14 only: others carry a maker's own requests
        return request.size() > 2 && uint8_t(request[2]) == 14;
    default:
        return false;
    }
}

std::optional<Refusal> refusal(const QByteArray &request, bool writesAllowed)
{
    using namespace gatewayexception;
    const uint8_t address = uint8_t(request.at(0));
    if (address == 0)
        return Refusal{PathUnavailable, "broadcast refused"};
    if (address > 247)
        return Refusal{PathUnavailable, "no such address"};
    if (request.size() < 2)
        return Refusal{IllegalFunction, "no function code"};
    if (isRead(request))
        return std::nullopt;
    const bool write = isWrite(uint8_t(request[1]));
    if (!writesAllowed)
        return Refusal{IllegalFunction, write ? "write refused: writes are off"
                                              : "refused: only reads pass while writes are off"};
    if (write && writeStart(request) == 0)
        return Refusal{IllegalFunction, "write to register 0 refused"};
    return std::nullopt;
}
