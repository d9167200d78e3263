#include "daemon/gateway/mbap.h"

namespace mbap {

namespace {
uint16_t word(const QByteArray &bytes, int at)
{
    return uint16_t(uint8_t(bytes[at]) << 8 | uint8_t(bytes[at + 1]));
}

void appendWord(QByteArray &bytes, uint16_t value)
{
    bytes.append(char(value >> 8));
    bytes.append(char(value & 0xFF));
}
} // namespace

Cut cut(const QByteArray &stream)
{
    Cut c;
    if (stream.size() < HeaderLength - 1)
        return c;
    const uint16_t protocol = word(stream, 2);
    const uint16_t length = word(stream, 4); // unit id and PDU
    if (protocol != 0) {
        c.kind = Cut::Kind::Bad;
        c.why = QStringLiteral("protocol id %1").arg(protocol);
        return c;
    }
    if (length < 2 || length > MaxPdu + 1) {
        c.kind = Cut::Kind::Bad;
        c.why = QStringLiteral("length %1").arg(length);
        return c;
    }
    if (stream.size() < HeaderLength - 1 + length)
        return c;
    c.kind = Cut::Kind::Whole;
    c.length = HeaderLength - 1 + length;
    c.request.transaction = word(stream, 0);
    c.request.unit = uint8_t(stream[6]);
    c.request.pdu = stream.mid(HeaderLength, length - 1);
    return c;
}

QByteArray reply(uint16_t transaction, uint8_t unit, const QByteArray &pdu)
{
    QByteArray adu;
    adu.reserve(HeaderLength + pdu.size());
    appendWord(adu, transaction);
    appendWord(adu, 0);
    appendWord(adu, uint16_t(pdu.size() + 1));
    adu.append(char(unit));
    adu.append(pdu);
    return adu;
}

} // namespace mbap
