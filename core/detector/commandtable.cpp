#include "detector/commandtable.h"
#include "link/inttext.h"
#include "detector/devicestatus.h"
#include "detector/registermap.h"

namespace {
using VS = ValueSource;

constexpr CommandSpec fixedValue(uint8_t code, uint16_t reg, uint16_t value)
{
    return {code, reg, VS::Fixed, value, 0};
}
constexpr CommandSpec maskChange(uint8_t code, VS source, uint8_t bit)
{
    return {code, wreg::Channels, source, 0, bit};
}
constexpr CommandSpec of(uint8_t code, uint16_t reg, VS source)
{
    return {code, reg, source, 0, 0};
}

constexpr std::array<CommandSpec, LastCommandCode> Commands{{
    of(1, wreg::AddressAndSpeed, VS::NewAddress),
    of(2, wreg::AddressAndSpeed, VS::NewBaud),
    of(3, wreg::DustThreshold, VS::Field),
    of(4, wreg::IrThreshold, VS::Field),
    of(5, wreg::UvThreshold, VS::Field),
    of(6, 0, VS::None),
    of(7, 0, VS::None),
    // IR calibration: the device defines no register for it, so it writes nothing.
    of(8, 0, VS::None),
    of(9, wreg::UvCalibration, VS::G42),
    maskChange(10, VS::MaskSet, channelbit::Dust),
    maskChange(11, VS::MaskClear, channelbit::Dust),
    maskChange(12, VS::MaskSet, channelbit::Ir),
    maskChange(13, VS::MaskClear, channelbit::Ir),
    maskChange(14, VS::MaskSet, channelbit::Uv),
    maskChange(15, VS::MaskClear, channelbit::Uv),
    fixedValue(16, wreg::Channels, 256),
    fixedValue(17, wreg::FireReset, 1),
    fixedValue(18, wreg::IrGainStep, 1),
    fixedValue(19, wreg::IrGainStep, 2),
    fixedValue(20, wreg::UvGainStep, 1),
    fixedValue(21, wreg::UvGainStep, 2),
    fixedValue(22, wreg::Calibration, 1),
    fixedValue(23, wreg::Calibration, 2),
    fixedValue(24, wreg::Calibration, 3),
    fixedValue(25, wreg::Calibration, 4),
    of(26, wreg::Serial, VS::Field),
    fixedValue(27, wreg::Modes, 1),
    fixedValue(28, wreg::Modes, 2),
    fixedValue(29, wreg::Modes, 3),
    fixedValue(30, wreg::Modes, 4),
    fixedValue(31, wreg::Modes, 5),
    fixedValue(32, wreg::DustAutoCalibration, 1),
    fixedValue(33, wreg::Modes, 6),
    of(34, wreg::HeaterPoint, VS::Field),
    of(35, wreg::Password, VS::Field),
    of(36, wreg::ConfigMark, VS::ConfigMark),
    fixedValue(37, wreg::ResetCounters, 0),
    fixedValue(38, wreg::ResetDustSettings, 0),
    fixedValue(39, wreg::Modes, 7),
    of(40, wreg::UvFaultTime, VS::UvFaultHours),
    fixedValue(41, wreg::Hart, 1),
}};

constexpr bool rowsInCodeOrder()
{
    for (std::size_t i = 0; i < Commands.size(); ++i)
        if (Commands[i].code != i + 1)
            return false;
    return true;
}
static_assert(rowsInCodeOrder(), "commandSpec() indexes the table by code");

// The channel register carries 3 in its high byte and the enable bits in its low byte.
constexpr uint16_t ChannelWriteBase = 768;

uint16_t registerZero(uint8_t address, uint8_t baudCode)
{
    return uint16_t(address << 8 | baudCode);
}

// What each value command's register holds as the detector reports it in
// its status block: a value outside it would be cut to its low 16 bits and
// come back as another number.
constexpr ValueRange Signed16{-32768, 32767}, Unsigned16{0, 65535};
// A threshold below zero is read by the detector as a huge one (-1 turns a
// fire channel off), and one above 32767 comes back negative.
constexpr ValueRange Threshold{0, 32767};
struct CommandRange {
    Command command;
    ValueRange range;
};
constexpr CommandRange ValueRanges[] = {
    {Command::WriteAddress, {1, 247}},
    {Command::WriteDustThreshold, Threshold},
    {Command::WriteIrThreshold, Threshold},
    {Command::WriteUvThreshold, Threshold},
    {Command::WriteSerialNumber, Unsigned16}, // read back unsigned
    {Command::WriteHeaterPoint, Signed16},    // degrees Celsius, below zero too
    {Command::EnterPassword, Unsigned16},     // compared as a whole 16-bit pattern
    {Command::WriteUvFaultTime, Unsigned16},  // whole hours
};

// The value a command takes: kalmird's handed-over one, else the window's
// field. Every window command that takes a value stores its reader; one
// without is refused unsent.
Result<int32_t> valueOf(const CommandInputs &in)
{
    if (in.value)
        return *in.value;
    if (!in.readValue)
        return Failure::of(Failure::Kind::NoValue);
    return in.readValue();
}

} // namespace

