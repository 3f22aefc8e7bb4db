// The device link over D2XX: open, configure, close, and the busy polls that
// bound every wait on the device by the one deadline.
#include "link/device_link.h"

#include "link/deadline.h"
#include "platform/clock.h"

DeviceLink device_link;

namespace {

bool deadline_reached() { return deadline_passed(tick_count(), device_link.deadline); }

// Every transfer starts from a count of 0, so a call that fails without
// reporting a count cannot leave the previous call's count standing.
void read_call(uint8_t* buf, uint32_t n) {
    device_link.byte_count = 0;
    device_link.last_status = FT_Read(device_link.handle, buf, n, &device_link.byte_count);
}

void write_call(const uint8_t* buf, uint32_t n) {
    device_link.byte_count = 0;
    device_link.last_status =
        FT_Write(device_link.handle, const_cast<uint8_t*>(buf), n, &device_link.byte_count);
}

// What a call reports moved, never more than it was asked for: a library that
// over-reports must not push the next call past the caller's buffer.
uint32_t moved_by_call(uint32_t asked) {
    return device_link.byte_count < asked ? device_link.byte_count : asked;
}

}  // namespace

bool link_open(uint32_t baud) {
    device_link.last_status = FT_Open(0, &device_link.handle);
    if (device_link.last_status != FT_OK) return false;
    device_link.open = true;
    return link_configure(baud);
}

bool link_configure(uint32_t baud) {
    FT_HANDLE h = device_link.handle;
    if (FT_ResetDevice(h) != FT_OK) return false;
    if (FT_SetBaudRate(h, baud) != FT_OK) return false;
    if (FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE) != FT_OK) {
        return false;
    }
    if (FT_SetFlowControl(h, FT_FLOW_NONE, 0, 0) != FT_OK) return false;
    if (FT_SetChars(h, 0, 0, 0, 0) != FT_OK) return false;
    // Neither status matters: a device that took the settings above is used
    // as it is, and the polls' deadlines bound every call anyway.
    FT_SetTimeouts(h, LINK_TIMEOUT, LINK_TIMEOUT);
    FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX);
    // Every block waits for two short tails (the end of the echo and the
    // one-byte reply) that the adapter holds until its latency timer runs
    // out; a shorter timer takes that off each block. Not essential: a
    // library or adapter that refuses it is used as it is.
    FT_SetLatencyTimer(h, LATENCY_TIMER);
    return true;
}

void link_close() {
    // After a failed FT_Open the handle names nothing and must not be closed.
    if (!device_link.open) return;
    FT_Close(device_link.handle);
    device_link.open = false;
}

void arm_deadline(uint32_t ms) {
    if (ms != COMMAND_WAIT) {
        device_link.deadline = tick_count() + ms;
        return;
    }
    // Keeps the deadline clear of the counter's first 1000 ms: near the wrap,
    // or on a counter reading 0, the counter is read again until it has
    // wrapped and reads 1 or more.
    device_link.deadline = 0;
    while (device_link.deadline <= COMMAND_WAIT) device_link.deadline = tick_count() + COMMAND_WAIT;
}

LinkResult send_command(const uint8_t* buf, uint32_t n) {
    write_call(buf, n);
    if (device_link.last_status != FT_OK) return LinkResult::Failed;
    // A short write is no failure; the reply is then awaited against the
    // deadline still in force.
    if (device_link.byte_count == n) arm_deadline(COMMAND_WAIT);
    device_link.byte_count = 0;
    return LinkResult::Ok;
}

LinkResult read_some(uint8_t* buf, uint32_t n) {
    // Each call fills the buffer from its first byte; bytes a short reply
    // does not reach keep what they held. Statuses are not examined: only the
    // deadline ends a poll that receives nothing.
    device_link.byte_count = 0;
    while (device_link.byte_count == 0) {
        read_call(buf, n);
        if (deadline_reached()) return LinkResult::Timeout;
    }
    return LinkResult::Ok;
}

LinkResult write_all(const uint8_t* buf, uint32_t n) {
    // After a partial write only the bytes not yet taken go out again;
    // resending from the first byte would put a garbled block on the wire.
    device_link.byte_count = 0;
    uint32_t moved = 0;
    while (moved < n) {
        write_call(buf + moved, n - moved);
        moved += moved_by_call(n - moved);
        if (deadline_reached()) return LinkResult::Timeout;
    }
    return LinkResult::Ok;
}

LinkResult read_all(uint8_t* buf, uint32_t n) {
    // A slow echo arrives in pieces; each piece is kept and the buffer is
    // filled on from where the last one ended.
    device_link.byte_count = 0;
    uint32_t moved = 0;
    while (moved < n) {
        read_call(buf + moved, n - moved);
        moved += moved_by_call(n - moved);
        if (deadline_reached()) return LinkResult::Timeout;
    }
    return LinkResult::Ok;
}
