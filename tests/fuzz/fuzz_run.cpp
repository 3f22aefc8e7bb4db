// Fuzz target: whole runs of the updater's code against the in-process
// simulated adapter and device, with the fuzzer choosing the update file,
// the device's replies, their lengths and timing, library statuses, unplugs,
// the clock's start and key presses. After every run it checks the host's
// three promises: "FirmWare update OK." only when the device took every
// block of the payload in order; exactly one closing message, with every
// opened device closed; and an end within the time the protocol bounds.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "doubles/scripted_keys.h"
#include "doubles/virtual_clock.h"
#include "image/update_image.h"
#include "inproc/inproc_adapter.h"
#include "main/update_driver.h"
#include "support/program_state.h"

void reset_adapter() { sim::start(sim::Scenario{}); }

namespace {

const char* const CLOSINGS[] = {"Update-file not found.", "Hex-file error.", "Data exchange error.",
                                "Exit.", "Firmware update terminated by user.",
                                "FirmWare update OK."};
const char* const CALLS[] = {"FT_Open", "FT_Close", "FT_ResetDevice", "FT_SetBaudRate",
                             "FT_SetDataCharacteristics", "FT_SetFlowControl", "FT_SetChars",
                             "FT_SetTimeouts", "FT_Purge", "FT_SetLatencyTimer", "FT_Read",
                             "FT_Write"};

void check(bool ok, const char* what, const std::string& detail = "") {
    if (!ok) {
        std::fprintf(stderr, "broken promise: %s\n%s\n", what, detail.c_str());
        std::abort();
    }
}

Bytes some_bytes(FuzzedDataProvider& in, size_t most) {
    return in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, most));
}

