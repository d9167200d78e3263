#pragma once
#include "daemon/gateway/guestcounts.h"
#include "detector/devicestatus.h"
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <array>
#include <cstdint>

// ISO 8601 with milliseconds and the offset from UTC ("2026-12-07T17:20:05.123+02:00").
QString isoTime(const QDateTime &time);

// The gateway topic's JSON payload, compact, field names fixed (a detector's
// own payloads are made in detectortopics.cpp).
QByteArray gatewayJson(const QDateTime &time, const GuestCounts &counts);

// The alarm bits that make events, by their names in the payload.
struct AlarmBit {
    const char *kind;
    uint8_t mask;
};
inline constexpr AlarmBit AlarmBits[] = {{"fire", 0x01}, {"fault", 0x02}, {"dust", 0x04}};
