#pragma once
#include <QByteArray>
#include <QString>
#include <cstdint>

// Modbus TCP's framing (MBAP): a 7-byte header (transaction id, protocol id 0,
// the length of what follows it, unit id) and then the PDU, all high byte first.
namespace mbap {

inline constexpr int HeaderLength = 7;
inline constexpr int MaxPdu = 253; // an RTU frame's 256 bytes less address and CRC

struct Request {
    uint16_t transaction = 0;
    uint8_t unit = 0;
    QByteArray pdu;
};

// What the front of a stream holds.
struct Cut {
    enum class Kind { NeedMore, Whole, Bad };
    Kind kind = Kind::NeedMore;
    int length = 0;   // Whole: the bytes the request takes
    Request request;  // Whole
    QString why;      // Bad: what is wrong with the header
};

// Looks at the front of a client's stream. A header that cannot be Modbus
// TCP (a protocol id other than 0, a length that leaves no function code or
// more than MaxPdu) is Bad as soon as its six bytes are in.
Cut cut(const QByteArray &stream);

// A response ADU: the request's transaction id and unit, the PDU.
QByteArray reply(uint16_t transaction, uint8_t unit, const QByteArray &pdu);

} // namespace mbap
