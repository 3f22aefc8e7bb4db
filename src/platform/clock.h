// Millisecond time for the link's deadlines and the run's pauses.
#pragma once

#include <cstdint>

// A 32-bit millisecond counter that wraps to zero after 2^32 ms, like
// Windows' GetTickCount.
uint32_t tick_count();

// Blocks the calling thread for about ms milliseconds.
void sleep_ms(uint32_t ms);
