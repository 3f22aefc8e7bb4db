// Resetting the updater's module state, building update files, capturing
// output. Knows none of the doubles, so the real platform can be linked too.
#include "support/program_state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "image/update_image.h"
#include "link/device_link.h"
#include "procedure/block_programming.h"
#include "procedure/bootloader_entry.h"
#include "procedure/version_report.h"

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

void StdoutCapture::start() {
    std::fflush(stdout);
    saved_fd_ = dup(STDOUT_FILENO);
    char name[] = "/tmp/pel-stdout-XXXXXX";
    file_fd_ = mkstemp(name);
    unlink(name);
    dup2(file_fd_, STDOUT_FILENO);
}

std::string StdoutCapture::stop() {
    std::fflush(stdout);
    dup2(saved_fd_, STDOUT_FILENO);
    close(saved_fd_);
    std::string out;
    lseek(file_fd_, 0, SEEK_SET);
    char buf[4096];
    ssize_t got;
    while ((got = read(file_fd_, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(got));
    close(file_fd_);
    return out;
}

void reset_module_state() {
    device_link = DeviceLink{};
    std::memset(update_image.bytes, 0, sizeof update_image.bytes);
    update_image.length = 0;
    std::memset(handshake_reply, 0, sizeof handshake_reply);
    handshake_attempts = 0;
    std::memset(version_reply, 0, sizeof version_reply);
    status_byte = 0;
    block_offset = 0;
    block_failures = 0;
    std::memset(echo_block, 0, sizeof echo_block);
    percent_done = 0;
    last_percent = 1;
}

