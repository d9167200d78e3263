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

// The rules a guest request (address and PDU, no CRC) meets before it may
// wait for the line: broadcast and the addresses above 247 never go out;
// writes only with `writesAllowed`; a write that reaches register 0 (a
// detector's address and speed) of a `listed` detector never.
std::optional<Refusal> refusal(const QByteArray &request, bool writesAllowed, bool listed);
