#include "daemon/gateway/rtuframes.h"
#include "link/framer.h"

namespace rtuframe {

namespace {
int byteAt(const QByteArray &bytes, int i)
{
    return i < bytes.size() ? uint8_t(bytes[i]) : -1;
}

// Requests whose length comes from a byte count inside them: where that
// count is, and what the frame holds besides the counted bytes.
int countedLength(const QByteArray &bytes, int countAt, int fixed)
{
    const int n = byteAt(bytes, countAt);
    return n < 0 ? 0 : fixed + n;
}
} // namespace

int requestLength(const QByteArray &bytes)
{
    switch (byteAt(bytes, 1)) {
    case -1:
        return 0;
    case 1: case 2: case 3: case 4: case 5: case 6: case 8:
        return 8;
    case 7: case 11: case 12: case 17:
        return 4;
    case 15: case 16: // address, function, start, quantity, count, bytes, CRC
        return countedLength(bytes, 6, 9);
    case 22:
        return 10;
    case 23: // address, function, read start and quantity, write start and quantity, count, bytes, CRC
        return countedLength(bytes, 10, 13);
    default:
        return bytes.size() >= 4 && crcGood(bytes) ? int(bytes.size()) : 0;
    }
}

bool crcGood(const QByteArray &frame)
{
    return rtuFramer().intact(reinterpret_cast<const uint8_t *>(frame.constData()), int(frame.size()));
}

QByteArray withCrc(QByteArray body)
{
    return rtuFramer().close(body);
}

QByteArray exceptionPdu(uint8_t function, uint8_t code)
{
    QByteArray pdu;
    pdu.append(char(function | 0x80));
    pdu.append(char(code));
    return pdu;
}

QByteArray exception(uint8_t address, uint8_t function, uint8_t code)
{
    return withCrc(char(address) + exceptionPdu(function, code));
}

} // namespace rtuframe
