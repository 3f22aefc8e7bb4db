// Loading and checking the update file.
#include "image/update_image.h"

#include <cstdio>

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
    if (file_check(update_image.bytes, update_image.length) != FileCheck::Valid) {
        return UpdateOutcome::ImageCorrupt;
    }
    return GO_ON;
}

uint32_t image_payload_length() { return update_image.length - IMAGE_TRAILER; }

uint8_t image_version_major() { return update_image.bytes[update_image.length - 4]; }

uint8_t image_version_minor() { return update_image.bytes[update_image.length - 3]; }

const uint8_t* image_block(uint32_t offset) { return update_image.bytes + offset; }
