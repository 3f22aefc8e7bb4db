// Deadline arithmetic on the wrapping 32-bit millisecond tick counter.
#pragma once

#include <cstdint>

// The longest wait the updater ever arms, in ms (the erase).
inline constexpr uint32_t LONGEST_WAIT = 5000;

// True once `now` has reached `deadline`. Compared by the signed difference,
// so a deadline armed just before the counter wraps is still ahead of a
// reading taken just before the wrap. A deadline further ahead than any wait
// the updater arms can only be a stale one (armed long ago, or never armed
// and still 0 after a long uptime) and counts as passed, so no wait can run
// for weeks.
inline bool deadline_passed(uint32_t now, uint32_t deadline) {
    if (static_cast<int32_t>(now - deadline) >= 0) return true;
    return deadline - now > LONGEST_WAIT;
}