std::optional<ValueRange> commandValueRange(Command command)
{
    for (const CommandRange &r : ValueRanges)
        if (r.command == command)
            return r.range;
    return std::nullopt;
}

Command typedValueCommand(uint16_t writeRegister)
{
    for (const CommandSpec &row : Commands)
        if (row.reg == writeRegister && (row.source == VS::Field || row.source == VS::UvFaultHours))
            return Command(row.code);
    return Command::None;
}

bool valueInRange(Command command, int32_t value)
{
    const auto range = commandValueRange(command);
    return range && value >= range->min && value <= range->max;
}

bool wireValueInRange(Command command, uint16_t wire)
{
    const auto range = commandValueRange(command);
    return range && valueInRange(command, range->min < 0 ? int32_t(int16_t(wire)) : int32_t(wire));
}

const CommandSpec *commandSpec(uint8_t code)
{
    if (code == 0 || code > LastCommandCode)
        return nullptr;
    return &Commands[code - 1];
}

bool changesChannels(Command command)
{
    const CommandSpec *row = commandSpec(uint8_t(command));
    return row && (row->source == VS::MaskSet || row->source == VS::MaskClear);
}

Result<BuiltCommand> buildCommand(Command command, const CommandInputs &in, uint8_t &channelMask)
{
    using K = Failure::Kind;
    const CommandSpec *row = commandSpec(uint8_t(command));
    BuiltCommand out;
    if (!row || row->source == VS::None)
        return out;
    // A handed-over value is never cut to fit.
    if (in.value && !valueInRange(command, *in.value))
        return Failure::withValue(K::ValueOutOfRange, *in.value);
    out.send = true;
    out.reg = row->reg;
    switch (row->source) {
    case VS::None:
        break;
    case VS::Fixed:
        out.value = row->fixed;
        break;
    case VS::Field: {
        const Result<int32_t> typed = valueOf(in);
        if (!typed)
            return typed.failure();
        out.value = low16(*typed);
        break;
    }
    case VS::G42:
        // A calibration value is the target's own; one that never answered has none.
        if (!in.g42)
            return Failure::withValue(K::G42Unknown, in.targetAddress);
        out.value = uint16_t(*in.g42);
        break;
    case VS::ConfigMark:
        out.value = ConfigMarkValue;
        break;
    case VS::NewAddress: {
        const Result<int32_t> typed = valueOf(in);
        if (!typed)
            return typed.failure();
        out.keptAddress = uint8_t(*typed & 0xFF);
        // Address 0 is the broadcast address: the detector would answer no
        // one, and the table would take it for an empty slot.
        if (out.keptAddress == 0)
            return Failure::of(K::BroadcastAddress);
        out.value = registerZero(out.keptAddress, in.baudCode);
        break;
    }
    case VS::NewBaud: {
        const Result<int32_t> code = valueOf(in);
        if (!code)
            return code.failure();
        // Only a speed the detector knows: any other code would leave it deaf.
        if (!baudChoiceForCode(uint8_t(*code)) || *code > 0xFF)
            return Failure::withText(K::SpeedNotListed, QString::number(*code));
        out.keptBaud = uint8_t(*code);
        out.value = registerZero(in.targetAddress, out.keptBaud);
        break;
    }
    case VS::MaskSet:
        channelMask = uint8_t(channelMask | row->maskBit);
        out.value = ChannelWriteBase + channelMask;
        break;
    case VS::MaskClear:
        channelMask = uint8_t(channelMask & ~row->maskBit);
        out.value = ChannelWriteBase + channelMask;
        break;
    case VS::UvFaultHours: {
        const Result<int32_t> hours = valueOf(in);
        if (!hours)
            return hours.failure();
        // The device only knows whole hours in its register's range.
        if (!valueInRange(command, *hours))
            return Failure::withText(K::BadUvHours, QString::number(*hours));
        out.value = uint16_t(*hours);
        break;
    }
    }
    return out;
}

std::optional<BaudChoice> baudChoiceForCode(uint8_t baudCode)
{
    for (std::size_t i = 0; i < LineSpeedCodes.size(); ++i)
        if (LineSpeedCodes[i] == baudCode)
            return BaudChoice{int(i), LineSpeedRates[i]};
    return std::nullopt;
}

std::optional<uint8_t> lineSpeedCode(int index)
{
    if (index < 0 || index >= int(LineSpeedCodes.size()))
        return std::nullopt;
    return LineSpeedCodes[index];
}
