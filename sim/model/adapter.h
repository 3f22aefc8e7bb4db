// The FTDI adapter as the D2XX calls see it: line settings that take effect,
// read and write timeouts, buffers and purge, 10 bits a byte of wire time at
// the configured rate, the latency timer holding back a short tail of
// received bytes, and the faults a scenario asks for. Every call is recorded.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "model/device.h"
#include "model/scenario.h"

namespace sim {

// D2XX statuses the model returns.
inline constexpr uint32_t OK = 0;
inline constexpr uint32_t INVALID_HANDLE = 1;
inline constexpr uint32_t DEVICE_NOT_FOUND = 2;
inline constexpr uint32_t IO_ERROR = 4;
inline constexpr uint32_t INVALID_PARAMETER = 6;

// Time as the model sees it; virtual in-process, real in the shared library.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint64_t now_ns() = 0;
    virtual void wait_until_ns(uint64_t t) = 0;
};

struct CallRecord {
    std::string name;
    std::string args;
    uint32_t status;
    uint32_t moved;              // reads and writes
    std::vector<uint8_t> bytes;  // taken by a write, delivered by a read
    uint64_t start_ns, end_ns;
};

class Adapter {
public:
    Adapter(Clock& clock, const Scenario& scenario);

    uint32_t open(int index, void** handle);
    uint32_t close(void* h);
    uint32_t reset_device(void* h);
    uint32_t set_baud_rate(void* h, uint32_t baud);
    uint32_t set_data_characteristics(void* h, uint8_t bits, uint8_t stop, uint8_t parity);
    uint32_t set_flow_control(void* h, uint16_t mode, uint8_t xon, uint8_t xoff);
    uint32_t set_chars(void* h, uint8_t ev, uint8_t ev_on, uint8_t er, uint8_t er_on);
    uint32_t set_timeouts(void* h, uint32_t read_ms, uint32_t write_ms);
    uint32_t purge(void* h, uint32_t mask);
    uint32_t set_latency_timer(void* h, uint8_t ms);
    uint32_t read(void* h, void* buffer, uint32_t n, uint32_t* done);
    uint32_t write(void* h, void* buffer, uint32_t n, uint32_t* done);

    // The cable pulled and plugged in again: the handle is gone, the
    // buffers are empty and calls work again; the device keeps its state.
    void replug();

    const std::vector<CallRecord>& transcript() const { return records_; }
    const Device& device() const { return device_; }
    // Called after each call is recorded.
    std::function<void(const CallRecord&)> on_record;

    static std::string format(const CallRecord& r);

private:
    struct Pending {  // a byte on a wire
        uint8_t byte;
        uint64_t arrive_ns;
        uint32_t baud;    // the sender's rate
        bool format_8n1;
    };
    struct Received {  // a byte in the adapter's receive buffer
        uint8_t byte;
        uint64_t visible_ns;
    };

    // Begins a call: counts it, applies injected failures. Returns false
    // with `status` set when the call fails without doing anything.
    bool begin(const char* name, void* h, bool needs_open, uint32_t& status);
    uint32_t finish(CallRecord r);
    void advance(uint64_t t);
    uint64_t next_event_after(uint64_t t) const;
    size_t visible(uint64_t t) const;
    void device_send(const std::vector<uint8_t>& bytes, uint64_t at_ns);
    uint64_t byte_ns(uint32_t baud) const { return 10ull * 1000000000ull / baud; }

    Clock& clock_;
    const Scenario& sc_;
    Device device_;
    std::vector<CallRecord> records_;
    std::map<std::string, uint32_t> call_counts_;
    uint64_t calls_ = 0;
    uint64_t host_bytes_written_ = 0;
    bool unplugged_ = false;
    bool open_ = false;

    uint32_t baud_ = 9600;
    bool format_8n1_ = true;
    uint32_t read_timeout_ms_ = 0, write_timeout_ms_ = 0;
    uint32_t latency_ms_;

    std::deque<Pending> to_device_;    // on the wire toward the device
    uint64_t host_line_free_ns_ = 0;
    std::deque<Pending> to_host_;      // on the wire toward the adapter
    uint64_t device_line_free_ns_ = 0;
    std::deque<Received> rx_;          // arrived, visible once the latency rule says so
    uint64_t group_first_ns_ = 0;      // arrival of the first byte of the open USB packet
    uint32_t group_count_ = 0;
};

}  // namespace sim
