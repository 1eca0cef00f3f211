// CRC-16/MODBUS, a byte at a time with the two tables of the Modbus serial line.
#include "modbus_crc.h"

#include <cstddef>

namespace {

constexpr std::array<uint8_t, 256> crc_table(int high) {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; i++) {
        uint16_t crc = (uint16_t)i;
        for (int b = 0; b < 8; b++) crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : crc >> 1;
        t[(size_t)i] = high ? (uint8_t)(crc >> 8) : (uint8_t)(crc & 0xFF);
    }
    return t;
}

}  // namespace

const std::array<uint8_t, 256> table_crc_hi = crc_table(0);
const std::array<uint8_t, 256> table_crc_lo = crc_table(1);

uint16_t modbus_crc16(const uint8_t *buffer, int length) {
    uint8_t a = 0xFF;
    uint8_t b = 0xFF;
    for (int n = 0; buffer != nullptr && n < length; n++) {
        uint8_t i = buffer[n] ^ a;
        a = table_crc_hi[i] ^ b;
        b = table_crc_lo[i];
    }
    return (uint16_t)(a + 256 * b);
}
