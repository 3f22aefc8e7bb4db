// Bootloader entry: the handshake's acceptance and retries, and the reopen
// at the bootloader's rate that follows whatever the device answered.
#include "doubles/fake_adapter.h"
#include "doubles/virtual_clock.h"
#include "link/device_link.h"
#include "procedure/bootloader_entry.h"
#include "support/harness.h"

namespace {

using fake::Call;

const Bytes REQUEST = {0x5A, 0x5A, 0x63, 0x00, 0xE6, 0xDA};
const Bytes SILENCE = {};

class BootloaderEntry : public UpdaterTest {
protected:
    // Queues one answer per attempt; an empty one is silence for 1000 ms.
    void answers(const std::vector<Bytes>& per_attempt) {
        for (const Bytes& a : per_attempt) {
            if (a.empty()) {
                // Idle reads of 300 ms each until the deadline passes.
                for (int i = 0; i < 4; ++i) fake::queue_read(Bytes{}, 300);
            } else {
                fake::queue_read(a, 20);
            }
        }
    }
    std::vector<uint32_t> bauds() {
        std::vector<uint32_t> b;
        for (const auto& r : fake::transcript()) {
            if (r.call == Call::SetBaudRate) b.push_back(r.args[0]);
        }
        return b;
    }
};

TEST_F(BootloaderEntry, AnswersAndAttempts) {
    struct Case {
        const char* what;
        std::vector<Bytes> answers;
        uint32_t attempts;
    };
    const Case cases[] = {
        {"right answer", {{0x5A, 0x5A, 0x64, 0x00, 0x71, 0x43}}, 1},
        {"wrong CRC bytes still accepted", {{0x5A, 0x5A, 0x64, 0x00, 0x00, 0xFF}}, 1},
        {"first answer of three bytes", {{0x5A, 0x5A, 0x64}}, 1},
        {"nonzero byte 3, then right", {{0x5A, 0x5A, 0x64, 0x01, 0x71, 0x43},
                                        {0x5A, 0x5A, 0x64, 0x00, 0x71, 0x43}}, 2},
        {"lower-case first letters", {{0x7A, 0x7A, 0x64, 0x00, 0x71, 0x43},
                                      {0x5A, 0x5A, 0x64, 0x00, 0x71, 0x43}}, 2},
        // A short answer is completed by what the earlier answer left.
        {"short answer after a rejected one", {{0x5A, 0x5A, 0x64, 0x07, 0, 0},
                                               {0x5A, 0x5A, 0x64},
                                               {0x5A, 0x5A, 0x64}}, 3},
        {"no answer at all", {SILENCE, SILENCE, SILENCE}, 3},
        {"wrong, wrong, right", {{1}, {2}, {0x5A, 0x5A, 0x64, 0x00, 0x71, 0x43}}, 3},
        {"wrong three times", {{1}, {2}, {3}}, 3},
    };
    for (const Case& c : cases) {
        reset_program_state();
        answers(c.answers);
        EXPECT_EQ(enter_bootloader(), GO_ON) << c.what;
        EXPECT_EQ(handshake_attempts, c.attempts) << c.what;
        EXPECT_EQ(fake::count(Call::Write), static_cast<int>(c.attempts)) << c.what;
        Bytes sent;
        for (uint32_t i = 0; i < c.attempts; ++i) sent.insert(sent.end(), REQUEST.begin(), REQUEST.end());
        EXPECT_EQ(fake::written(), sent) << c.what;
        // Closed, paused, reopened at the bootloader's rate.
        EXPECT_EQ(bauds(), (std::vector<uint32_t>{1500000, 115200})) << c.what;
        EXPECT_EQ(fake::count(Call::Open), 2) << c.what;
        EXPECT_EQ(fake::count(Call::Close), 1) << c.what;
        EXPECT_EQ(vclock::sleeps(), std::vector<uint32_t>{100}) << c.what;
        EXPECT_TRUE(device_link.open) << c.what;
        EXPECT_EQ(fake::reads_left(), 0u) << c.what << "\n" << fake::format_transcript();
    }
}

TEST_F(BootloaderEntry, CloseAndPauseComeBetweenTheTwoOpens) {
    answers({{0x5A, 0x5A, 0x64, 0x00, 0x71, 0x43}});
    ASSERT_EQ(enter_bootloader(), GO_ON);
    const auto& calls = fake::transcript();
    size_t close_at = 0, second_open_at = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].call == Call::Close) close_at = i;
        if (calls[i].call == Call::Open) second_open_at = i;
    }
    ASSERT_LT(close_at, second_open_at);
    EXPECT_EQ(second_open_at, close_at + 1);
    EXPECT_GE(calls[second_open_at].tick_before - calls[close_at].tick_after, 100u);
}

TEST_F(BootloaderEntry, UnansweredAttemptsEachReadForAtLeastASecond) {
    answers({SILENCE, SILENCE, SILENCE});
    ASSERT_EQ(enter_bootloader(), GO_ON);
    const auto& calls = fake::transcript();
    std::vector<uint32_t> write_ends;
    std::vector<uint32_t> read_ends;  // end of the last read after each write
    for (const auto& r : calls) {
        if (r.call == Call::Write) write_ends.push_back(r.tick_after);
        if (r.call == Call::Read) {
            if (read_ends.size() < write_ends.size()) read_ends.push_back(0);
            read_ends.back() = r.tick_after;
        }
    }
    ASSERT_EQ(write_ends.size(), 3u);
    ASSERT_EQ(read_ends.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_GE(read_ends[i] - write_ends[i], 1000u) << i;
        EXPECT_LE(read_ends[i] - write_ends[i], 1300u) << i;
    }
}

TEST_F(BootloaderEntry, Failures) {
    struct Case {
        const char* what;
        Call failing;
        int nth;
        int opens, closes, writes;
        bool left_open;
    };
    const Case cases[] = {
        {"no adapter", Call::Open, 1, 1, 0, 0, false},
        {"first configuration", Call::SetBaudRate, 1, 1, 0, 0, true},
        {"write at the second attempt", Call::Write, 2, 1, 0, 2, true},
        {"second open", Call::Open, 2, 2, 1, 3, false},
        {"second configuration", Call::SetChars, 2, 2, 1, 3, true},
    };
    for (const Case& c : cases) {
        reset_program_state();
        answers({{9}, {9}, {9}});
        fake::fail(c.failing, FT_IO_ERROR, c.nth);
        EXPECT_EQ(enter_bootloader(), UpdateOutcome::LinkError) << c.what;
        EXPECT_EQ(fake::count(Call::Open), c.opens) << c.what;
        EXPECT_EQ(fake::count(Call::Close), c.closes) << c.what;
        EXPECT_EQ(fake::count(Call::Write), c.writes) << c.what;
        EXPECT_EQ(device_link.open, c.left_open) << c.what;
    }
}

TEST_F(BootloaderEntry, ShortFirstWriteMakesOneReadAndCounts) {
    fake::queue_write({{}, 3});
    fake::queue_read({0x5A, 0x5A, 0x64, 0x01}, 10);  // arrives, but after "deadline" 0
    answers({{0x5A, 0x5A, 0x64, 0x00, 0x71, 0x43}});
    ASSERT_EQ(enter_bootloader(), GO_ON);
    EXPECT_EQ(handshake_attempts, 2u);
    int reads_before_second_write = 0;
    int writes = 0;
    for (const auto& r : fake::transcript()) {
        if (r.call == Call::Write) ++writes;
        if (r.call == Call::Read && writes == 1) ++reads_before_second_write;
    }
    EXPECT_EQ(reads_before_second_write, 1);
}

}  // namespace
