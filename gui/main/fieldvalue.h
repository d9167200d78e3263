#pragma once
#include "detector/commandtable.h"
#include <QString>
#include <array>

// What a window's field shows at the moment it is read: its text, and for
// a list the entry chosen (-1 for none).
struct FieldReading {
    QString text;
    int entry = -1;
};

// The new-speed list beside "Скорость:" (`cb7`) and its baud codes, by entry.
inline constexpr std::array<const char *, 5> NewSpeedItems{"9600", "2400", "4800", "9600", "19200"};
inline constexpr std::array<uint8_t, 5> NewSpeedBaudCodes{8, 2, 4, 8, 16};

// The value a window command takes from its field, by the window's rules:
// the baud code of the speed chosen, the UV fault time as whole hours in its
// register's range, any other value as a typed integer. A text that is no
// value gives the failure the window reports (BadInteger keeps the command
// pending).
Result<int32_t> fieldValue(Command command, const FieldReading &field);
