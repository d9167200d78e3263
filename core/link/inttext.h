#pragma once
#include "link/failure.h"
#include <QString>
#include <cstdint>
#include <optional>

// The one rule by which every integer typed into a field is read: leading
// blanks, an optional sign, then decimal digits, or hexadecimal digits after
// "$", "x" or "0x"; nothing may follow the digits and the value must fit a
// signed 32-bit integer.
std::optional<int32_t> parseIntText(const QString &text);

// As parseIntText, but a text that breaks the rule is a BadInteger failure.
Result<int32_t> readTypedInteger(const QString &text);

// The 16 bits a device receives for a typed value (two's complement for negatives).
inline uint16_t low16(int32_t v) { return uint16_t(uint32_t(v) & 0xFFFFu); }
