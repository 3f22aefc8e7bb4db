// Loading and checking the update file.
#include "image/update_image.h"

#include <cstdio>

#include "image/crc16.h"

UpdateImage update_image;

PhaseEnd image_load() {
    std::FILE* file = std::fopen(IMAGE_FILE_NAME, "rb");
    if (file == nullptr) return UpdateOutcome::ImageMissing;

    // One request for the whole capacity: whatever lies beyond it is never read.
    const size_t got = std::fread(update_image.bytes, 1, IMAGE_CAPACITY, file);
    const bool read_failed = std::ferror(file) != 0;
    std::fclose(file);
    update_image.length = static_cast<uint32_t>(got);

    // A file that cannot be read at all (a directory of that name, say) is as
    // good as missing; one whose read broke off part-way must never pass,
    // whatever its CRC says.
    if (read_failed) return got == 0 ? UpdateOutcome::ImageMissing : UpdateOutcome::ImageCorrupt;
    if (update_image.length < IMAGE_TRAILER) return UpdateOutcome::ImageCorrupt;

    const uint32_t checked = update_image.length - 2;
    const uint16_t computed = crc16_ccitt(update_image.bytes, checked, IMAGE_CRC_SEED);
    const uint16_t stored = static_cast<uint16_t>((update_image.bytes[checked] << 8) |
                                                  update_image.bytes[checked + 1]);
    if (computed != stored) return UpdateOutcome::ImageCorrupt;
    return GO_ON;
}

uint32_t image_payload_length() { return update_image.length - IMAGE_TRAILER; }

uint8_t image_version_major() { return update_image.bytes[update_image.length - 4]; }

uint8_t image_version_minor() { return update_image.bytes[update_image.length - 3]; }

const uint8_t* image_block(uint32_t offset) { return update_image.bytes + offset; }
