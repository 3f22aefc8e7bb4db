// A virtual millisecond clock in place of the tick counter and sleep. Time
// moves only when a scripted call takes time, a sleep is made, or the counter
// is read (each reading costs a little, as a real one does, so busy loops
// that wait on the counter come to an end).
#pragma once

#include <cstdint>
#include <vector>

namespace vclock {

void reset(uint32_t start_tick = 1000000, uint32_t read_cost_us = 10);
void set_read_cost_us(uint32_t us);
void advance_ms(uint32_t ms);
void advance_us(uint64_t us);
uint32_t now();                       // the counter, without the reading's cost
uint64_t elapsed_us();                // since reset
uint64_t reads();                     // tick_count calls since reset
const std::vector<uint32_t>& sleeps();  // sleep_ms arguments, in order

}  // namespace vclock
