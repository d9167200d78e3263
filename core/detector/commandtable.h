#pragma once
#include "link/failure.h"
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>

// The write commands a user action (or the configuration-mark rule) can
// queue, by their codes 1..41; None is the empty slot.
enum class Command : uint8_t {
    None = 0,
    WriteAddress = 1,
    WriteBaud = 2,
    WriteDustThreshold = 3,
    WriteIrThreshold = 4,
    WriteUvThreshold = 5,
    Unused6 = 6,
    Unused7 = 7,
    CalibrateIr = 8,
    CalibrateUv = 9,
    DustChannelOn = 10,
    DustChannelOff = 11,
    IrChannelOn = 12,
    IrChannelOff = 13,
    UvChannelOn = 14,
    UvChannelOff = 15,
    ResetSettings = 16,
    ResetFire = 17,
    IrStepUp = 18,
    IrStepDown = 19,
    UvStepUp = 20,
    UvStepDown = 21,
    CalibrationModeOn = 22,
    CalibrationModeOff = 23,
    TestOn = 24,
    CalibrationMode4 = 25,
    WriteSerialNumber = 26,
    ToggleResponseSpeed = 27,
    ToggleRange = 28,
    ToggleFireLatch = 29,
    ToggleFireRelay = 30,
    ToggleFaultRelay = 31,
    DustAutoCalibration = 32,
    ToggleHeater = 33,
    WriteHeaterPoint = 34,
    EnterPassword = 35,
    WriteConfigMark = 36,
    ResetCounters = 37,
    ResetDustSettings = 38,
    ToggleFaultLatch = 39,
    WriteUvFaultTime = 40,
    HartOn = 41,
};

// Where a command's register value comes from when its request is built.
enum class ValueSource {
    None,         // no request is defined (codes 6, 7, 8)
    Fixed,        // CommandSpec::fixed
    Field,        // integer of the text the command's field shows
    G42,          // G_42 of the target's last status reply
    ConfigMark,   // ConfigMarkValue
    NewAddress,   // register 0: low byte of the new address, current baud code
    NewBaud,      // register 0: target address, baud code of the chosen new speed
    MaskSet,      // channel mask |= maskBit, then 768 + mask
    MaskClear,    // channel mask &= ~maskBit, then 768 + mask
    UvFaultHours, // the UV fault time, refused unless a whole number 0..65535
};

struct CommandSpec {
    uint8_t code;
    uint16_t reg;
    ValueSource source;
    uint16_t fixed;
    uint8_t maskBit;   // channel bit for MaskSet / MaskClear
};

inline constexpr uint8_t LastCommandCode = 41;

// The row of a command code; nullptr for 0 and codes above 41.
const CommandSpec *commandSpec(uint8_t code);

// Codes 10-15: they set or clear one channel bit.
bool changesChannels(Command command);

// Reads the value of a window's command from its field, already parsed by
// the window (a failure when its text is no value); called when the request
// is built, so an edit made after the command was stored is sent. For the
// new speed it gives the baud code chosen.
using ValueReader = std::function<Result<int32_t>()>;

// What the builder may read when the request is built.
struct CommandInputs {
    ValueReader readValue; // the window's field of this command, if it has one
    uint8_t targetAddress = 0;
    uint8_t baudCode = 0;
    std::optional<int16_t> g42; // the target's, none until it has answered
    // A value handed over with the command (kalmird's): used in place of the
    // field, and refused when outside the command's range.
    std::optional<int32_t> value;
};

// The integer a command's register takes as the detector reads it back:
// nullopt for the commands that take no typed value (or whose value is
// chosen from a list).
struct ValueRange {
    int32_t min, max;
};
std::optional<ValueRange> commandValueRange(Command command);
// The command whose typed value a write register takes (a threshold, the
// serial number, the password, ...), None for a register written with fixed
// or built values.
Command typedValueCommand(uint16_t writeRegister);
// Whether a value may be written by this command unchanged.
bool valueInRange(Command command, int32_t value);
// The same for a register value as the line carries it (16 bits), read
// signed where the command's range reaches below zero.
bool wireValueInRange(Command command, uint16_t wire);

struct BuiltCommand {
    bool send = false;       // false: no request exists for this code
    uint16_t reg = 0;
    uint16_t value = 0;
    uint8_t keptAddress = 0; // code 1: the new address, for the acknowledgement
    uint8_t keptBaud = 0;    // code 2: the baud code sent, for the acknowledgement
};

// Builds the function-6 request of a code. Codes 10-15 change the channel mask
// here, before anything is sent. Fails with the reader's failure for a field
// that holds no value (BadInteger: the caller keeps the code pending) and
// with another kind for a value that must never reach the device (the caller
// drops the code). Codes
// without a row (0, above 41) give send=false like 6, 7 and 8.
Result<BuiltCommand> buildCommand(Command command, const CommandInputs &in, uint8_t &channelMask);

// Connection speed list; entry i runs at LineSpeedRates[i] with code LineSpeedCodes[i].
inline constexpr std::array<const char *, 5> LineSpeedItems{"1200", "2400", "4800", "9600", "19200"};
inline constexpr std::array<int32_t, 5> LineSpeedRates{1200, 2400, 4800, 9600, 19200};
inline constexpr std::array<uint8_t, 5> LineSpeedCodes{1, 2, 4, 8, 16};

struct BaudChoice {
    int entry;
    int32_t baudRate;
};
// The line-speed entry and rate of a baud code; nullopt for codes other than 1, 2, 4, 8, 16.
std::optional<BaudChoice> baudChoiceForCode(uint8_t baudCode);
// The baud code of a line-speed entry; nullopt for no entry (-1) or out of range.
std::optional<uint8_t> lineSpeedCode(int index);
