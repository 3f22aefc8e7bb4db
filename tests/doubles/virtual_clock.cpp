// The virtual clock's tick counter and sleep.
#include "doubles/virtual_clock.h"

#include "platform/clock.h"

namespace vclock {
namespace {

uint32_t start = 0;
uint64_t micros = 0;
uint32_t cost_us = 10;
uint64_t read_count = 0;
std::vector<uint32_t> slept;

}  // namespace

void reset(uint32_t start_tick, uint32_t read_cost_us) {
    start = start_tick;
    micros = 0;
    cost_us = read_cost_us;
    read_count = 0;
    slept.clear();
}

void set_read_cost_us(uint32_t us) { cost_us = us; }
void advance_ms(uint32_t ms) { micros += static_cast<uint64_t>(ms) * 1000; }
void advance_us(uint64_t us) { micros += us; }
uint32_t now() { return static_cast<uint32_t>(start + micros / 1000); }
uint64_t elapsed_us() { return micros; }
uint64_t reads() { return read_count; }
const std::vector<uint32_t>& sleeps() { return slept; }

}  // namespace vclock

uint32_t tick_count() {
    const uint32_t value = vclock::now();
    vclock::micros += vclock::cost_us;
    ++vclock::read_count;
    return value;
}

void sleep_ms(uint32_t ms) {
    vclock::slept.push_back(ms);
    vclock::advance_ms(ms);
}
