#pragma once
#include <QByteArray>
#include <cstdint>

// Whole RTU frames as a client sends them over TCP, and the frames the
// gateway makes itself.
namespace rtuframe {

inline constexpr int MaxFrame = 256;

// The length of the request at the front of `bytes`, CRC included, as its
// function code tells it; 0 while too few bytes are in to tell. A function
// whose requests have no fixed form gives the length of everything in when
// that ends in a good CRC, else 0.
int requestLength(const QByteArray &bytes);

// True when the last two bytes are the CRC of the others, low byte first.
bool crcGood(const QByteArray &frame);
QByteArray withCrc(QByteArray body);
// Address, function | 0x80, code, CRC.
QByteArray exception(uint8_t address, uint8_t function, uint8_t code);
// The PDU of an exception reply: function | 0x80, code.
QByteArray exceptionPdu(uint8_t function, uint8_t code);

} // namespace rtuframe
