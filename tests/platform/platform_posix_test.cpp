// The POSIX tick counter and sleep.
#include <gtest/gtest.h>

#include <ctime>

#include "platform/clock.h"

namespace {

TEST(Clock, TickCounterIsMonotonicMillisecondsCutTo32Bits) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint32_t expected =
        static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
    const uint32_t tick = tick_count();
    EXPECT_LE(static_cast<uint32_t>(tick - expected), 5u);
}

TEST(Clock, SleepLastsAboutAsLongAsAsked) {
    const uint32_t before = tick_count();
    sleep_ms(120);
    const uint32_t slept = tick_count() - before;
    EXPECT_GE(slept, 120u);
    EXPECT_LT(slept, 1000u);
}

}  // namespace
