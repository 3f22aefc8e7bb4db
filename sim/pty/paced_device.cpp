// The device model paced on a line without timing of its own.
#include "pty/paced_device.h"

#include <algorithm>

namespace sim {

PacedDevice::PacedDevice(const Scenario& scenario)
    : scenario_(scenario),
      device_(scenario_, [this](const std::vector<uint8_t>& b, uint64_t at) { send(b, at); }) {}

uint64_t PacedDevice::now_ns() const {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now() - start_)
                                     .count());
}

void PacedDevice::receive(const uint8_t* bytes, size_t n, uint32_t line_baud, bool line_8n1) {
    // The host's bytes come all at once: each ends one byte time after the
    // one before it, at the line's rate.
    const bool framing = line_baud == device_.baud() && line_8n1;
    const uint64_t byte_ns = 10000000000ull / (line_baud ? line_baud : 9600);
    for (size_t i = 0; i < n; ++i) {
        in_free_ = std::max(now_ns(), in_free_) + byte_ns;
        device_.receive(bytes[i], in_free_, framing);
    }
}

// Each byte keeps the rate it was sent at: the handshake's answer goes out
// at the main firmware's rate although the device has already handed over
// to its bootloader.
void PacedDevice::send(const std::vector<uint8_t>& bytes, uint64_t at_ns) {
    const uint32_t baud = device_.baud();
    const uint64_t byte_ns = 10000000000ull / baud;
    uint64_t t = std::max(at_ns, line_free_);
    for (uint8_t b : bytes) {
        t += byte_ns;
        out_.push_back({b, t, baud});
    }
    line_free_ = t;
}

std::vector<uint8_t> PacedDevice::due(uint32_t host_baud) {
    std::vector<uint8_t> bytes;
    const uint64_t now = now_ns();
    while (!out_.empty() && out_.front().at_ns <= now) {
        if (out_.front().baud == host_baud) bytes.push_back(out_.front().byte);
        out_.pop_front();
    }
    return bytes;
}

}  // namespace sim
