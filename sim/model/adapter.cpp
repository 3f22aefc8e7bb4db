// The simulated adapter's calls and its wire and buffer timing.
#include "model/adapter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

void* const HANDLE = reinterpret_cast<void*>(0xF7D1);
constexpr uint64_t MS = 1000000;
constexpr uint32_t PACKET = 62;  // data bytes of one USB packet from the adapter
constexpr uint64_t INFINITE_WAIT_CAP_NS = 10000 * MS;

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02X", v);
        s += b;
    }
    return s;
}

}  // namespace

Adapter::Adapter(Clock& clock, const Scenario& scenario)
    : clock_(clock),
      sc_(scenario),
      device_(scenario, [this](const std::vector<uint8_t>& b, uint64_t at) { device_send(b, at); }),
      latency_ms_(scenario.latency_ms) {}

std::string Adapter::format(const CallRecord& r) {
    char line[128];
    std::snprintf(line, sizeof line, "%.3f %.3f %s", r.start_ns / 1e6, r.end_ns / 1e6,
                  r.name.c_str());
    std::string s = line;
    if (!r.args.empty()) s += " " + r.args;
    s += " -> " + std::to_string(r.status);
    if (r.name == "FT_Read" || r.name == "FT_Write") {
        s += " moved=" + std::to_string(r.moved);
        if (!r.bytes.empty()) s += " " + hex(r.bytes);
    }
    return s;
}

bool Adapter::begin(const char* name, void* h, bool needs_open, uint32_t& status) {
    ++calls_;
    const uint32_t nth = ++call_counts_[name];
    if (sc_.unplug_at_call != 0 && calls_ >= sc_.unplug_at_call) unplugged_ = true;
    if (unplugged_) {
        status = IO_ERROR;
        return false;
    }
    auto it = sc_.fail_call.find(name);
    if (it != sc_.fail_call.end()) {
        for (const auto& [k, s] : it->second) {
            if (k == nth) {
                status = s;
                return false;
            }
        }
    }
    if (needs_open && (!open_ || h != HANDLE)) {
        status = INVALID_HANDLE;
        return false;
    }
    return true;
}

uint32_t Adapter::finish(CallRecord r) {
    r.end_ns = clock_.now_ns();
    records_.push_back(r);
    if (on_record) on_record(records_.back());
    return r.status;
}

void Adapter::device_send(const std::vector<uint8_t>& bytes, uint64_t at_ns) {
    // Sent at the rate the device talks at now, which may change (a restart
    // into the bootloader) before the bytes arrive.
    const uint32_t baud = device_.baud();
    uint64_t t = std::max(at_ns, device_line_free_ns_);
    for (uint8_t b : bytes) {
        t += byte_ns(baud);
        to_host_.push_back({b, t, baud, true});
    }
    device_line_free_ns_ = t;
}

void Adapter::advance(uint64_t t) {
    // Events in time order: a host byte reaching the device may make it
    // answer, and the answer's bytes are then on their way too.
    for (;;) {
        const uint64_t to_dev = to_device_.empty() ? UINT64_MAX : to_device_.front().arrive_ns;
        const uint64_t to_host = to_host_.empty() ? UINT64_MAX : to_host_.front().arrive_ns;
        const uint64_t next = std::min(to_dev, to_host);
        if (next > t) break;
        if (to_dev <= to_host) {
            const Pending p = to_device_.front();
            to_device_.pop_front();
            // The device reads the byte at its own rate of that moment.
            device_.receive(p.byte, p.arrive_ns, p.format_8n1 && p.baud == device_.baud());
            continue;
        }
        const Pending p = to_host_.front();
        to_host_.pop_front();
        if (!open_ || !format_8n1_ || baud_ != p.baud) continue;  // framing errors: lost
        uint64_t visible_at = p.arrive_ns;
        if (sc_.latency_model) {
            // The adapter sends a USB packet when 62 bytes have gathered or
            // its latency timer, started by the packet's first byte, runs out.
            const uint64_t flush_at = group_first_ns_ + latency_ms_ * MS;
            if (group_count_ == 0 || p.arrive_ns >= flush_at) {
                group_first_ns_ = p.arrive_ns;
                group_count_ = 0;
            }
            ++group_count_;
            visible_at = group_first_ns_ + latency_ms_ * MS;
            if (group_count_ == PACKET) {
                // The packet is full: its bytes go at once.
                for (auto it = rx_.rbegin(); it != rx_.rend() && it->visible_ns > p.arrive_ns; ++it) {
                    it->visible_ns = p.arrive_ns;
                }
                visible_at = p.arrive_ns;
                group_count_ = 0;
            }
        }
        rx_.push_back({p.byte, visible_at});
    }
}

