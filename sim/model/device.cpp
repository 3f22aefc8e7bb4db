// The simulated device's firmware and bootloader.
#include "model/device.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

const uint8_t HANDSHAKE_REQUEST[6] = {0x5A, 0x5A, 0x63, 0x00, 0xE6, 0xDA};
const uint8_t HANDSHAKE_REPLY[6] = {0x5A, 0x5A, 0x64, 0x00, 0x71, 0x43};
const uint8_t VERSION_QUERY[4] = {0xA7, 0x3C, 0x90, 0xE4};
const uint8_t ERASE_COMMAND[8] = {0x3E, 0xD1, 0x07, 0xC5, 0x62, 0xB4, 0x9F, 0x28};
constexpr uint8_t ECHO_MATCH = 0x01;
constexpr uint8_t ACCEPT = 0x80;
constexpr uint8_t REJECT = 0x00;

constexpr uint64_t MS = 1000000;
constexpr uint64_t US = 1000;

}  // namespace

Device::Device(const Scenario& scenario, Send send)
    : sc_(scenario),
      send_(std::move(send)),
      state_(scenario.start_in_bootloader ? State::Bootloader : State::MainFirmware),
      installed_(scenario.installed),
      flash_(scenario.flash_size, 0xFF) {}

uint32_t Device::baud() const { return state_ == State::MainFirmware ? MAIN_BAUD : BOOT_BAUD; }

bool Device::ends_with(const uint8_t* pattern, size_t n) const {
    return recent_.size() >= n && std::equal(pattern, pattern + n, recent_.end() - static_cast<long>(n));
}

void Device::receive(uint8_t byte, uint64_t t, bool framing_ok) {
    if (t < ready_at_ns_) return;  // restarting or busy erasing: the byte is lost
    if (!framing_ok) {
        // Noise at the wrong rate breaks any command being received.
        recent_.clear();
        return;
    }
    // A host that went silent in the middle of the block protocol has given
    // up: the bootloader goes back to waiting for commands.
    const bool in_blocks = state_ == State::ReceivingBlock || state_ == State::AwaitingResult;
    if (in_blocks && t - last_byte_ns_ > sc_.idle_reset_ms * 1000000ull) {
        state_ = State::Bootloader;
        block_.clear();
        recent_.clear();
    }
    last_byte_ns_ = t;
    switch (state_) {
        case State::MainFirmware: main_firmware_byte(byte, t); break;
        case State::Bootloader: bootloader_byte(byte, t); break;
        case State::Erasing: break;
        case State::ReceivingBlock: block_byte(byte, t); break;
        case State::AwaitingResult: result_byte(byte, t); break;
    }
}

void Device::main_firmware_byte(uint8_t byte, uint64_t t) {
    recent_.push_back(byte);
    if (recent_.size() > 16) recent_.erase(recent_.begin());
    if (!ends_with(HANDSHAKE_REQUEST, 6)) return;
    recent_.clear();
    if (handshakes_seen_++ < sc_.handshake_ignore) return;
    const uint64_t at = t + sc_.turnaround_us * US + sc_.handshake_delay_ms * MS;
    const std::vector<uint8_t> reply =
        sc_.handshake_custom ? sc_.handshake_reply
                             : std::vector<uint8_t>(HANDSHAKE_REPLY, HANDSHAKE_REPLY + 6);
    send_(reply, at);
    // The firmware hands over: the bootloader listens, at its own rate, once
    // it has started.
    state_ = State::Bootloader;
    ready_at_ns_ = at + reply.size() * 100 * US + sc_.restart_ms * MS;
}

void Device::bootloader_byte(uint8_t byte, uint64_t t) {
    recent_.push_back(byte);
    if (recent_.size() > 16) recent_.erase(recent_.begin());
    const uint64_t at = t + sc_.turnaround_us * US;
    if (ends_with(VERSION_QUERY, 4)) {
        recent_.clear();
        if (sc_.version_missing) return;
        std::vector<uint8_t> reply = {sc_.boot_major, sc_.boot_minor, 0xFF, 0xFF};
        if (installed_) {
            reply[2] = sc_.main_major;
            reply[3] = sc_.main_minor;
        }
        send_(sc_.version_custom ? sc_.version_reply : reply, at);
    } else if (ends_with(ERASE_COMMAND, 8)) {
        recent_.clear();
        const uint64_t ack_at = at + sc_.erase_ack_ms * MS;
        send_(sc_.erase_ack_custom ? sc_.erase_ack_reply : std::vector<uint8_t>{0x0F}, ack_at);
        const uint64_t done_at = ack_at + sc_.erase_ms * MS;
        std::fill(flash_.begin(), flash_.end(), 0xFF);
        erased_ = true;
        installed_ = false;
        next_block_ = 0;
        send_(sc_.erase_done_custom ? sc_.erase_done_reply : std::vector<uint8_t>{0xF0}, done_at);
        // Bytes sent while the flash is being erased are lost, and the
        // erase is work, not silence: the idle reset counts from its end.
        ready_at_ns_ = done_at;
        last_byte_ns_ = done_at;
        state_ = State::ReceivingBlock;
        block_.clear();
    }
}

void Device::block_byte(uint8_t byte, uint64_t t) {
    block_.push_back(byte);
    if (block_.size() < BLOCK) return;

    const uint32_t k = next_block_;
    const bool first_time = arrivals_[k]++ == 0;
    std::vector<uint8_t> echo = block_;
    uint64_t at = t + sc_.turnaround_us * US;
    if (first_time) {
        if (auto it = sc_.echo_delay_ms.find(k); it != sc_.echo_delay_ms.end()) at += it->second * MS;
        if (auto it = sc_.echo_corrupt.find(k); it != sc_.echo_corrupt.end()) echo[it->second] ^= 0x01;
        if (auto it = sc_.echo_truncate.find(k); it != sc_.echo_truncate.end()) echo.resize(it->second);
    }
    auto pause = first_time ? sc_.echo_pause.find(k) : sc_.echo_pause.end();
    if (pause != sc_.echo_pause.end() && pause->second.first < echo.size()) {
        const uint32_t split = pause->second.first;
        send_(std::vector<uint8_t>(echo.begin(), echo.begin() + split), at);
        // The rest follows after the pause, counted from when the first part
        // could have ended.
        send_(std::vector<uint8_t>(echo.begin() + split, echo.end()),
              at + split * 87 * US + pause->second.second * MS);
    } else {
        send_(echo, at);
    }
    state_ = State::AwaitingResult;
}

void Device::result_byte(uint8_t byte, uint64_t t) {
    const uint32_t k = next_block_;
    const bool first_time = arrivals_[k] == 1;
    bool accept = byte == ECHO_MATCH;
    if (accept) {
        auto it = sc_.reject.find(k);
        if (it != sc_.reject.end() && rejected_[k] < it->second) {
            ++rejected_[k];
            accept = false;
        }
    }
    if (accept) {
        const uint64_t address = static_cast<uint64_t>(k) * BLOCK;
        for (uint32_t i = 0; i < BLOCK && address + i < flash_.size(); ++i) {
            flash_[address + i] &= block_[i];  // flash bits only go from 1 to 0
        }
        ++next_block_;
    }
    const bool silent = first_time && sc_.reply_missing.count(k) != 0;
    if (!silent) send_({accept ? ACCEPT : REJECT}, t + sc_.turnaround_us * US + sc_.program_ms * MS);
    block_.clear();
    state_ = State::ReceivingBlock;
}

}  // namespace sim
