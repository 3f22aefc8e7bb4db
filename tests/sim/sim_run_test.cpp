// Whole runs of the program's code against the simulated adapter and device,
// on the virtual clock: what ends up in the device's flash, and how long the
// wire and the device make each phase take.
#include <algorithm>

#include "doubles/scripted_keys.h"
#include "doubles/virtual_clock.h"
#include "inproc/inproc_adapter.h"
#include "main/update_driver.h"
#include "procedure/block_programming.h"
#include "support/harness.h"

namespace {

constexpr double BLOCK_WIRE_MS = 1026 * 10 * 1000.0 / 115200;  // 89.06 ms

class SimRun : public UpdaterTest {
protected:
    struct Result {
        std::string out;
        double seconds;  // virtual
    };
    Result run(const sim::Scenario& sc, const Bytes& payload, const char* answer = "y") {
        scenario_ = sc;
        sim::start(scenario_);
        write_file(make_update_file(payload, 2, 0));
        for (const char* k = answer; *k; ++k) keys::press(*k);
        StdoutCapture capture;
        capture.start();
        const uint64_t start = vclock::elapsed_us();
        finish_run(run_update());
        Result r{capture.stop(), (vclock::elapsed_us() - start) / 1e6};
        return r;
    }
    const std::vector<sim::CallRecord>& calls() { return sim::adapter().transcript(); }
    // The flash holds the payload, and nothing was written past its blocks.
    void expect_flash_holds(const Bytes& payload) {
        const auto& flash = sim::adapter().device().flash();
        ASSERT_TRUE(std::equal(payload.begin(), payload.end(), flash.begin()));
        const size_t end = (payload.size() + 511) / 512 * 512;
        EXPECT_TRUE(std::all_of(flash.begin() + static_cast<long>(end), flash.end(),
                                [](uint8_t b) { return b == 0xFF; }));
    }
    int count(const std::string& name, const Bytes& written = {}) {
        int n = 0;
        for (const auto& c : calls()) {
            n += c.name == name && (written.empty() || c.bytes == written);
        }
        return n;
    }
    sim::Scenario scenario_;
};

std::string tail(const std::string& s, size_t n) { return s.size() < n ? s : s.substr(s.size() - n); }

TEST_F(SimRun, CompleteUpdateProgramsThePayload) {
    const Bytes payload = counting_payload(512 * 6 + 100);
    sim::Scenario sc;
    sc.program_ms = 5;
    const Result r = run(sc, payload);
    EXPECT_EQ(r.out,
              "Bootloader firmware version: \n1.5\nNew main firmware version: \n2.0\n"
              "Old main firmware version: \n1.9\nDo you want to continue (Y or N)? \nY \n"
              "Erase OK.\n0 %\n16 %\n32 %\n48 %\n64 %\n80 %\n96 %\nFirmWare update OK.");
    expect_flash_holds(payload);
    EXPECT_EQ(calls().back().name, "FT_Close");

    // The block phase takes at least the wire time of its bytes and no more
    // than that plus the device's and the adapter's own delays.
    uint64_t erase_done = 0, last = calls().back().start_ns;
    for (const auto& c : calls()) {
        if (c.name == "FT_Read" && c.bytes == Bytes{0xF0}) erase_done = c.end_ns;
    }
    const double block_ms = (last - erase_done) / 1e6;
    EXPECT_GE(block_ms, 7 * BLOCK_WIRE_MS);
    EXPECT_LE(block_ms, 7 * (BLOCK_WIRE_MS + 5 + 2 * 16 + 2));
    EXPECT_GE(r.seconds, 1.0 + 0.1 + sc.erase_ms / 1000.0);
}

TEST_F(SimRun, OutcomesOnTheDevice) {
    const Bytes payload = counting_payload(512 * 3);
    struct Case {
        const char* what;
        void (*setup)(sim::Scenario&);
        const char* answer;
        std::string closing;
        bool erased;
        bool flash_complete;
    };
    const Case cases[] = {
        {"answer N", [](sim::Scenario&) {}, "n", "Exit.", false, false},
        {"device already in its bootloader", [](sim::Scenario& s) { s.start_in_bootloader = true; },
         "y", "FirmWare update OK.", true, true},
        {"first two handshakes unanswered", [](sim::Scenario& s) { s.handshake_ignore = 2; }, "y",
         "FirmWare update OK.", true, true},
        {"block 1 rejected twice", [](sim::Scenario& s) { s.reject[1] = 2; }, "y",
         "FirmWare update OK.", true, true},
        {"echo of block 2 corrupted", [](sim::Scenario& s) { s.echo_corrupt[2] = 300; }, "y",
         "FirmWare update OK.", true, true},
        {"echo paused half a second", [](sim::Scenario& s) { s.echo_pause[0] = {200, 500}; }, "y",
         "FirmWare update OK.", true, true},
        {"writes of 100 bytes at most", [](sim::Scenario& s) { s.short_writes = 100; }, "y",
         "FirmWare update OK.", true, true},
        {"20 rejections", [](sim::Scenario& s) { s.reject[0] = 20; }, "y", "Data exchange error.",
         true, false},
        {"echo truncated", [](sim::Scenario& s) { s.echo_truncate[1] = 511; }, "y",
         "Data exchange error.", true, false},
        {"echo late", [](sim::Scenario& s) { s.echo_delay_ms[0] = 1100; }, "y",
         "Data exchange error.", true, false},
        {"reply missing", [](sim::Scenario& s) { s.reply_missing[1] = true; }, "y",
         "Data exchange error.", true, false},
        {"slow erase, longer than the idle reset", [](sim::Scenario& s) { s.erase_ms = 4500; },
         "y", "FirmWare update OK.", true, true},
        {"erase never finishes", [](sim::Scenario& s) { s.erase_ms = 5400; }, "y",
         "Data exchange error.", true, false},
        {"version reply missing", [](sim::Scenario& s) { s.version_missing = true; }, "y",
         "Data exchange error.", false, false},
        {"unplugged in block 1", [](sim::Scenario& s) { s.unplug_at_byte = 18 + 512 + 1 + 200; },
         "y", "Data exchange error.", true, false},
        {"no device", [](sim::Scenario& s) { s.no_device = true; }, "y", "Data exchange error.",
         false, false},
        {"second SetChars fails", [](sim::Scenario& s) { s.fail_call["FT_SetChars"] = {{2, 18}}; },
         "y", "Data exchange error.", false, false},
    };
    for (const Case& c : cases) {
        reset_program_state();
        sim::Scenario sc;
        c.setup(sc);
        const Result r = run(sc, payload, c.answer);
        EXPECT_EQ(tail(r.out, c.closing.size()), c.closing) << c.what << "\n" << r.out;
        EXPECT_EQ(sim::adapter().device().erased(), c.erased) << c.what;
        if (c.flash_complete) {
            expect_flash_holds(payload);
        } else {
            EXPECT_LT(sim::adapter().device().blocks_programmed(), 3u) << c.what;
        }
        // Whatever happened, the last call the program made was the close
        // (unless it never opened the adapter).
        if (count("FT_Open") > 0 && calls().front().status == 0) {
            EXPECT_EQ(calls().back().name, "FT_Close") << c.what;
        }
    }
}

TEST_F(SimRun, CorruptedEchoIsAnsweredWithMismatchAndResent) {
    const Bytes payload = counting_payload(1024);
    sim::Scenario sc;
    sc.echo_corrupt[0] = 0;
    run(sc, payload);
    EXPECT_EQ(count("FT_Write", {0xFF}), 1);
    EXPECT_EQ(count("FT_Write", {0x01}), 2);
    EXPECT_EQ(block_failures, 1u);
    expect_flash_holds(payload);
}

TEST_F(SimRun, UnplugDuringTheErase) {
    sim::Scenario sc;
    sc.unplug_at_call = 23;  // a read while the erase runs
    const Result r = run(sc, counting_payload(1024));
    EXPECT_EQ(tail(r.out, 20), "Data exchange error.");
    EXPECT_EQ(r.out.find("Erase OK."), std::string::npos);
    EXPECT_LE(r.seconds, 1.2 + 1.0 + 5.3 + 1.0);
}

TEST_F(SimRun, EveryCallPassesTheOpenHandle) {
    run(sim::Scenario{}, counting_payload(700));
    for (const auto& c : calls()) EXPECT_EQ(c.status, 0u) << sim::Adapter::format(c);
}

// The model itself, below the program.
class SimModel : public UpdaterTest {};

TEST_F(SimModel, HandshakeIsAnsweredOnlyAt1500000Baud8N1) {
    struct Case {
        uint32_t baud;
        uint8_t bits;
        bool answered;
    };
    for (const Case& c : {Case{1500000, 8, true}, Case{115200, 8, false}, Case{1500000, 7, false}}) {
        sim::Scenario sc;
        sim::start(sc);
        sim::Adapter& a = sim::adapter();
        void* h = nullptr;
        ASSERT_EQ(a.open(0, &h), 0u);
        a.set_baud_rate(h, c.baud);
        a.set_data_characteristics(h, c.bits, 0, 0);
        a.set_timeouts(h, 300, 300);
        uint8_t request[6] = {0x5A, 0x5A, 0x63, 0x00, 0xE6, 0xDA};
        uint32_t done = 0;
        a.write(h, request, 6, &done);
        uint8_t reply[6] = {};
        a.read(h, reply, 6, &done);
        EXPECT_EQ(done == 6, c.answered) << c.baud << " " << int(c.bits);
        EXPECT_EQ(a.device().in_bootloader(), c.answered);
    }
}

TEST_F(SimModel, LatencyTimerHoldsBackShortTails) {
    for (bool model : {true, false}) {
        sim::Scenario sc;
        sc.start_in_bootloader = true;
        sc.latency_model = model;
        sim::start(sc);
        sim::Adapter& a = sim::adapter();
        void* h = nullptr;
        a.open(0, &h);
        a.set_baud_rate(h, 115200);
        a.set_data_characteristics(h, 8, 0, 0);
        a.set_timeouts(h, 300, 300);
        uint8_t query[4] = {0xA7, 0x3C, 0x90, 0xE4};
        uint32_t done = 0;
        const uint64_t start = vclock::elapsed_us();
        a.write(h, query, 4, &done);
        uint8_t reply[4];
        a.read(h, reply, 4, &done);
        ASSERT_EQ(done, 4u);
        const double ms = (vclock::elapsed_us() - start) / 1000.0;
        // 8 bytes of wire time (0.69 ms) and the turnaround; with the model,
        // the reply waits for the latency timer started by its first byte.
        if (model) {
            EXPECT_NEAR(ms, 0.35 + 0.2 + 0.09 + 16, 0.05);
        } else {
            EXPECT_NEAR(ms, 0.35 + 0.2 + 0.35, 0.2);
        }
    }
}

TEST_F(SimModel, FlashTakesBlocksOnlyAfterAnEraseAndOnlyClearsBits) {
    sim::Scenario sc;
    sc.flash_size = 2048;
    std::vector<std::pair<Bytes, uint64_t>> sent;
    sim::Device d(sc, [&](const Bytes& b, uint64_t at) { sent.push_back({b, at}); });
    uint64_t t = 0;
    auto feed = [&](const Bytes& bytes, uint32_t baud) {
        for (uint8_t b : bytes) {
            t += 100000;
            d.receive(b, t, baud == d.baud());
        }
    };
    // A block before any erase is just noise to the bootloader.
    feed({0x5A, 0x5A, 0x63, 0x00, 0xE6, 0xDA}, 1500000);
    t += 100000000;  // past the restart
    feed(Bytes(512, 0x00), 115200);
    feed({0x01}, 115200);
    EXPECT_EQ(d.blocks_programmed(), 0u);
    EXPECT_TRUE(std::all_of(d.flash().begin(), d.flash().end(), [](uint8_t b) { return b == 0xFF; }));

    feed({0x3E, 0xD1, 0x07, 0xC5, 0x62, 0xB4, 0x9F, 0x28}, 115200);
    t += 1000000000;  // the erase
    Bytes block(512, 0xF0);
    feed(block, 115200);
    EXPECT_EQ(sent.back().first, block);  // echoed
    feed({0xFF}, 115200);                 // the host saw a mismatch
    EXPECT_EQ(sent.back().first, Bytes{0x00});
    EXPECT_EQ(d.blocks_programmed(), 0u);
    feed(block, 115200);
    feed({0x01}, 115200);
    EXPECT_EQ(sent.back().first, Bytes{0x80});
    EXPECT_EQ(d.blocks_programmed(), 1u);
    EXPECT_EQ(d.flash()[0], 0xF0);
    EXPECT_EQ(d.flash()[512], 0xFF);
}

}  // namespace
