// Whole runs through run_update and finish_run: the exact console output of
// each of the six outcomes, the link closed before the closing message, the
// pauses, and every library call of a two-block update.
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "doubles/fake_adapter.h"
#include "doubles/scripted_keys.h"
#include "doubles/virtual_clock.h"
#include "main/update_driver.h"
#include "support/harness.h"

namespace {

using fake::Call;

struct RunResult {
    std::string out;
    int status;
    long printed_at_close;  // bytes on standard output when FT_Close was called, -1: never
};

class WholeRun : public UpdaterTest {
protected:
    RunResult run() {
        RunResult r{"", -1, -1};
        fake::on_call([&r](const fake::Record& rec) {
            if (rec.call != Call::Close) return;
            std::fflush(stdout);
            struct stat st;
            fstat(STDOUT_FILENO, &st);
            r.printed_at_close = static_cast<long>(st.st_size);
        });
        StdoutCapture capture;
        capture.start();
        r.status = finish_run(run_update());
        r.out = capture.stop();
        return r;
    }
};

const std::string VERSIONS =
    "Bootloader firmware version: \n1.5\n"
    "New main firmware version: \n2.0\n"
    "Old main firmware version: \n1.9\n"
    "Do you want to continue (Y or N)? \n";

TEST_F(WholeRun, SixOutcomes) {
    struct Case {
        const char* what;
        std::function<void(WholeRun&)> setup;
        std::string output;
        bool link_used;
    };
    const Bytes payload = counting_payload(1024);
    const Case cases[] = {
        {"no update file", [](WholeRun&) {}, "Update-file not found.", false},
        {"corrupt update file",
         [](WholeRun& t) { t.write_file({0x61, 0x62, 0x63, 0x01, 0x02, 0x7D, 0x61}); },
         "Hex-file error.", false},
        {"no adapter",
         [&](WholeRun& t) {
             t.write_file(make_update_file(payload, 2, 0));
             fake::fail(Call::Open, FT_DEVICE_NOT_FOUND);
         },
         "Data exchange error.", true},
        {"answer N",
         [&](WholeRun& t) {
             t.write_file(make_update_file(payload, 2, 0));
             device::handshake_accepted();
             device::versions(1, 5, 1, 9);
             keys::press('n');
         },
         VERSIONS + "N \nExit.", true},
        {"key during programming",
         [&](WholeRun& t) {
             t.write_file(make_update_file(payload, 2, 0));
             device::handshake_accepted();
             device::versions(1, 5, 1, 9);
             keys::press('y');
             keys::press('y');  // the second press aborts after the first block
             fake::queue_read({0x0F});
             fake::queue_read({0xF0});
             fake::queue_read(Bytes(payload.begin(), payload.begin() + 512));
             fake::queue_read({0x80});
         },
         VERSIONS + "Y \nErase OK.\n0 %\nFirmware update terminated by user.", true},
        {"completed",
         [&](WholeRun& t) {
             t.write_file(make_update_file(payload, 2, 0));
             device::handshake_accepted();
             device::versions(1, 5, 1, 9);
             keys::press('Y');
             fake::queue_read({0x0F});
             fake::queue_read({0xF0});
             for (int b = 0; b < 2; ++b) {
                 fake::queue_read(Bytes(payload.begin() + b * 512, payload.begin() + b * 512 + 512));
                 fake::queue_read({0x80});
             }
         },
         VERSIONS + "Y \nErase OK.\n0 %\n50 %\nFirmWare update OK.", true},
        {"echo never comes",
         [&](WholeRun& t) {
             t.write_file(make_update_file(payload, 2, 0));
             device::handshake_accepted();
             device::versions(1, 5, 1, 9);
             keys::press('y');
             device::erase_ok();
         },
         VERSIONS + "Y \nErase OK.\nData exchange error.", true},
    };
    for (const Case& c : cases) {
        reset_program_state();
        std::filesystem::remove("PelBoot_VQ.fwu");
        c.setup(*this);
        const RunResult r = run();
        EXPECT_EQ(r.out, c.output) << c.what;
        EXPECT_EQ(r.status, 0) << c.what;
        ASSERT_FALSE(vclock::sleeps().empty()) << c.what;
        EXPECT_EQ(vclock::sleeps().back(), 1000u) << c.what;
        EXPECT_EQ(fake::transcript().empty(), !c.link_used) << c.what;
        if (fake::count(Call::Open) > 0 && fake::transcript().front().status == FT_OK) {
            // Closed once more than opened-and-closed by the handshake, as
            // the last call, before the closing message was printed.
            EXPECT_EQ(fake::transcript().back().call, Call::Close) << c.what;
            EXPECT_EQ(fake::count(Call::Close), 2) << c.what;
            EXPECT_EQ(r.printed_at_close, static_cast<long>(r.out.rfind('\n') + 1)) << c.what;
        } else {
            EXPECT_EQ(fake::count(Call::Close), 0) << c.what;
        }
    }
}

TEST_F(WholeRun, TwoBlockUpdateCallByCall) {
    const Bytes payload = counting_payload(1024);
    write_file(make_update_file(payload, 2, 0));
    device::handshake_accepted();
    device::versions(1, 5, 0xFF, 0xFF);
    keys::press('y');
    device::erase_ok();
    for (int b = 0; b < 2; ++b) {
        fake::queue_read(Bytes(payload.begin() + b * 512, payload.begin() + b * 512 + 512));
        fake::queue_read({0x80});
    }
    const RunResult r = run();
    ASSERT_EQ(r.out.substr(r.out.size() - 19), "FirmWare update OK.");

    const std::vector<std::string> configure = {
        "FT_ResetDevice", "FT_SetBaudRate", "FT_SetDataCharacteristics", "FT_SetFlowControl",
        "FT_SetChars", "FT_SetTimeouts", "FT_Purge", "FT_SetLatencyTimer"};
    std::vector<std::string> expected = {"FT_Open"};
    expected.insert(expected.end(), configure.begin(), configure.end());
    expected.insert(expected.end(), {"FT_Write", "FT_Read", "FT_Close", "FT_Open"});
    expected.insert(expected.end(), configure.begin(), configure.end());
    expected.insert(expected.end(), {"FT_Write", "FT_Read",                          // versions
                                     "FT_Write", "FT_Read", "FT_Read",               // erase
                                     "FT_Write", "FT_Read", "FT_Write", "FT_Read",   // block 0
                                     "FT_Write", "FT_Read", "FT_Write", "FT_Read",   // block 1
                                     "FT_Close"});
    std::vector<std::string> calls;
    for (const auto& rec : fake::transcript()) calls.push_back(fake::call_name(rec.call));
    EXPECT_EQ(calls, expected) << fake::format_transcript();
    for (size_t i = 1; i < fake::transcript().size(); ++i) {
        const auto& rec = fake::transcript()[i];
        if (rec.call != Call::Open) {
            EXPECT_TRUE(rec.handle_valid) << i;
        }
    }

    Bytes wire = {0x5A, 0x5A, 0x63, 0x00, 0xE6, 0xDA, 0xA7, 0x3C, 0x90, 0xE4,
                  0x3E, 0xD1, 0x07, 0xC5, 0x62, 0xB4, 0x9F, 0x28};
    wire.insert(wire.end(), payload.begin(), payload.begin() + 512);
    wire.push_back(0x01);
    wire.insert(wire.end(), payload.begin() + 512, payload.end());
    wire.push_back(0x01);
    EXPECT_EQ(fake::written(), wire);

    std::vector<uint32_t> read_sizes;
    for (const auto& rec : fake::transcript()) {
        if (rec.call == Call::Read) read_sizes.push_back(rec.requested);
    }
    EXPECT_EQ(read_sizes, (std::vector<uint32_t>{6, 4, 1, 1, 512, 1, 512, 1}));
    EXPECT_EQ(vclock::sleeps(), (std::vector<uint32_t>{100, 1000}));
}

TEST_F(WholeRun, ImageFailureTouchesNoLibraryAndPrintsOnlyTheMessage) {
    write_file({0x01, 0x00, 0xA3});
    const RunResult r = run();
    EXPECT_EQ(r.out, "Hex-file error.");
    EXPECT_TRUE(fake::transcript().empty());
    EXPECT_EQ(vclock::sleeps(), std::vector<uint32_t>{1000});
}

TEST_F(WholeRun, EmptyPayloadErasesAndCompletes) {
    write_file({0x01, 0x00, 0xA3, 0xCA});
    device::handshake_accepted();
    device::versions(1, 5, 1, 0);
    keys::press('y');
    device::erase_ok();
    const RunResult r = run();
    EXPECT_EQ(r.out,
              "Bootloader firmware version: \n1.5\nNew main firmware version: \n1.0\n"
              "Old main firmware version: \n1.0\nThis firmvare has identical version. \n"
              "Do you want to continue (Y or N)? \nY \nErase OK.\nFirmWare update OK.");
}

TEST_F(WholeRun, DeviceAlreadyInBootloader) {
    // No answer to any handshake: three attempts, then on as if answered.
    const Bytes payload = counting_payload(512);
    write_file(make_update_file(payload, 2, 0));
    for (int i = 0; i < 12; ++i) fake::queue_read(Bytes{}, 300);
    device::versions(1, 5, 1, 9);
    keys::press('y');
    device::erase_ok();
    fake::queue_read(payload);
    fake::queue_read({0x80});
    const RunResult r = run();
    EXPECT_EQ(r.out, VERSIONS + "Y \nErase OK.\n0 %\nFirmWare update OK.");
}

}  // namespace
