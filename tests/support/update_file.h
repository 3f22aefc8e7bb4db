// Update files built independently of the code under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Bitwise CRC-16 (polynomial 0x1021, MSB first, seeded): a second
// implementation, so fixtures do not borrow the one under test.
uint16_t reference_crc(const Bytes& data, uint16_t seed);

// Payload, version bytes, CRC high byte first.
Bytes make_update_file(const Bytes& payload, uint8_t major, uint8_t minor);
Bytes counting_payload(size_t length);  // bytes 0,1,2,... mixed so blocks differ
