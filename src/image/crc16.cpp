// Table-driven CRC-16 that protects the update file.
#include "image/crc16.h"

#include <array>

namespace {

constexpr uint16_t POLYNOMIAL = 0x1021;

constexpr std::array<uint16_t, 256> make_table() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t value = i << 8;
        for (int bit = 0; bit < 8; ++bit) {
            value <<= 1;
            if (value & 0x10000) value ^= POLYNOMIAL;
            value &= 0xFFFF;
        }
        table[i] = static_cast<uint16_t>(value);
    }
    return table;
}

constexpr std::array<uint16_t, 256> CRC_TABLE = make_table();

}  // namespace

uint16_t crc16_table_entry(uint8_t index) { return CRC_TABLE[index]; }

uint16_t crc16_ccitt(const uint8_t* data, uint32_t count, uint16_t seed) {
    uint16_t crc = seed;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t index = static_cast<uint8_t>((crc >> 8) ^ data[i]);
        crc = static_cast<uint16_t>(CRC_TABLE[index] ^ (crc << 8));
    }
    return crc;
}
