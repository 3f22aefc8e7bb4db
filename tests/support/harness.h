// What every in-process test of the updater needs: the program's module state
// and the doubles back at their start, a private working folder, update files
// built independently of the code under test, captured standard output, and a
// script of device replies.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Bitwise CRC-16 (polynomial 0x1021, MSB first, seeded): a second
// implementation, so fixtures do not borrow the one under test.
uint16_t reference_crc(const Bytes& data, uint16_t seed);

// Payload, version bytes, CRC high byte first.
Bytes make_update_file(const Bytes& payload, uint8_t major, uint8_t minor);
Bytes counting_payload(size_t length);  // bytes 0,1,2,... mixed so blocks differ

// Captures what the code under test prints to standard output.
class StdoutCapture {
public:
    void start();
    std::string stop();

private:
    int saved_fd_ = -1;
    int file_fd_ = -1;
};

// Resets the program and the doubles and runs each test in a fresh folder.
class UpdaterTest : public ::testing::Test {
public:
    void write_file(const Bytes& content, const std::string& name = "PelBoot_VQ.fwu");
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes and loads the update file; fails the test if it does not load.
    void load_image(const Bytes& payload, uint8_t major = 2, uint8_t minor = 0);

    std::string dir_;
    std::string old_cwd_;
};

void reset_program_state();

// Puts the adapter double linked into the test back at its start: the
// scripted adapter or the simulated one.
void reset_adapter();

// Device replies for the scripted adapter, queued in the order the program
// reads them.
namespace device {
void handshake_accepted();
void versions(uint8_t boot_major, uint8_t boot_minor, uint8_t main_major, uint8_t main_minor);
void erase_ok();
void block(const uint8_t* sent, uint8_t reply = 0x80);
// Every reply of an update of the loaded image that goes through cleanly.
void clean_update();
}  // namespace device

// The payload bytes the device would see for block k of the loaded image.
Bytes expected_block(uint32_t offset);
