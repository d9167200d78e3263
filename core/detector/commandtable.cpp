#include "detector/commandtable.h"
#include "link/inttext.h"
#include "detector/devicestatus.h"

namespace {
using VS = ValueSource;

constexpr CommandSpec fixedValue(uint8_t code, uint16_t reg, uint16_t value)
{
    return {code, reg, VS::Fixed, value, 0};
}
constexpr CommandSpec maskChange(uint8_t code, VS source, uint8_t bit)
{
    return {code, 6, source, 0, bit};
}
constexpr CommandSpec of(uint8_t code, uint16_t reg, VS source)
{
    return {code, reg, source, 0, 0};
}

constexpr std::array<CommandSpec, LastCommandCode> Commands{{
    of(1, 0, VS::NewAddress),
    of(2, 0, VS::NewBaud),
    of(3, 7, VS::Field),
    of(4, 4, VS::Field),
    of(5, 5, VS::Field),
    of(6, 0, VS::None),
    of(7, 0, VS::None),
    // IR calibration: the device defines no register for it, so it writes nothing.
    of(8, 0, VS::None),
    of(9, 9, VS::G42),
    maskChange(10, VS::MaskSet, 0x01),
    maskChange(11, VS::MaskClear, 0x01),
    maskChange(12, VS::MaskSet, 0x02),
    maskChange(13, VS::MaskClear, 0x02),
    maskChange(14, VS::MaskSet, 0x04),
    maskChange(15, VS::MaskClear, 0x04),
    fixedValue(16, 6, 256),
    fixedValue(17, 1, 1),
    fixedValue(18, 11, 1),
    fixedValue(19, 11, 2),
    fixedValue(20, 12, 1),
    fixedValue(21, 12, 2),
    fixedValue(22, 13, 1),
    fixedValue(23, 13, 2),
    fixedValue(24, 13, 3),
    fixedValue(25, 13, 4),
    of(26, 14, VS::Field),
    fixedValue(27, 15, 1),
    fixedValue(28, 15, 2),
    fixedValue(29, 15, 3),
    fixedValue(30, 15, 4),
    fixedValue(31, 15, 5),
    fixedValue(32, 16, 1),
    fixedValue(33, 15, 6),
    of(34, 3, VS::Field),
    of(35, 18, VS::Field),
    of(36, 17, VS::ConfigMark),
    fixedValue(37, 19, 0),
    fixedValue(38, 20, 0),
    fixedValue(39, 15, 7),
    of(40, 22, VS::UvFaultHours),
    fixedValue(41, 24, 1),
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

// The device only knows whole hours in its register's range; pasted text
// may hold anything. The text is read by the one integer rule, then the
// range is checked.
Result<uint16_t> uvFaultHours(const QString &text)
{
    const std::optional<int32_t> value = parseIntText(text);
    if (!value || !valueInRange(Command::WriteUvFaultTime, *value))
        return Failure::withText(Failure::Kind::BadUvHours, text);
    return uint16_t(*value);
}

// With no entry selected the list still shows a text; it is used only when
// it is one of the list's speeds, so no other baud code reaches the device.
Result<uint8_t> newSpeedBaudCode(int index, const QString &text)
{
    if (index >= 0 && index < int(NewSpeedItems.size()))
        return NewSpeedBaudCodes[index];
    for (std::size_t i = 0; i < NewSpeedItems.size(); ++i)
        if (text == QLatin1String(NewSpeedItems[i]))
            return NewSpeedBaudCodes[i];
    return Failure::withText(Failure::Kind::SpeedNotListed, text);
}

// The window's field of a command as it shows now. Every window command
// that takes a value stores its reader; one without is refused unsent.
Result<FieldReading> readingOf(const CommandInputs &in)
{
    if (!in.readField)
        return Failure::of(Failure::Kind::NoValue);
    return in.readField();
}

Result<int32_t> fieldInteger(const CommandInputs &in)
{
    if (in.value)
        return *in.value;
    const Result<FieldReading> field = readingOf(in);
    if (!field)
        return field.failure();
    return readTypedInteger(field->text);
}

} // namespace

std::optional<ValueRange> commandValueRange(Command command)
{
    for (const CommandRange &r : ValueRanges)
        if (r.command == command)
            return r.range;
    return std::nullopt;
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
        const Result<int32_t> typed = fieldInteger(in);
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
        const Result<int32_t> typed = fieldInteger(in);
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
        const Result<FieldReading> list = readingOf(in);
        if (!list)
            return list.failure();
        const Result<uint8_t> code = newSpeedBaudCode(list->entry, list->text);
        if (!code)
            return code.failure();
        out.keptBaud = *code;
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
        const Result<FieldReading> field = in.value ? Result<FieldReading>(FieldReading{}) : readingOf(in);
        if (!field)
            return field.failure();
        const Result<uint16_t> hours = in.value ? Result<uint16_t>(uint16_t(*in.value)) : uvFaultHours(field->text);
        if (!hours)
            return hours.failure();
        out.value = *hours;
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
