#include "link/crc.h"

uint16_t crc16Modbus(const uint8_t *data, std::size_t length)
{
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool out = crc & 1u;
            crc >>= 1;
            if (out)
                crc ^= 0xA001;
        }
    }
    return crc;
}
