// The layout of an update file, shared by the updater and the pelfwu tool:
// payload, version major, version minor, CRC-16 high byte, CRC-16 low byte.
// The CRC covers the payload and both version bytes, seeded with 0x56A8.
#pragma once

#include <cstdint>

inline constexpr uint32_t IMAGE_CAPACITY = 5000000;  // bytes the updater reads at most
inline constexpr uint16_t IMAGE_CRC_SEED = 0x56A8;
inline constexpr uint32_t IMAGE_TRAILER = 4;         // version bytes and CRC

enum class FileCheck { Valid, TooShort, CrcMismatch };

// The CRC computed over a file of `length` bytes (length >= 2), and the one
// stored in its last two bytes.
uint16_t file_computed_crc(const uint8_t* file, uint32_t length);
uint16_t file_stored_crc(const uint8_t* file, uint32_t length);

// Judges `length` bytes as the updater does (the caller limits them to the
// capacity first).
FileCheck file_check(const uint8_t* file, uint32_t length);

// Writes version and CRC after the payload: `file` must have room for
// payload_length + IMAGE_TRAILER bytes.
void file_seal(uint8_t* file, uint32_t payload_length, uint8_t major, uint8_t minor);
