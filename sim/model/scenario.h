// What the simulated adapter and device do, read from a small text file: one
// setting a line, "name value...", '#' starts a comment. Every setting has a
// default that makes a healthy adapter and device.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

struct Scenario {
    // Device.
    uint8_t boot_major = 1, boot_minor = 5;
    bool installed = true;  // main firmware present
    uint8_t main_major = 1, main_minor = 9;
    bool start_in_bootloader = false;
    uint32_t restart_ms = 30;       // main firmware to bootloader
    uint32_t turnaround_us = 200;   // before any reply
    uint32_t erase_ack_ms = 5;
    uint32_t erase_ms = 400;        // after the ack
    uint32_t program_ms = 5;        // per block, before the reply
    uint32_t flash_size = 1 << 20;
    uint32_t idle_reset_ms = 2000;  // a block exchange silent this long is given up

    // Handshake faults.
    uint32_t handshake_ignore = 0;  // requests left unanswered first
    bool handshake_custom = false;
    std::vector<uint8_t> handshake_reply;  // sent instead of the real answer
    uint32_t handshake_delay_ms = 0;

    // Version reply.
    bool version_missing = false;
    bool version_custom = false;
    std::vector<uint8_t> version_reply;

    // Erase faults.
    bool erase_ack_custom = false, erase_done_custom = false;
    std::vector<uint8_t> erase_ack_reply, erase_done_reply;

    // Block faults, by block number in the payload (0-based), on the first
    // time the block arrives.
    std::map<uint32_t, uint32_t> echo_corrupt;   // block -> byte index flipped
    std::map<uint32_t, uint32_t> echo_truncate;  // block -> bytes echoed
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> echo_pause;  // block -> (at byte, ms)
    std::map<uint32_t, uint32_t> echo_delay_ms;  // block -> ms before the echo
    std::map<uint32_t, uint32_t> reject;         // block -> times rejected before taken
    std::map<uint32_t, bool> reply_missing;      // block -> no reply the first time

    // Adapter.
    bool no_device = false;                      // FT_Open finds nothing
    uint32_t latency_ms = 16;
    bool latency_model = true;                   // off: bytes visible on arrival
    bool latency_call = true;                    // off: FT_SetLatencyTimer changes nothing
    uint32_t short_writes = 0;                   // 0: a write takes everything
    std::map<std::string, std::vector<std::pair<uint32_t, uint32_t>>> fail_call;  // name -> (k, status)
    uint64_t unplug_at_byte = 0;                 // 0: never; else host bytes written before it's gone
    uint64_t unplug_at_call = 0;                 // 0: never; else the k-th library call fails on

    // Outputs (shared library only).
    std::string transcript_path;
    std::string flash_path;
};

// Parses `text`; false with a message on the first line it cannot read.
bool parse_scenario(const std::string& text, Scenario& scenario, std::string& error);

}  // namespace sim
