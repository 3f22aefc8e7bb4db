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

