// The device link: configuration, closing, the deadline and its wrap, and the
// four timed primitives, with the scripted adapter and the virtual clock.
#include "doubles/fake_adapter.h"
#include "doubles/virtual_clock.h"
#include "link/deadline.h"
#include "link/device_link.h"
#include "support/harness.h"

namespace {

using fake::Call;

class Link : public UpdaterTest {};

TEST_F(Link, OpenConfiguresInFixedOrder) {
    ASSERT_TRUE(link_open(1500000));
    struct Expected {
        Call call;
        std::vector<uint32_t> args;
    };
    const std::vector<Expected> expected = {
        {Call::Open, {0}},
        {Call::ResetDevice, {}},
        {Call::SetBaudRate, {1500000}},
        {Call::SetDataCharacteristics, {8, 0, 0}},
        {Call::SetFlowControl, {0, 0, 0}},
        {Call::SetChars, {0, 0, 0, 0}},
        {Call::SetTimeouts, {300, 300}},
        {Call::Purge, {3}},
        {Call::SetLatencyTimer, {2}},
    };
    const auto& calls = fake::transcript();
    ASSERT_EQ(calls.size(), expected.size()) << fake::format_transcript();
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(calls[i].call, expected[i].call) << i;
        EXPECT_EQ(calls[i].args, expected[i].args) << fake::call_name(expected[i].call);
        if (i > 0) {
            EXPECT_TRUE(calls[i].handle_valid) << i;
        }
    }
}

TEST_F(Link, ConfigurationFailureStopsAtThatCallAndLeavesDeviceOpen) {
    const Call examined[] = {Call::ResetDevice, Call::SetBaudRate, Call::SetDataCharacteristics,
                             Call::SetFlowControl, Call::SetChars};
    for (size_t k = 0; k < 5; ++k) {
        reset_program_state();
        fake::fail(examined[k], 18);
        EXPECT_FALSE(link_open(115200)) << fake::call_name(examined[k]);
        ASSERT_EQ(fake::transcript().size(), k + 2) << fake::format_transcript();
        EXPECT_EQ(fake::transcript().back().call, examined[k]);
        EXPECT_EQ(device_link.last_status, FT_OK);  // configuration statuses are not kept
        link_close();
        EXPECT_EQ(fake::count(Call::Close), 1);
        EXPECT_TRUE(fake::transcript().back().handle_valid);
    }
}

TEST_F(Link, TimeoutsPurgeAndLatencyFailuresAreIgnored) {
    fake::fail(Call::SetTimeouts, 4);
    fake::fail(Call::Purge, 4);
    fake::fail(Call::SetLatencyTimer, FT_NOT_SUPPORTED);
    EXPECT_TRUE(link_open(115200));
    EXPECT_EQ(fake::count(Call::Purge), 1);
    EXPECT_EQ(fake::count(Call::SetLatencyTimer), 1);
}

