// What every in-process test of the updater needs: the program's module state
// and the doubles back at their start, a private working folder, update files
// built independently of the code under test, captured standard output, and a
// script of device replies.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/program_state.h"

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