uint64_t Adapter::next_event_after(uint64_t t) const {
    uint64_t next = UINT64_MAX;
    if (!to_device_.empty()) next = std::min(next, to_device_.front().arrive_ns);
    if (!to_host_.empty()) next = std::min(next, to_host_.front().arrive_ns);
    const size_t shown = visible(t);
    if (shown < rx_.size()) next = std::min(next, rx_[shown].visible_ns);
    return next;
}

size_t Adapter::visible(uint64_t t) const {
    // Visibility times never decrease along the buffer.
    const auto first_hidden = std::upper_bound(
        rx_.begin(), rx_.end(), t, [](uint64_t at, const Received& r) { return at < r.visible_ns; });
    return static_cast<size_t>(first_hidden - rx_.begin());
}

void Adapter::replug() {
    advance(clock_.now_ns());
    unplugged_ = false;
    open_ = false;
    rx_.clear();
    to_host_.clear();
    to_device_.clear();
    group_count_ = 0;
}

uint32_t Adapter::open(int index, void** handle) {
    CallRecord r{"FT_Open", std::to_string(index), OK, 0, {}, clock_.now_ns(), 0};
    if (!begin("FT_Open", nullptr, false, r.status)) return finish(r);
    if (sc_.no_device || index != 0) {
        r.status = DEVICE_NOT_FOUND;
    } else if (open_) {
        r.status = 3;  // already opened
    } else {
        open_ = true;
        *handle = HANDLE;
    }
    return finish(r);
}

uint32_t Adapter::close(void* h) {
    CallRecord r{"FT_Close", "", OK, 0, {}, clock_.now_ns(), 0};
    // Even a close that reports a failure releases a handle it was given.
    const bool ours = open_ && h == HANDLE;
    if (begin("FT_Close", h, true, r.status) || ours) {
        advance(clock_.now_ns());
        open_ = false;
        rx_.clear();
    }
    return finish(r);
}

uint32_t Adapter::reset_device(void* h) {
    CallRecord r{"FT_ResetDevice", "", OK, 0, {}, clock_.now_ns(), 0};
    if (begin("FT_ResetDevice", h, true, r.status)) {
        advance(clock_.now_ns());
        rx_.clear();
        group_count_ = 0;
    }
    return finish(r);
}

uint32_t Adapter::set_baud_rate(void* h, uint32_t baud) {
    CallRecord r{"FT_SetBaudRate", std::to_string(baud), OK, 0, {}, clock_.now_ns(), 0};
    if (begin("FT_SetBaudRate", h, true, r.status)) {
        advance(clock_.now_ns());
        if (baud < 300 || baud > 3000000) {
            r.status = 7;  // invalid baud rate
        } else {
            baud_ = baud;
        }
    }
    return finish(r);
}

uint32_t Adapter::set_data_characteristics(void* h, uint8_t bits, uint8_t stop, uint8_t parity) {
    CallRecord r{"FT_SetDataCharacteristics",
                 std::to_string(bits) + " " + std::to_string(stop) + " " + std::to_string(parity),
                 OK, 0, {}, clock_.now_ns(), 0};
    if (begin("FT_SetDataCharacteristics", h, true, r.status)) {
        advance(clock_.now_ns());
        format_8n1_ = bits == 8 && stop == 0 && parity == 0;
    }
    return finish(r);
}

uint32_t Adapter::set_flow_control(void* h, uint16_t mode, uint8_t xon, uint8_t xoff) {
    CallRecord r{"FT_SetFlowControl",
                 std::to_string(mode) + " " + std::to_string(xon) + " " + std::to_string(xoff), OK,
                 0, {}, clock_.now_ns(), 0};
    begin("FT_SetFlowControl", h, true, r.status);
    return finish(r);
}

uint32_t Adapter::set_chars(void* h, uint8_t ev, uint8_t ev_on, uint8_t er, uint8_t er_on) {
    CallRecord r{"FT_SetChars",
                 std::to_string(ev) + " " + std::to_string(ev_on) + " " + std::to_string(er) + " " +
                     std::to_string(er_on),
                 OK, 0, {}, clock_.now_ns(), 0};
    begin("FT_SetChars", h, true, r.status);
    return finish(r);
}

