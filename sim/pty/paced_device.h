// The device model behind a serial line that keeps no time of its own (a
// pseudo-terminal): what comes in is laid end to end on the wire at the
// line's rate, and the device's answers leave paced at the rate each byte
// was sent at.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "model/device.h"
#include "model/scenario.h"

namespace sim {

class PacedDevice {
public:
    explicit PacedDevice(const Scenario& scenario);
    PacedDevice(const PacedDevice&) = delete;
    PacedDevice& operator=(const PacedDevice&) = delete;

    // Bytes read from the line, which is at `line_baud` (0: unknown) and
    // 8N1 or not; the device hears them only in its own rate and format.
    void receive(const uint8_t* bytes, size_t n, uint32_t line_baud, bool line_8n1);
    // The answer bytes whose time has come. Those sent at a rate other than
    // the host's are noise its UART would drop, so they are left out.
    std::vector<uint8_t> due(uint32_t host_baud);
    // The cable pulled: the answers still on their way never arrive.
    void lose_answers() { out_.clear(); }

    const Device& device() const { return device_; }

private:
    uint64_t now_ns() const;
    void send(const std::vector<uint8_t>& bytes, uint64_t at_ns);

    Scenario scenario_;
    Device device_;
    struct Outgoing {
        uint8_t byte;
        uint64_t at_ns;  // when it has left the device
        uint32_t baud;
    };
    std::deque<Outgoing> out_;
    uint64_t line_free_ = 0;  // when the device's last answer byte ends
    uint64_t in_free_ = 0;    // when the last received byte ended on the wire
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace sim
