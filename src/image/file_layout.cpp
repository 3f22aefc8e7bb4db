// Checking and sealing the update file's trailer.
#include "image/file_layout.h"

#include "image/crc16.h"

uint16_t file_computed_crc(const uint8_t* file, uint32_t length) {
    return crc16_ccitt(file, length - 2, IMAGE_CRC_SEED);
}

uint16_t file_stored_crc(const uint8_t* file, uint32_t length) {
    return static_cast<uint16_t>((file[length - 2] << 8) | file[length - 1]);
}

FileCheck file_check(const uint8_t* file, uint32_t length) {
    // Below four bytes there is no room for the trailer, whatever the last
    // two bytes say.
    if (length < IMAGE_TRAILER) return FileCheck::TooShort;
    if (file_computed_crc(file, length) != file_stored_crc(file, length)) {
        return FileCheck::CrcMismatch;
    }
    return FileCheck::Valid;
}

void file_seal(uint8_t* file, uint32_t payload_length, uint8_t major, uint8_t minor) {
    file[payload_length] = major;
    file[payload_length + 1] = minor;
    const uint32_t length = payload_length + IMAGE_TRAILER;
    const uint16_t crc = file_computed_crc(file, length);
    file[payload_length + 2] = static_cast<uint8_t>(crc >> 8);
    file[payload_length + 3] = static_cast<uint8_t>(crc & 0xFF);
}