uint32_t Adapter::set_timeouts(void* h, uint32_t read_ms, uint32_t write_ms) {
    CallRecord r{"FT_SetTimeouts", std::to_string(read_ms) + " " + std::to_string(write_ms), OK, 0,
                 {}, clock_.now_ns(), 0};
    if (begin("FT_SetTimeouts", h, true, r.status)) {
        read_timeout_ms_ = read_ms;
        write_timeout_ms_ = write_ms;
    }
    return finish(r);
}

uint32_t Adapter::purge(void* h, uint32_t mask) {
    CallRecord r{"FT_Purge", std::to_string(mask), OK, 0, {}, clock_.now_ns(), 0};
    if (begin("FT_Purge", h, true, r.status)) {
        const uint64_t now = clock_.now_ns();
        advance(now);
        if (mask & 1) {
            rx_.clear();
            group_count_ = 0;
        }
        if (mask & 2) {
            // Bytes still waiting in the adapter, not yet on the wire, go.
            const uint64_t byte = byte_ns(baud_);
            while (!to_device_.empty() && to_device_.back().arrive_ns - byte > now) {
                to_device_.pop_back();
            }
            host_line_free_ns_ = to_device_.empty() ? now : to_device_.back().arrive_ns;
        }
    }
    return finish(r);
}

uint32_t Adapter::set_latency_timer(void* h, uint8_t ms) {
    CallRecord r{"FT_SetLatencyTimer", std::to_string(ms), OK, 0, {}, clock_.now_ns(), 0};
    if (begin("FT_SetLatencyTimer", h, true, r.status)) {
        if (ms < 1) {
            r.status = INVALID_PARAMETER;
        } else {
            advance(clock_.now_ns());
            if (sc_.latency_call) latency_ms_ = ms;
        }
    }
    return finish(r);
}

uint32_t Adapter::read(void* h, void* buffer, uint32_t n, uint32_t* done) {
    CallRecord r{"FT_Read", "n=" + std::to_string(n), OK, 0, {}, clock_.now_ns(), 0};
    *done = 0;
    if (!begin("FT_Read", h, true, r.status)) return finish(r);
    const uint64_t timeout =
        read_timeout_ms_ == 0 ? INFINITE_WAIT_CAP_NS : read_timeout_ms_ * MS;
    const uint64_t deadline = r.start_ns + timeout;
    // Nothing but this read happens on the host side until it returns, so
    // the model runs ahead to the moment the n-th byte becomes visible (or
    // the timeout), and the call then waits once, until that moment.
    uint64_t until = clock_.now_ns();
    advance(until);
    while (visible(until) < n && until < deadline) {
        until = std::min(next_event_after(until), deadline);
        advance(until);
    }
    clock_.wait_until_ns(until);
    const size_t k = std::min<size_t>(visible(until), n);
    uint8_t* out = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < k; ++i) {
        out[i] = rx_.front().byte;
        r.bytes.push_back(rx_.front().byte);
        rx_.pop_front();
    }
    r.moved = static_cast<uint32_t>(k);
    *done = r.moved;
    return finish(r);
}

uint32_t Adapter::write(void* h, void* buffer, uint32_t n, uint32_t* done) {
    CallRecord r{"FT_Write", "n=" + std::to_string(n), OK, 0, {}, clock_.now_ns(), 0};
    *done = 0;
    if (!begin("FT_Write", h, true, r.status)) return finish(r);
    const uint64_t now = clock_.now_ns();
    advance(now);
    uint32_t take = n;
    if (sc_.short_writes != 0) take = std::min(take, sc_.short_writes);
    if (sc_.unplug_at_byte != 0 && host_bytes_written_ + take >= sc_.unplug_at_byte) {
        // The adapter is pulled out while this write is under way.
        take = static_cast<uint32_t>(sc_.unplug_at_byte - 1 - host_bytes_written_);
        unplugged_ = true;
        r.status = IO_ERROR;
    }
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    uint64_t t = std::max(now, host_line_free_ns_);
    for (uint32_t i = 0; i < take; ++i) {
        t += byte_ns(baud_);
        to_device_.push_back({in[i], t, baud_, format_8n1_});
        r.bytes.push_back(in[i]);
    }
    host_line_free_ns_ = t;
    host_bytes_written_ += take;
    r.moved = take;
    *done = take;
    return finish(r);
}

}  // namespace sim
