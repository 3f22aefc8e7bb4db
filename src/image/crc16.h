// CRC-16 with polynomial 0x1021, most significant bit first, no final XOR,
// started from a seed the caller gives (seed 0 is CRC-16/XMODEM).
#pragma once

#include <cstdint>

uint16_t crc16_ccitt(const uint8_t* data, uint32_t count, uint16_t seed);

// The 256-entry lookup table the CRC runs on, exposed for its own tests.
uint16_t crc16_table_entry(uint8_t index);