TEST_F(Link, FailedOpenIsNeverClosed) {
    fake::fail(Call::Open, FT_DEVICE_NOT_FOUND);
    EXPECT_FALSE(link_open(115200));
    EXPECT_EQ(device_link.last_status, FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(fake::transcript().size(), 1u);
    link_close();
    EXPECT_EQ(fake::count(Call::Close), 0);

    // Closing twice after a good open closes once.
    reset_program_state();
    ASSERT_TRUE(link_open(115200));
    link_close();
    link_close();
    EXPECT_EQ(fake::count(Call::Close), 1);
}

TEST(Deadline, PassedIsWrapSafeAndBounded) {
    struct Case {
        uint32_t now, deadline;
        bool passed;
    };
    const Case cases[] = {
        {1000, 2000, false},
        {1999, 2000, false},
        {2000, 2000, true},
        {2001, 2000, true},
        {0xFFFFFF00u, 0x00000064u, false},  // deadline just past the wrap
        {0x00000064u, 0x00000064u, true},
        {0x00000010u, 0xFFFFFF00u, true},   // reading just past the wrap
        {0xFFFFF000u, 0x00000388u, false},  // a 5000 ms arming before the wrap
        // Never armed (0) after 30 days of uptime: the signed difference
        // alone would call it 19 days ahead.
        {2592000000u, 0, true},
        {100, 100 + LONGEST_WAIT, false},
        {100, 100 + LONGEST_WAIT + 1, true},
        // The erase's 5,000 ms is the longest wait: one more is stale.
        {100, 5100, false},
        {100, 5101, true},
        {0xFFFFFF00u, 0x00001288u, false},  // 5,000 ms ahead, across the wrap
        {0xFFFFFF00u, 0x00001289u, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(deadline_passed(c.now, c.deadline), c.passed) << c.now << " " << c.deadline;
    }
}

class Arming : public Link {};

TEST_F(Arming, CommandWaitReReadsNearTheWrapUntilWrapped) {
    struct Case {
        uint32_t start;
        bool rereads;
    };
    const Case cases[] = {
        {0, true},
        {0xFFFFFFFFu - 999, true},  // 2^32 - 1000: the sum wraps to 0
        {0xFFFFFFFFu - 500, true},
        {0xFFFFFFFFu - 1000, false},  // 2^32 - 1001: the sum is 2^32 - 1
        {5, false},
    };
    for (const Case& c : cases) {
        vclock::reset(c.start, 1000);  // each reading takes 1 ms
        arm_deadline(1000);
        EXPECT_GT(device_link.deadline, 1000u) << c.start;
        EXPECT_EQ(vclock::reads() > 1, c.rereads) << c.start;
        if (c.rereads) {
            EXPECT_LE(device_link.deadline, 2001u) << c.start;
        }
        // The deadline is 1000 ms after the last reading.
        EXPECT_EQ(device_link.deadline, vclock::now() - 1 + 1000) << c.start;
    }
}

TEST_F(Arming, EraseWaitBeforeTheWrapWaitsItsFullTime) {
    ASSERT_TRUE(link_open(115200));
    vclock::reset(0xFFFFFFFFu - 2000, 10);
    arm_deadline(5000);
    EXPECT_EQ(device_link.deadline, 2999u);  // wrapped: a small number
    const uint64_t start = vclock::elapsed_us();
    uint8_t byte = 0;
    EXPECT_EQ(read_some(&byte, 1), LinkResult::Timeout);
    const uint64_t waited_ms = (vclock::elapsed_us() - start) / 1000;
    EXPECT_GE(waited_ms, 5000u);
    EXPECT_LE(waited_ms, 5300u);
}

TEST_F(Arming, WaitWhoseCallEndsAfterTheWrapStillEnds) {
    // The deadline lies 100 ms before the wrap; the read that passes it
    // returns after the wrap, where an unsigned comparison never fires.
    ASSERT_TRUE(link_open(115200));
    vclock::reset(0xFFFFFFFFu - 1099, 0);
    arm_deadline(1000);
    uint8_t byte = 0;
    EXPECT_EQ(read_some(&byte, 1), LinkResult::Timeout);
    EXPECT_EQ(fake::count(Call::Read), 4);  // 300 ms each: 1200 ms in all
}

class Primitives : public Link {};

TEST_F(Primitives, SendCommand) {
    ASSERT_TRUE(link_open(115200));
    const uint8_t cmd[4] = {1, 2, 3, 4};

    vclock::advance_ms(50);
    EXPECT_EQ(send_command(cmd, 4), LinkResult::Ok);
    EXPECT_NEAR(device_link.deadline, vclock::now() + 1000, 1);  // armed right after the write
    EXPECT_EQ(device_link.byte_count, 0u);

    // A short write is no failure and leaves the deadline where it was.
    const uint32_t before = device_link.deadline;
    vclock::advance_ms(50);
    fake::queue_write({{}, 2});
    EXPECT_EQ(send_command(cmd, 4), LinkResult::Ok);
    EXPECT_EQ(device_link.deadline, before);
    EXPECT_EQ(device_link.byte_count, 0u);

    fake::fail(Call::Write, FT_IO_ERROR, fake::count(Call::Write) + 1);
    EXPECT_EQ(send_command(cmd, 4), LinkResult::Failed);
    EXPECT_EQ(device_link.last_status, FT_IO_ERROR);
}

TEST_F(Primitives, ShortFirstWriteOfTheRunMeansOneReadAndTimeout) {
    ASSERT_TRUE(link_open(115200));
    const uint8_t cmd[6] = {};
    fake::queue_write({{}, 5});
    fake::queue_read({0x5A, 0x5A, 0x64, 0x00, 0x71, 0x43});
    EXPECT_EQ(send_command(cmd, 6), LinkResult::Ok);
    EXPECT_EQ(device_link.deadline, 0u);
    uint8_t reply[6] = {};
    EXPECT_EQ(read_some(reply, 6), LinkResult::Timeout);
    EXPECT_EQ(fake::count(Call::Read), 1);
}

TEST_F(Primitives, PollStartedAfterItsDeadlineMakesOneCall) {
    ASSERT_TRUE(link_open(115200));
    uint8_t buf[512] = {};
    struct Poll {
        const char* name;
        LinkResult (*run)(uint8_t*);
        Call call;
    };
    const Poll polls[] = {
        {"read_some", [](uint8_t* b) { return read_some(b, 512); }, Call::Read},
        {"read_all", [](uint8_t* b) { return read_all(b, 512); }, Call::Read},
        {"write_all", [](uint8_t* b) { return write_all(b, 512); }, Call::Write},
    };
    for (const Poll& p : polls) {
        arm_deadline(1000);
        vclock::advance_ms(1000);
        const int before = fake::count(p.call);
        if (p.call == Call::Read) fake::queue_read(Bytes(512, 0xAB));  // would complete it
        EXPECT_EQ(p.run(buf), LinkResult::Timeout) << p.name;
        EXPECT_EQ(fake::count(p.call) - before, 1) << p.name;
    }
}

TEST_F(Primitives, ReadSomeGoesOnAfterAFailedReadThatLeavesTheCount) {
    ASSERT_TRUE(link_open(115200));
    uint8_t buf[4] = {};
    // The call before this poll moved four bytes.
    fake::queue_read(Bytes(4, 0x11));
    arm_deadline(1000);
    ASSERT_EQ(read_all(buf, 4), LinkResult::Ok);

    fake::Chunk broken;
    broken.status = FT_IO_ERROR;
    broken.leave_count = true;
    broken.duration_ms = 10;
    fake::queue_read(broken);
    fake::queue_read({1, 2});
    arm_deadline(1000);
    EXPECT_EQ(read_some(buf, 4), LinkResult::Ok);
    EXPECT_EQ(fake::count(Call::Read), 3) << fake::format_transcript();
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{1, 2, 0x11, 0x11}));
}

