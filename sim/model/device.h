// The device behind the adapter: its main firmware, which answers the
// handshake only at 1,500,000 baud 8N1 and then restarts into the
// bootloader; the bootloader at 115,200 baud with its version query, erase
// and block protocol; and the flash, erased to 0xFF, whose bits a write can
// only clear.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "model/scenario.h"

namespace sim {

inline constexpr uint32_t MAIN_BAUD = 1500000;
inline constexpr uint32_t BOOT_BAUD = 115200;
inline constexpr uint32_t BLOCK = 512;

class Device {
public:
    // `send` puts bytes on the device's line toward the adapter, starting no
    // earlier than the given time (ns).
    using Send = std::function<void(const std::vector<uint8_t>&, uint64_t at_ns)>;

    Device(const Scenario& scenario, Send send);

    // The rate the device listens and talks at, at time t.
    uint32_t baud() const;
    // A byte from the host ends on the wire at t_ns; `framing_ok` is false
    // when the host's rate or format is not the device's.
    void receive(uint8_t byte, uint64_t t_ns, bool framing_ok);

    const std::vector<uint8_t>& flash() const { return flash_; }
    bool erased() const { return erased_; }
    uint32_t blocks_programmed() const { return next_block_; }
    bool in_bootloader() const { return state_ != State::MainFirmware; }

private:
    enum class State { MainFirmware, Bootloader, Erasing, ReceivingBlock, AwaitingResult };

    void main_firmware_byte(uint8_t byte, uint64_t t);
    void bootloader_byte(uint8_t byte, uint64_t t);
    void block_byte(uint8_t byte, uint64_t t);
    void result_byte(uint8_t byte, uint64_t t);
    bool ends_with(const uint8_t* pattern, size_t n) const;

    const Scenario& sc_;
    Send send_;
    State state_;
    uint64_t ready_at_ns_ = 0;  // bytes before this are lost (restart, erase)
    uint64_t last_byte_ns_ = 0;
    std::vector<uint8_t> recent_;  // last bytes seen, for command matching
    uint32_t handshakes_seen_ = 0;
    bool installed_;
    bool erased_ = false;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> block_;
    uint32_t next_block_ = 0;  // payload block the device expects next
    std::map<uint32_t, uint32_t> arrivals_;  // block -> times received
    std::map<uint32_t, uint32_t> rejected_;  // block -> times rejected by scenario
};

}  // namespace sim
