#include "sim/rtu.h"
#include "link/framer.h"
#include "link/frames.h"

#include <utility>

namespace rtu {

namespace {

// Functions 1 to 6 are the ones whose requests are 8 bytes long; a highest
// unicast address of 247 leaves 248..255 unused.
bool canStartFrame(const QByteArray &p)
{
    if (uint8_t(p[0]) > 247)
        return false;
    if (p.size() < 2)
        return true;
    const uint8_t fn = uint8_t(p[1]);
    return fn >= 1 && fn <= 6;
}

} // namespace

bool crcOk(const QByteArray &frame)
{
    return rtuFramer().intact(reinterpret_cast<const uint8_t *>(frame.constData()), int(frame.size()));
}

QByteArray withCrc(QByteArray body)
{
    return rtuFramer().close(body);
}

QByteArray exceptionReply(uint8_t address, uint8_t function, uint8_t code)
{
    QByteArray body;
    body.append(char(address));
    body.append(char(function | 0x80));
    body.append(char(code));
    return withCrc(body);
}

uint16_t word(const QByteArray &frame, int offset)
{
    return uint16_t(uint8_t(frame[offset]) << 8 | uint8_t(frame[offset + 1]));
}

QList<RequestFramer::Piece> RequestFramer::feed(const QByteArray &bytes)
{
    pending.append(bytes);
    QList<Piece> pieces;
    QByteArray dropped;
    const auto dropFirst = [&] {
        dropped.append(pending[0]);
        pending.remove(0, 1);
    };
    for (;;) {
        while (!pending.isEmpty() && !canStartFrame(pending))
            dropFirst();
        if (pending.size() < RequestLength)
            break;
        const QByteArray candidate = pending.left(RequestLength);
        if (!crcOk(candidate)) {
            dropFirst();
            continue;
        }
        if (!dropped.isEmpty())
            pieces.append({false, std::exchange(dropped, {})});
        pieces.append({true, candidate});
        pending.remove(0, RequestLength);
    }
    if (!dropped.isEmpty())
        pieces.append({false, dropped});
    return pieces;
}

QByteArray RequestFramer::flushPartial()
{
    return std::exchange(pending, {});
}

} // namespace rtu
