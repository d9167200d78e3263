#pragma once
#include <QByteArray>
#include <QList>
#include <cstdint>

// Modbus RTU framing as a slave sees it: requests in, replies out.
namespace rtu {

inline constexpr uint8_t ExIllegalFunction = 1;
inline constexpr uint8_t ExIllegalAddress = 2;
inline constexpr uint8_t ExIllegalValue = 3;
inline constexpr uint8_t ExDeviceFailure = 4;

// True when the last two bytes are the CRC of the others, low byte first.
bool crcOk(const QByteArray &frame);
// The bytes with their CRC appended, low byte first.
QByteArray withCrc(QByteArray body);
// Address, function | 0x80, code, CRC.
QByteArray exceptionReply(uint8_t address, uint8_t function, uint8_t code);
uint16_t word(const QByteArray &frame, int offset);

// Cuts the byte stream coming from the master into 8-byte requests. A request
// is accepted on its CRC; bytes that cannot begin one are dropped one at a time
// until the stream lines up with a frame again.
class RequestFramer {
public:
    struct Piece {
        bool request; // false: bytes dropped while looking for a frame
        QByteArray bytes;
    };
    // Adds bytes; returns, in line order, the requests now complete and the
    // bytes dropped on the way.
    QList<Piece> feed(const QByteArray &bytes);
    // Drops an unfinished request (the line went quiet in the middle of it)
    // and returns its bytes.
    QByteArray flushPartial();
    bool hasPartial() const { return !pending.isEmpty(); }

private:
    QByteArray pending;
};

} // namespace rtu
