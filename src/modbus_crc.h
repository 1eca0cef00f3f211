// CRC-16/MODBUS (reflected polynomial 0xA001, initial value 0xFFFF, no final
// inversion), the one CRC-16 of the program: the controller and board frames and the
// Modbus RTU master carry it low byte first, the GOOSE header high byte first.
#pragma once

#include <array>
#include <cstdint>

// table_crc_hi[i] is the low byte, table_crc_lo[i] the high byte of the CRC of the
// single byte i from a zero register (the Modbus serial-line tables).
extern const std::array<uint8_t, 256> table_crc_hi;
extern const std::array<uint8_t, 256> table_crc_lo;
// The CRC value itself; 0xFFFF for an empty (or null) buffer.
uint16_t modbus_crc16(const uint8_t *buffer, int length);
