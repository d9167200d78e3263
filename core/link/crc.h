#pragma once
#include <cstddef>
#include <cstdint>

// CRC-16/MODBUS (reflected 0x8005, start 0xFFFF, no final XOR), bit by bit.
// Goes on the line low byte first.
uint16_t crc16Modbus(const uint8_t *data, std::size_t length);
