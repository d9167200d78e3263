#include "main/fieldvalue.h"
#include "link/inttext.h"

namespace {
// With no entry selected the list still shows a text; it is used only when
// it is one of the list's speeds, so no other baud code reaches the device.
Result<int32_t> newSpeedBaudCode(const FieldReading &list)
{
    if (list.entry >= 0 && list.entry < int(NewSpeedItems.size()))
        return NewSpeedBaudCodes[std::size_t(list.entry)];
    for (std::size_t i = 0; i < NewSpeedItems.size(); ++i)
        if (list.text == QLatin1String(NewSpeedItems[i]))
            return NewSpeedBaudCodes[i];
    return Failure::withText(Failure::Kind::SpeedNotListed, list.text);
}

// The device only knows whole hours in its register's range; pasted text
// may hold anything. The text is read by the one integer rule, then the
// range is checked.
Result<int32_t> uvFaultHours(const QString &text)
{
    const std::optional<int32_t> value = parseIntText(text);
    if (!value || !valueInRange(Command::WriteUvFaultTime, *value))
        return Failure::withText(Failure::Kind::BadUvHours, text);
    return *value;
}
} // namespace

// Any other typed value goes out as the engineer typed it, cut to the 16 bits
// of its register (-1 is sent as 65535), with no check of the command's
// range: the window is the service engineer's tool and writes what is
// asked. kalmird's values, which come from the network, are checked against
// the range instead.
Result<int32_t> fieldValue(Command command, const FieldReading &field)
{
    if (command == Command::WriteBaud)
        return newSpeedBaudCode(field);
    if (command == Command::WriteUvFaultTime)
        return uvFaultHours(field.text);
    return readTypedInteger(field.text);
}