TEST_F(Primitives, ReadSomeTakesTheFirstDeliveryAndKeepsTheRest) {
    ASSERT_TRUE(link_open(115200));
    uint8_t buf[4] = {9, 9, 9, 9};
    arm_deadline(1000);
    fake::queue_read(Bytes{}, 300);  // nothing at first
    fake::queue_read({1, 2});
    EXPECT_EQ(read_some(buf, 4), LinkResult::Ok);
    EXPECT_EQ(fake::count(Call::Read), 2);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{1, 2, 9, 9}));
}

TEST_F(Primitives, WriteAllSendsOnlyTheBytesNotYetTaken) {
    ASSERT_TRUE(link_open(115200));
    const Bytes block = counting_payload(512);
    fake::queue_write({{}, 200});
    fake::queue_write({{}, 0});
    fake::queue_write({{}, 112});
    arm_deadline(1000);
    EXPECT_EQ(write_all(block.data(), 512), LinkResult::Ok);
    const auto& calls = fake::transcript();
    std::vector<uint32_t> asked;
    for (const auto& r : calls) {
        if (r.call == Call::Write) asked.push_back(r.requested);
    }
    EXPECT_EQ(asked, (std::vector<uint32_t>{512, 312, 312, 200}));
    EXPECT_EQ(fake::written(), block);  // the wire saw the block once, in order
}

