#pragma once
#include <QByteArray>
#include <cstdint>
#include <optional>

// Modbus exception codes the gateway answers with itself.
namespace gatewayexception {
inline constexpr uint8_t IllegalFunction = 0x01;
inline constexpr uint8_t PathUnavailable = 0x0A;
inline constexpr uint8_t TargetFailed = 0x0B;
} // namespace gatewayexception

// Why a guest's request never reaches the line, and the exception it is
// answered with.
struct Refusal {
    uint8_t code;
    const char *why; // for the log line
};

// Functions that change a device: coils, registers, mask, read-and-write.
bool isWrite(uint8_t function);
// What may pass while writes are off: reading registers (functions 3 and
// 4) and the device's identification (43/14). Any other function may
// change a device (diagnostics restart one, a maker's own codes do what
// they do).
bool isRead(const QByteArray &request);

// The rules a guest request (address and PDU, no CRC) meets before it may
// wait for the line: broadcast and the addresses above 247 never go out;
// anything but a read only with `writesAllowed`; a write that reaches
// register 0 (a detector's address and speed) never, whatever the address:
// readdressing one that is not listed may put it on a listed one's address.
std::optional<Refusal> refusal(const QByteArray &request, bool writesAllowed);
