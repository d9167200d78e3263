#include "link/framer.h"
#include "link/crc.h"

void RtuFramer::buildRequest(FrameBuffer &frame, uint8_t address, uint8_t function, uint16_t reg,
                             uint16_t value) const
{
    frame.buildRequest(address, function, reg, value);
}

QByteArray RtuFramer::close(const QByteArray &request) const
{
    const uint16_t crc = crc16Modbus(reinterpret_cast<const uint8_t *>(request.constData()), std::size_t(request.size()));
    QByteArray closed = request;
    closed.append(char(crc & 0xFF));
    closed.append(char(crc >> 8));
    return closed;
}

int RtuFramer::awaited(const uint8_t *request, const uint8_t *reply, int count, bool anyFunction) const
{
    if (anyFunction)
        return answerBytesAwaited(request[1], reply, count);
    return replyComplete(request, reply, count) ? 0 : replyBytesAwaited(request, reply, count);
}

bool RtuFramer::intact(const uint8_t *reply, int count) const
{
    if (count < 3)
        return false;
    const uint16_t crc = crc16Modbus(reply, std::size_t(count) - 2);
    return reply[count - 2] == (crc & 0xFF) && reply[count - 1] == (crc >> 8);
}

const Framer &rtuFramer()
{
    static const RtuFramer framer;
    return framer;
}
