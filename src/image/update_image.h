// The update file "PelBoot_VQ.fwu" in memory: payload, version major and
// minor, CRC-16 high byte first. Loaded and checked once, read-only after.
#pragma once

#include <cstdint>

#include "image/file_layout.h"
#include "update_outcome.h"

inline constexpr const char* IMAGE_FILE_NAME = "PelBoot_VQ.fwu";
// The programmer always reads whole 512-byte blocks; the last block of the
// largest payload reaches up to 192 bytes past the capacity, so the buffer
// carries one block of zero bytes beyond it.
inline constexpr uint32_t IMAGE_PADDING = 512;

struct UpdateImage {
    uint8_t bytes[IMAGE_CAPACITY + IMAGE_PADDING];  // zero beyond `length`
    uint32_t length;                                 // bytes read from the file
};

extern UpdateImage update_image;

// Reads and checks the file in the current directory: ImageMissing when it
// cannot be opened or read at all, ImageCorrupt when it is shorter than its
// trailer or its CRC does not match. Prints nothing.
PhaseEnd image_load();

// Valid only after image_load let the run go on.
uint32_t image_payload_length();
uint8_t image_version_major();
uint8_t image_version_minor();
// Read-only view of the image from offset on; at least 512 bytes readable
// for every offset below the payload length.
const uint8_t* image_block(uint32_t offset);
