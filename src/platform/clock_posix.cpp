// Tick counter and sleep on POSIX: CLOCK_MONOTONIC cut to 32 bits of
// milliseconds, so it wraps exactly like GetTickCount.
#include <cerrno>
#include <ctime>

#include "platform/clock.h"

uint32_t tick_count() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                        static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void sleep_ms(uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    // A signal that interrupts the pause does not shorten it.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
