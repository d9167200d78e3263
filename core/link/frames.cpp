#include "link/frames.h"
#include "link/crc.h"

void FrameBuffer::buildRequest(uint8_t address, uint8_t function, uint16_t reg, uint16_t value)
{
    bytes[0] = address;
    bytes[1] = function;
    bytes[2] = uint8_t(reg >> 8);
    bytes[3] = uint8_t(reg & 0xFF);
    bytes[4] = uint8_t(value >> 8);
    bytes[5] = uint8_t(value & 0xFF);
    mbtx_crc();
    bytes[6] = uint8_t(RequestCrc & 0xFF);
    bytes[7] = uint8_t(RequestCrc >> 8);
}

void FrameBuffer::mbtx_crc()
{
    RequestCrc = crc16Modbus(bytes.data(), RequestLength - 2);
}

void FrameBuffer::mbrx_crc(uint8_t count)
{
    ReplyCrc = count < 3 ? 0xFFFF : crc16Modbus(reply(), std::size_t(count) - 2);
}

bool FrameBuffer::replyCrcOk(uint8_t count)
{
    if (count < 3)
        return false;
    mbrx_crc(count);
    return at(count - 2) == (ReplyCrc & 0xFF) && at(count - 1) == (ReplyCrc >> 8);
}
