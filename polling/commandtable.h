#pragma once
#include "link/apperror.h"
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>

// Where a command's register value comes from when its request is built.
enum class ValueSource {
    None,         // no request is defined (codes 6, 7, 8)
    Fixed,        // CommandSpec::fixed
    Field,        // integer of the edit field CommandSpec::field
    G42,          // G_42 of the last status reply
    ConfigMark,   // ConfigMarkValue
    NewAddress,   // register 0: low byte of Edit2 as address, current BaudCode
    NewBaud,      // register 0: target address, baud code of cb7
    MaskSet,      // ChannelMask |= maskBit, then 768 + mask
    MaskClear,    // ChannelMask &= ~maskBit, then 768 + mask
    UvFaultHours, // edtNEW_DAT, refused unless a whole number 0..65535
};

struct CommandSpec {
    uint8_t code;
    uint16_t reg;
    ValueSource source;
    uint16_t fixed;
    const char *field; // edit field name for Field, NewAddress, UvFaultHours
    uint8_t maskBit;   // channel bit for MaskSet / MaskClear
};

inline constexpr uint8_t LastCommandCode = 41;

// The row of a command code; nullptr for 0 and codes above 41.
const CommandSpec *commandSpec(uint8_t code);

// A command that must not be sent at all: the caller drops the code.
// (A plain AppError, e.g. a bad integer text, keeps the code pending.)
class CommandRefused : public AppError {
public:
    using AppError::AppError;
};

// What the builder may read when the request is built.
struct CommandInputs {
    // Text of Edit2, Edit3, Edit4, Edit5, Edit12, Edit16, edt5 or edtNEW_DAT.
    std::function<QString(const char *fieldName)> fieldText;
    int cb7Index = -1;   // selected entry of the speed list, -1 for none
    QString cb7Text;     // text it shows
    uint8_t targetAddress = 0;
    uint8_t BaudCode = 0;
    int16_t G_42 = 0;
};

struct BuiltCommand {
    bool send = false;       // false: no request exists for this code
    uint16_t reg = 0;
    uint16_t value = 0;
    uint8_t keptAddress = 0; // code 1: the new address, for the acknowledgement
    uint8_t keptBaud = 0;    // code 2: the baud code sent, for the acknowledgement
};

// Builds the function-6 request of a code. Codes 10-15 change ChannelMask
// here, before anything is sent. Throws AppError for a bad integer text and
// CommandRefused for a value that must never reach the device. Codes
// without a row (0, above 41) give send=false like 6, 7 and 8.
BuiltCommand buildCommand(uint8_t code, const CommandInputs &in, uint8_t &ChannelMask);

// Speed list beside "Скорость:" and its baud codes, by entry.
inline constexpr std::array<const char *, 5> Cb7Items{"9600", "2400", "4800", "9600", "19200"};
inline constexpr std::array<uint8_t, 5> Cb7BaudCodes{8, 2, 4, 8, 16};

// Connection speed list; entry i runs at Cb2BaudRates[i] with code Cb2BaudCodes[i].
inline constexpr std::array<const char *, 5> Cb2Items{"1200", "2400", "4800", "9600", "19200"};
inline constexpr std::array<int32_t, 5> Cb2BaudRates{1200, 2400, 4800, 9600, 19200};
inline constexpr std::array<uint8_t, 5> Cb2BaudCodes{1, 2, 4, 8, 16};

struct BaudChoice {
    int cb2Index;
    int32_t baudRate;
};
// The cb2 entry and rate of a baud code; nullopt for codes other than 1, 2, 4, 8, 16.
std::optional<BaudChoice> baudChoiceForCode(uint8_t baudCode);
// The baud code of a cb2 entry; nullopt for no entry (-1) or out of range.
std::optional<uint8_t> cb2BaudCode(int index);
