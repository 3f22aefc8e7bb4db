// Erase and block programming: what goes on the wire for each block, the
// device's verdicts, the rejection budget, progress lines and the key abort.
#include "doubles/fake_adapter.h"
#include "image/update_image.h"
#include "doubles/scripted_keys.h"
#include "doubles/virtual_clock.h"
#include "link/device_link.h"
#include "procedure/block_programming.h"
#include "support/harness.h"

namespace {

using fake::Call;

const Bytes ERASE = {0x3E, 0xD1, 0x07, 0xC5, 0x62, 0xB4, 0x9F, 0x28};

class Programming : public UpdaterTest {
protected:
    void prepare(const Bytes& payload) {
        reset_program_state();
        load_image(payload);
        ASSERT_TRUE(link_open(115200));
    }
    UpdateOutcome run(std::string& out) {
        StdoutCapture capture;
        capture.start();
        const UpdateOutcome o = program_firmware();
        out = capture.stop();
        return o;
    }
    // The writes after the erase command, one entry per call.
    std::vector<Bytes> writes() {
        std::vector<Bytes> w;
        for (const auto& r : fake::transcript()) {
            if (r.call == Call::Write) w.push_back(r.bytes);
        }
        return w;
    }
    // Offsets of the blocks sent, in order (512-byte writes).
    std::vector<uint32_t> blocks_sent(const Bytes& payload) {
        std::vector<uint32_t> offsets;
        for (const Bytes& w : writes()) {
            if (w.size() != 512) continue;
            for (uint32_t off = 0; off < payload.size(); off += 512) {
                const size_t n = std::min<size_t>(512, payload.size() - off);
                if (std::equal(w.begin(), w.begin() + n, payload.begin() + off)) {
                    offsets.push_back(off);
                    break;
                }
            }
        }
        return offsets;
    }
};

std::string progress_lines(std::initializer_list<int> figures) {
    std::string s;
    for (int f : figures) s += std::to_string(f) + " %\n";
    return s;
}

TEST_F(Programming, EmptyPayloadErasesAndSendsNothing) {
    prepare({});
    device::erase_ok();
    std::string out;
    EXPECT_EQ(run(out), UpdateOutcome::Completed);
    EXPECT_EQ(out, "Erase OK.\n");
    EXPECT_EQ(fake::written(), ERASE);
}

TEST_F(Programming, SevenByteImageOnTheWire) {
    reset_program_state();
    write_file({0x61, 0x62, 0x63, 0x01, 0x02, 0x61, 0x7D});
    ASSERT_FALSE(image_load().has_value());
    ASSERT_TRUE(link_open(115200));
    device::erase_ok();
    Bytes block(512, 0);
    const uint8_t file[] = {0x61, 0x62, 0x63, 0x01, 0x02, 0x61, 0x7D};
    std::copy(file, file + 7, block.begin());
    device::block(block.data());
    std::string out;
    EXPECT_EQ(run(out), UpdateOutcome::Completed);
    EXPECT_EQ(out, "Erase OK.\n0 %\n");
    EXPECT_EQ(writes(), (std::vector<Bytes>{ERASE, block, {0x01}}));
}

TEST_F(Programming, LastBlockCarriesTrailerAsFarAsItFits) {
    struct Case {
        size_t payload;
        size_t trailer_bytes_sent;
    };
    const Case cases[] = {{512, 0}, {1024, 0}, {513, 4}, {512 + 508, 4}, {512 + 509, 3},
                          {512 + 511, 1}};
    for (const Case& c : cases) {
        const Bytes payload = counting_payload(c.payload);
        prepare(payload);
        device::erase_ok();
        for (uint32_t off = 0; off < payload.size(); off += 512) device::block(image_block(off));
        std::string out;
        ASSERT_EQ(run(out), UpdateOutcome::Completed) << c.payload;
        const std::vector<Bytes> w = writes();
        const Bytes& last = w[w.size() - 2];  // before the last echo result
        const size_t start = (c.payload - 1) / 512 * 512;
        const size_t rest = c.payload - start;
        // The rest of the payload, then the trailer bytes that fit, then zeros.
        const Bytes file = make_update_file(payload, 2, 0);
        Bytes expected(512, 0);
        std::copy(file.begin() + static_cast<long>(start),
                  file.begin() + static_cast<long>(start + rest + c.trailer_bytes_sent),
                  expected.begin());
        EXPECT_EQ(last, expected) << c.payload;
    }
}

TEST_F(Programming, ProgressLines) {
    struct Case {
        size_t payload;
        std::string lines;
    };
    std::string all;
    for (int i = 0; i < 100; ++i) all += std::to_string(i) + " %\n";
    const Case cases[] = {
        {512, progress_lines({0})},
        {1024, progress_lines({0, 50})},
        {1536, progress_lines({0, 33, 66})},
        {51200, all},
        {3, progress_lines({0})},
    };
    for (const Case& c : cases) {
        prepare(counting_payload(c.payload));
        device::erase_ok();
        for (uint32_t off = 0; off < c.payload; off += 512) device::block(image_block(off));
        std::string out;
        EXPECT_EQ(run(out), UpdateOutcome::Completed) << c.payload;
        EXPECT_EQ(out, "Erase OK.\n" + c.lines) << c.payload;
    }
}

TEST_F(Programming, OnlyTheReplyDecides) {
    const Bytes payload = counting_payload(1024);
    struct Case {
        const char* what;
        bool corrupt_echo;
        uint8_t reply;
        uint8_t echo_result;
        std::vector<uint32_t> sent;
        uint32_t failures;
        std::string lines;
    };
    const Case cases[] = {
        {"match, accepted", false, 0x80, 0x01, {0, 512}, 0, progress_lines({0, 50})},
        {"mismatch, accepted anyway", true, 0x80, 0xFF, {0, 512}, 0, progress_lines({0, 50})},
        {"match, rejected", false, 0x00, 0x01, {0, 0, 512}, 1, progress_lines({0, 50})},
        {"mismatch, rejected", true, 0x7F, 0xFF, {0, 0, 512}, 1, progress_lines({0, 50})},
    };
    for (const Case& c : cases) {
        prepare(payload);
        device::erase_ok();
        Bytes echo = expected_block(0);
        if (c.corrupt_echo) echo[100] ^= 0x01;
        fake::queue_read(echo);
        fake::queue_read({c.reply});
        if (c.reply != 0x80) device::block(image_block(0));
        device::block(image_block(512));
        std::string out;
        EXPECT_EQ(run(out), UpdateOutcome::Completed) << c.what;
        EXPECT_EQ(blocks_sent(payload), c.sent) << c.what;
        EXPECT_EQ(writes()[2], Bytes{c.echo_result}) << c.what;
        EXPECT_EQ(block_failures, c.failures) << c.what;
        EXPECT_EQ(out, "Erase OK.\n" + c.lines) << c.what;
    }
}

TEST_F(Programming, AnySingleDifferingByteIsAMismatch) {
    const Bytes zeros(512, 0);  // a block of zero bytes, against an echo with one bit set
    for (uint32_t pos = 0; pos < 512; ++pos) {
        prepare(Bytes(512, 0));
        device::erase_ok();
        Bytes echo = zeros;
        echo[pos] = 0x01;
        fake::queue_read(echo);
        fake::queue_read({0x80});
        std::string out;
        ASSERT_EQ(run(out), UpdateOutcome::Completed);
        ASSERT_EQ(writes()[2], Bytes{0xFF}) << pos;
    }
}

TEST_F(Programming, RejectionBudgetCoversTheWholeRun) {
    const Bytes payload = counting_payload(512 * 5);
    // 19 rejections spread over the blocks: still completes.
    prepare(payload);
    device::erase_ok();
    const int rejections[5] = {4, 0, 7, 5, 3};
    for (uint32_t b = 0; b < 5; ++b) {
        for (int i = 0; i < rejections[b]; ++i) device::block(image_block(b * 512), 0x00);
        device::block(image_block(b * 512));
    }
    std::string out;
    EXPECT_EQ(run(out), UpdateOutcome::Completed);
    EXPECT_EQ(block_failures, 19u);
    EXPECT_EQ(out, "Erase OK.\n" + progress_lines({0, 20, 40, 60, 80}));

    // The 20th: the run ends right after that reply, with no line for it.
    prepare(payload);
    device::erase_ok();
    for (int i = 0; i < 10; ++i) device::block(image_block(0), 0x00);
    device::block(image_block(0));
    for (int i = 0; i < 10; ++i) device::block(image_block(512), 0x42);
    device::block(image_block(512));
    EXPECT_EQ(run(out), UpdateOutcome::LinkError);
    EXPECT_EQ(block_failures, 20u);
    EXPECT_EQ(out, "Erase OK.\n" + progress_lines({0}));
    EXPECT_EQ(blocks_sent(payload).size(), 21u);
    EXPECT_EQ(keys::kbhit_calls(), 20);  // none after the 20th rejection
}

TEST_F(Programming, RejectedFirstBlockStillPrintsZeroOnce) {
    prepare(counting_payload(1024));
    device::erase_ok();
    device::block(image_block(0), 0x00);
    device::block(image_block(0));
    device::block(image_block(512));
    std::string out;
    EXPECT_EQ(run(out), UpdateOutcome::Completed);
    EXPECT_EQ(out, "Erase OK.\n" + progress_lines({0, 50}));
    EXPECT_EQ(block_failures, 1u);

    // Payloads under 101 bytes, a single short block: rejected twice, then
    // taken, it still shows 0 once and nothing else.
    for (const size_t length : {1, 3, 50, 99, 100}) {
        prepare(counting_payload(length));
        device::erase_ok();
        device::block(image_block(0), 0x00);
        device::block(image_block(0), 0x00);
        device::block(image_block(0));
        EXPECT_EQ(run(out), UpdateOutcome::Completed) << length;
        EXPECT_EQ(out, "Erase OK.\n0 %\n") << length;
        EXPECT_EQ(block_failures, 2u) << length;
    }
}

TEST_F(Programming, EraseReplies) {
    struct Case {
        const char* what;
        std::vector<std::pair<Bytes, uint32_t>> replies;  // bytes, after ms
        UpdateOutcome outcome;
        uint32_t min_ms, max_ms;  // run time from the erase command
    };
    const Case cases[] = {
        {"done 4.9 s after the ack", {{{0x0F}, 10}, {{0xF0}, 4900}}, UpdateOutcome::Completed, 4910, 4920},
        {"first reply is the second", {{{0xF0}, 10}}, UpdateOutcome::LinkError, 0, 20},
        {"wrong second reply", {{{0x0F}, 10}, {{0x0E}, 10}}, UpdateOutcome::LinkError, 0, 30},
        {"no first reply", {}, UpdateOutcome::LinkError, 1000, 1300},
        {"nothing after the ack", {{{0x0F}, 10}}, UpdateOutcome::LinkError, 5010, 5310},
    };
    for (const Case& c : cases) {
        prepare({});
        for (const auto& [bytes, ms] : c.replies) fake::queue_read(bytes, ms);
        const uint64_t start = vclock::elapsed_us();
        std::string out;
        EXPECT_EQ(run(out), c.outcome) << c.what;
        const uint64_t took = (vclock::elapsed_us() - start) / 1000;
        EXPECT_GE(took, c.min_ms) << c.what;
        EXPECT_LE(took, c.max_ms) << c.what;
        EXPECT_EQ(out, c.outcome == UpdateOutcome::Completed ? "Erase OK.\n" : "") << c.what;
    }
}

TEST_F(Programming, EraseCommandWriteFails) {
    prepare({1, 2, 3});
    fake::fail(Call::Write, FT_IO_ERROR);
    std::string out;
    EXPECT_EQ(run(out), UpdateOutcome::LinkError);
    EXPECT_EQ(fake::count(Call::Read), 0);
}

TEST_F(Programming, LegTimeoutsEndTheRunWithoutARetry) {
    const Bytes payload = counting_payload(512);
    const fake::Chunk whole{{}, -1, FT_OK, 0};
    const fake::Chunk stalled{{}, 0, FT_OK, 300};  // takes nothing for 300 ms
    for (int leg = 1; leg <= 4; ++leg) {
        prepare(payload);
        device::erase_ok();
        fake::queue_write(whole);                    // the erase command
        if (leg > 1) fake::queue_write(whole);       // the block
        if (leg > 2) fake::queue_read(expected_block(0));  // the echo
        if (leg == 3) {
            for (int i = 0; i < 4; ++i) fake::queue_write(stalled);
        }
        if (leg == 1) {
            for (int i = 0; i < 4; ++i) fake::queue_write(stalled);
        }
        // Legs 2 and 4 time out on silence.
        const uint64_t start = vclock::elapsed_us();
        std::string out;
        EXPECT_EQ(run(out), UpdateOutcome::LinkError) << leg;
        EXPECT_EQ(block_failures, 0u) << leg;
        EXPECT_EQ(out, "Erase OK.\n") << leg;
        EXPECT_LE(blocks_sent(payload).size(), 1u) << leg;
        EXPECT_LE((vclock::elapsed_us() - start) / 1000, 1300u + 20) << leg;
    }
}

TEST_F(Programming, EachLegHasItsOwnSecond) {
    // Every leg takes 900 ms: within its own deadline each time.
    prepare(counting_payload(512));
    device::erase_ok();
    fake::queue_write({{}, -1, FT_OK, 0});    // erase command
    fake::queue_write({{}, -1, FT_OK, 900});  // block
    fake::queue_read(expected_block(0), 900);
    fake::queue_write({{}, -1, FT_OK, 900});  // echo result
    fake::queue_read({0x80}, 900);
    std::string out;
    EXPECT_EQ(run(out), UpdateOutcome::Completed);
}

TEST_F(Programming, KeyPressEndsAfterTheCurrentBlock) {
    const Bytes payload = counting_payload(512 * 3);
    struct Case {
        const char* what;
        int press_on_write;  // the key arrives during this write (1 = erase command)
        size_t blocks;
        std::string lines;
    };
    const Case cases[] = {
        {"during the erase", 1, 1, progress_lines({0})},
        {"during the second block", 4, 2, progress_lines({0, 33})},
        {"during the last block", 6, 3, progress_lines({0, 33, 66})},
    };
    for (const Case& c : cases) {
        prepare(payload);
        device::erase_ok();
        for (uint32_t off = 0; off < payload.size(); off += 512) device::block(image_block(off));
        int writes_seen = 0;
        fake::on_call([&](const fake::Record& r) {
            if (r.call == Call::Write && ++writes_seen == c.press_on_write) keys::press('a');
        });
        std::string out;
        EXPECT_EQ(run(out), UpdateOutcome::UserAbort) << c.what;
        EXPECT_EQ(blocks_sent(payload).size(), c.blocks) << c.what;
        EXPECT_EQ(out, "Erase OK.\n" + c.lines) << c.what;
        EXPECT_EQ(keys::waiting(), 1) << c.what;  // the key is tested, not taken
    }
}

}  // namespace