sim::Scenario choose_scenario(FuzzedDataProvider& in, uint32_t blocks) {
    sim::Scenario sc;
    sc.start_in_bootloader = in.ConsumeBool();
    sc.installed = in.ConsumeBool();
    sc.restart_ms = in.ConsumeIntegralInRange<uint32_t>(0, 200);
    sc.erase_ms = in.ConsumeIntegralInRange<uint32_t>(0, 6000);
    sc.erase_ack_ms = in.ConsumeIntegralInRange<uint32_t>(0, 1500);
    sc.program_ms = in.ConsumeIntegralInRange<uint32_t>(0, 1200);
    sc.handshake_ignore = in.ConsumeIntegralInRange<uint32_t>(0, 4);
    sc.handshake_delay_ms = in.ConsumeIntegralInRange<uint32_t>(0, 1500);
    sc.latency_ms = in.ConsumeIntegralInRange<uint32_t>(1, 255);
    sc.latency_model = in.ConsumeBool();
    sc.short_writes = in.ConsumeIntegralInRange<uint32_t>(0, 600);
    const int faults = in.ConsumeIntegralInRange<int>(0, 8);
    for (int f = 0; f < faults && in.remaining_bytes() > 0; ++f) {
        const uint32_t block = in.ConsumeIntegralInRange<uint32_t>(0, blocks);
        switch (in.ConsumeIntegralInRange<int>(0, 13)) {
            case 0: sc.handshake_custom = true; sc.handshake_reply = some_bytes(in, 8); break;
            case 1: sc.version_missing = true; break;
            case 2: sc.version_custom = true; sc.version_reply = some_bytes(in, 6); break;
            case 3: sc.erase_ack_custom = true; sc.erase_ack_reply = some_bytes(in, 3); break;
            case 4: sc.erase_done_custom = true; sc.erase_done_reply = some_bytes(in, 3); break;
            case 5: sc.echo_corrupt[block] = in.ConsumeIntegralInRange<uint32_t>(0, 511); break;
            case 6: sc.echo_truncate[block] = in.ConsumeIntegralInRange<uint32_t>(0, 511); break;
            case 7:
                sc.echo_pause[block] = {in.ConsumeIntegralInRange<uint32_t>(0, 511),
                                        in.ConsumeIntegralInRange<uint32_t>(0, 1500)};
                break;
            case 8: sc.echo_delay_ms[block] = in.ConsumeIntegralInRange<uint32_t>(0, 1500); break;
            case 9: sc.reject[block] = in.ConsumeIntegralInRange<uint32_t>(0, 25); break;
            case 10: sc.reply_missing[block] = true; break;
            case 11:
                sc.fail_call[CALLS[in.ConsumeIntegralInRange<int>(0, 11)]].push_back(
                    {in.ConsumeIntegralInRange<uint32_t>(1, 60),
                     in.ConsumeIntegralInRange<uint32_t>(1, 18)});
                break;
            case 12: sc.unplug_at_call = in.ConsumeIntegralInRange<uint64_t>(1, 120); break;
            case 13: sc.unplug_at_byte = in.ConsumeIntegralInRange<uint64_t>(1, 4000); break;
        }
    }
    sc.no_device = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    return sc;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/pel-fuzz-run-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    reset_module_state();
    keys::reset();
    // The counter may start anywhere, near its wrap included; each reading
    // costs 0.1 to 1 ms so that spinning polls stay cheap to simulate.
    const uint32_t start_tick = in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>()
                                                 : 0xFFFFFFFFu - in.ConsumeIntegralInRange<uint32_t>(0, 8000);
    vclock::reset(start_tick, in.ConsumeIntegralInRange<uint32_t>(100, 1000));

    // The update file: up to four blocks and a bit, sometimes damaged.
    const uint32_t length = in.ConsumeIntegralInRange<uint32_t>(0, 4 * 512 + 300);
    Bytes payload(length);
    for (uint32_t i = 0; i < length; ++i) payload[i] = static_cast<uint8_t>(i * 131 + length);
    Bytes file = make_update_file(payload, in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint8_t>());
    const int damage = in.ConsumeIntegralInRange<int>(0, 20);
    if (damage == 1) file[in.ConsumeIntegralInRange<size_t>(0, file.size() - 1)] ^= 0x40;
    if (damage == 2) file.resize(in.ConsumeIntegralInRange<size_t>(0, 3));
    if (damage == 3) unlink(IMAGE_FILE_NAME);
    if (damage != 3) {
        std::FILE* f = std::fopen(IMAGE_FILE_NAME, "wb");
        if (f == nullptr) std::abort();
        if (!file.empty()) std::fwrite(file.data(), 1, file.size(), f);
        std::fclose(f);
    }
    const uint32_t blocks = (length + 511) / 512;

    sim::start(choose_scenario(in, blocks));

    // Key presses at chosen moments, or no keyboard at all.
    uint64_t latest_key_ms = 0;
    if (in.ConsumeIntegralInRange<int>(0, 9) == 0) {
        keys::set_keyboard_missing();
    } else {
        const int presses = in.ConsumeIntegralInRange<int>(0, 4);
        for (int k = 0; k < presses; ++k) {
            const uint32_t at_ms = in.ConsumeIntegralInRange<uint32_t>(0, 20000);
            latest_key_ms = std::max<uint64_t>(latest_key_ms, at_ms);
            keys::press_at(vclock::now() + at_ms, in.ConsumeIntegral<uint8_t>());
        }
    }

    StdoutCapture capture;
    capture.start();
    const uint64_t t0 = vclock::elapsed_us();
    const UpdateOutcome outcome = run_update();
    finish_run(outcome);
    const double seconds = (vclock::elapsed_us() - t0) / 1e6;
    const std::string out = capture.stop();

    // One closing message, last, and only once.
    int endings = 0;
    for (const char* c : CLOSINGS) {
        const std::string text = c;
        if (out.find(text) != std::string::npos) {
            ++endings;
            check(out.size() >= text.size() &&
                      out.compare(out.size() - text.size(), text.size(), text) == 0 &&
                      out.find(text) == out.size() - text.size(),
                  "closing message not last or twice", out);
        }
    }
    check(endings == 1, "not exactly one closing message", out);
    check(out.size() >= 19 && out.compare(out.size() - 19, 19, "FirmWare update OK.") == 0 ?
              outcome == UpdateOutcome::Completed : outcome != UpdateOutcome::Completed,
          "message and outcome disagree", out);

    // Success only when the device holds every block of the payload.
    const auto& dev = sim::adapter().device();
    if (outcome == UpdateOutcome::Completed) {
        check(dev.erased() && dev.blocks_programmed() == blocks, "success without every block", out);
        const Bytes sealed = make_update_file(payload, file[length], file[length + 1]);
        for (uint32_t i = 0; i < blocks * 512; ++i) {
            const uint8_t expected = i < sealed.size() ? sealed[i] : 0;
            check(i >= dev.flash().size() || dev.flash()[i] == expected, "flash differs from the payload");
        }
        check(out.find("Erase OK.\n") != std::string::npos, "success without the erase", out);
    }

    // Every device opened was closed, and nothing followed the close.
    const auto& calls = sim::adapter().transcript();
    int opened = 0, closed = 0;
    for (const auto& c : calls) {
        opened += c.name == "FT_Open" && c.status == 0;
        closed += c.name == "FT_Close";
    }
    check(opened == closed, "an opened device left open", out);
    if (opened > 0) {
        const auto& last = calls.back();
        check(last.name == "FT_Close" || (last.name == "FT_Open" && last.status != 0),
              "a call after the close");
    }

    // Bounded: handshakes, reopen, query, erase, every block leg (resends
    // included) at 1.3 s each, the closing pause, the wait for keys, and
    // the guard loop of armings near the wrap.
    const double bound = 3 * 1.6 + 0.1 + 1.6 + 1.6 + 5.3 + (blocks + 20) * 4 * 1.3 + 1.0 +
                         latest_key_ms / 1000.0 + 4.0;
    check(seconds <= bound, "the run outlasted the protocol's bound",
          std::to_string(seconds) + " s > " + std::to_string(bound) + " s");
    return 0;
}
