// Update files built with a bitwise CRC of their own.
#include "support/update_file.h"

uint16_t reference_crc(const Bytes& data, uint16_t seed) {
    uint16_t crc = seed;
    for (uint8_t b : data) {
        crc ^= static_cast<uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

Bytes make_update_file(const Bytes& payload, uint8_t major, uint8_t minor) {
    Bytes file = payload;
    file.push_back(major);
    file.push_back(minor);
    const uint16_t crc = reference_crc(file, 0x56A8);
    file.push_back(static_cast<uint8_t>(crc >> 8));
    file.push_back(static_cast<uint8_t>(crc & 0xFF));
    return file;
}

Bytes counting_payload(size_t length) {
    Bytes p(length);
    for (size_t i = 0; i < length; ++i) p[i] = static_cast<uint8_t>(i * 7 + i / 512);
    return p;
}
