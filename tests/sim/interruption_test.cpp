// Every library call of a clean update interrupted in turn: the adapter
// unplugged at that call, or that call failing once. Each run must end with
// the closing message that fits, the link closed and no false success, and
// a clean run after it, on the same device, must complete the update.
#include <algorithm>

#include "doubles/scripted_keys.h"
#include "doubles/virtual_clock.h"
#include "inproc/inproc_adapter.h"
#include "main/update_driver.h"
#include "support/harness.h"

namespace {

const char* const CLOSINGS[] = {"Update-file not found.", "Hex-file error.", "Data exchange error.",
                                "Exit.", "Firmware update terminated by user.",
                                "FirmWare update OK."};

class Interruption : public UpdaterTest {
protected:
    const Bytes payload_ = counting_payload(2 * 512 + 100);

    // One run on the current simulated device; returns the closing message.
    std::string run_once(size_t first_call) {
        keys::press('y');
        StdoutCapture capture;
        capture.start();
        const uint64_t start = vclock::elapsed_us();
        finish_run(run_update());
        const std::string out = capture.stop();
        EXPECT_LT((vclock::elapsed_us() - start) / 1000000.0, 30.0);

        std::string closing;
        int found = 0;
        for (const char* c : CLOSINGS) {
            const std::string text = c;
            if (out.size() >= text.size() && out.compare(out.size() - text.size(), text.size(), text) == 0) {
                closing = text;
                ++found;
            }
            size_t at = 0, seen = 0;
            while ((at = out.find(text, at)) != std::string::npos) ++seen, ++at;
            EXPECT_LE(seen, 1u) << out;
        }
        EXPECT_EQ(found, 1) << out;

        // Every device the program opened in this run was closed again.
        const auto& calls = sim::adapter().transcript();
        int opened = 0, closed = 0;
        for (size_t i = first_call; i < calls.size(); ++i) {
            opened += calls[i].name == "FT_Open" && calls[i].status == 0;
            closed += calls[i].name == "FT_Close";
        }
        EXPECT_EQ(opened, closed);
        if (opened > 0) {
            // Nothing after the close, but an open that failed.
            const auto& last = calls.back();
            EXPECT_TRUE(last.name == "FT_Close" || (last.name == "FT_Open" && last.status != 0))
                << last.name;
        }
        return closing;
    }

    bool flash_holds_payload() {
        const auto& flash = sim::adapter().device().flash();
        return std::equal(payload_.begin(), payload_.end(), flash.begin());
    }
};

// Calls whose failure, even once, must end the run: opening and the
// examined configuration calls, and the command writes (6, 4 and 8 bytes).
bool failure_ends_run(const sim::CallRecord& c) {
    static const char* const examined[] = {"FT_Open", "FT_ResetDevice", "FT_SetBaudRate",
                                           "FT_SetDataCharacteristics", "FT_SetFlowControl",
                                           "FT_SetChars"};
    for (const char* name : examined) {
        if (c.name == name) return true;
    }
    return c.name == "FT_Write" && (c.args == "n=6" || c.args == "n=4" || c.args == "n=8");
}

TEST_F(Interruption, EveryCallOfACleanUpdate) {
    write_file(make_update_file(payload_, 2, 0));
    sim::start(sim::Scenario{});
    ASSERT_EQ(run_once(0), "FirmWare update OK.");
    const std::vector<sim::CallRecord> clean = sim::adapter().transcript();
    const size_t n = clean.size();
    ASSERT_GT(n, 30u);

    int runs = 0;
    for (size_t k = 1; k <= n; ++k) {
        for (const bool unplug : {true, false}) {
            SCOPED_TRACE(std::string(unplug ? "unplugged at call " : "failing once: call ") +
                         std::to_string(k) + " " + clean[k - 1].name + " " + clean[k - 1].args);
            reset_program_state();
            sim::Scenario sc;
            if (unplug) {
                sc.unplug_at_call = k;
            } else {
                // The k-th call overall is the j-th of its name.
                uint32_t j = 0;
                for (size_t i = 0; i < k; ++i) j += clean[i].name == clean[k - 1].name;
                sc.fail_call[clean[k - 1].name] = {{j, 4}};
            }
            sim::start(sc);
            const std::string closing = run_once(0);
            // Unplugged: only the last close may be lost without harm.
            const bool must_fail = unplug ? k < n : failure_ends_run(clean[k - 1]);
            EXPECT_EQ(closing, must_fail ? "Data exchange error." : "FirmWare update OK.");
            if (closing == "FirmWare update OK.") {
                EXPECT_TRUE(flash_holds_payload());
            }

            // Plugged in again, faults gone: a new run completes the update.
            reset_module_state();
            keys::reset();
            sim::clear_faults();
            const size_t from = sim::adapter().transcript().size();
            EXPECT_EQ(run_once(from), "FirmWare update OK.");
            EXPECT_TRUE(flash_holds_payload());
            ++runs;
        }
    }
    std::printf("interrupted runs: %d (each followed by a clean one), calls of a clean update: %zu\n",
                runs, n);
}

}  // namespace
