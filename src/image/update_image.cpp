// Loading and checking the update file.
#include "image/update_image.h"

#include "platform/file_read.h"

UpdateImage update_image;

PhaseEnd image_load() {
    // Whatever lies beyond the capacity is never read.
    uint32_t got = 0;
    const FileRead read = file_read(IMAGE_FILE_NAME, update_image.bytes, IMAGE_CAPACITY, &got);
    update_image.length = got;

    // A name that is no regular file (a folder, a FIFO, a device) is as good
    // as missing: nothing was read from it. A file whose read broke off
    // part-way must never pass, whatever its CRC says.
    if (read == FileRead::Missing) return UpdateOutcome::ImageMissing;
    if (read == FileRead::Failed) {
        return got == 0 ? UpdateOutcome::ImageMissing : UpdateOutcome::ImageCorrupt;
    }
    if (file_check(update_image.bytes, update_image.length) != FileCheck::Valid) {
        return UpdateOutcome::ImageCorrupt;
    }
    return GO_ON;
}

uint32_t image_payload_length() { return update_image.length - IMAGE_TRAILER; }

uint8_t image_version_major() { return update_image.bytes[update_image.length - 4]; }

uint8_t image_version_minor() { return update_image.bytes[update_image.length - 3]; }

const uint8_t* image_block(uint32_t offset) { return update_image.bytes + offset; }