TEST_F(Primitives, WriteAllCountsNoProgressForAFailedWriteThatLeavesTheCount) {
    ASSERT_TRUE(link_open(115200));
    const Bytes block = counting_payload(512);
    fake::queue_write({{}, 200});
    fake::Chunk broken;
    broken.count = 0;
    broken.status = FT_IO_ERROR;
    broken.leave_count = true;
    broken.duration_ms = 10;
    fake::queue_write(broken);
    arm_deadline(1000);
    EXPECT_EQ(write_all(block.data(), 512), LinkResult::Ok);
    std::vector<uint32_t> asked;
    for (const auto& r : fake::transcript()) {
        if (r.call == Call::Write) asked.push_back(r.requested);
    }
    EXPECT_EQ(asked, (std::vector<uint32_t>{512, 312, 312}));
    EXPECT_EQ(fake::written(), block);
}

TEST_F(Primitives, ReadAllKeepsEachPieceOfASlowEcho) {
    ASSERT_TRUE(link_open(115200));
    const Bytes echo = counting_payload(512);
    fake::queue_read(Bytes(echo.begin(), echo.begin() + 200), 300);
    fake::queue_read(Bytes{}, 300);
    fake::queue_read(Bytes(echo.begin() + 200, echo.end()), 100);
    uint8_t buf[512] = {};
    arm_deadline(1000);
    EXPECT_EQ(read_all(buf, 512), LinkResult::Ok);
    EXPECT_EQ(Bytes(buf, buf + 512), echo);
    // After each piece, only the bytes still missing are asked for.
    std::vector<uint32_t> asked;
    for (const auto& r : fake::transcript()) {
        if (r.call == Call::Read) asked.push_back(r.requested);
    }
    EXPECT_EQ(asked, (std::vector<uint32_t>{512, 312, 312}));
}

TEST_F(Primitives, LastPieceArrivingAtTheDeadlineIsATimeout) {
    ASSERT_TRUE(link_open(115200));
    const Bytes echo = counting_payload(512);
    fake::queue_read(Bytes(echo.begin(), echo.begin() + 500), 700);
    fake::queue_read(Bytes(echo.begin() + 500, echo.end()), 300);
    uint8_t buf[512] = {};
    arm_deadline(1000);
    EXPECT_EQ(read_all(buf, 512), LinkResult::Timeout);
}

TEST_F(Primitives, MisreportedCountsNeitherOverrunNorCountTwice) {
    ASSERT_TRUE(link_open(115200));
    uint8_t buf[512] = {};

    // A library that claims more than was asked ends the poll, no further.
    fake::queue_write({{}, 4096});
    arm_deadline(1000);
    EXPECT_EQ(write_all(buf, 512), LinkResult::Ok);
    EXPECT_EQ(fake::count(Call::Write), 1);

    // A failing read that leaves the count alone must not count the bytes
    // of the call before it again.
    fake::Chunk first;
    first.data = Bytes(300, 0x11);
    fake::queue_read(first);
    fake::Chunk broken;
    broken.status = FT_IO_ERROR;
    broken.leave_count = true;
    broken.duration_ms = 100;
    fake::queue_read(broken);
    arm_deadline(1000);
    EXPECT_EQ(read_all(buf, 512), LinkResult::Timeout);
}

TEST_F(Primitives, FailingReadsSpinUntilTheDeadline) {
    ASSERT_TRUE(link_open(115200));
    fake::fail(Call::Read, FT_IO_ERROR, 1, true);
    uint8_t buf[1] = {};
    arm_deadline(1000);
    const uint64_t start = vclock::elapsed_us();
    EXPECT_EQ(read_some(buf, 1), LinkResult::Timeout);
    EXPECT_GT(fake::count(Call::Read), 1000);
    const uint64_t waited_ms = (vclock::elapsed_us() - start) / 1000;
    EXPECT_GE(waited_ms, 1000u);
    EXPECT_LE(waited_ms, 1001u);
    EXPECT_EQ(device_link.last_status, FT_IO_ERROR);
}

}  // namespace
