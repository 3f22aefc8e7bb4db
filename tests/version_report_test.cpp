// The version report and the Y/N prompt: exact console text for each
// combination of versions, the keys the prompt ignores, and its failures.
#include "doubles/fake_adapter.h"
#include "doubles/scripted_keys.h"
#include "doubles/virtual_clock.h"
#include "link/device_link.h"
#include "procedure/version_report.h"
#include "support/harness.h"

namespace {

using fake::Call;

const std::string PROMPT = "Do you want to continue (Y or N)? \n";

class VersionReport : public UpdaterTest {
protected:
    void SetUp() override {
        UpdaterTest::SetUp();
        ASSERT_TRUE(link_open(115200));
    }
    PhaseEnd run(std::string& out) {
        StdoutCapture capture;
        capture.start();
        const PhaseEnd end = confirm_update();
        out = capture.stop();
        return end;
    }
};

TEST_F(VersionReport, VersionLinesAndNotes) {
    struct Case {
        const char* what;
        Bytes reply;
        uint8_t new_major, new_minor;
        std::string report;  // everything before the prompt
    };
    const std::string head15 = "Bootloader firmware version: \n1.5\n";
    const Case cases[] = {
        {"no main firmware", {1, 5, 0xFF, 0xFF}, 2, 0,
         head15 + "New main firmware version: \n2.0\nOld main firmware not find. \n"},
        {"255.0 is a version", {1, 5, 0xFF, 0x00}, 2, 0,
         head15 + "New main firmware version: \n2.0\nOld main firmware version: \n255.0\n"
                  "This firmvare has more early version. \n"},
        // The minor is not capped at 99: 0.255 weighs 255, more than 2.0.
        {"0.255 is a version", {1, 5, 0x00, 0xFF}, 2, 0,
         head15 + "New main firmware version: \n2.0\nOld main firmware version: \n0.255\n"
                  "This firmvare has more early version. \n"},
        {"installed later", {1, 5, 2, 1}, 2, 0,
         head15 + "New main firmware version: \n2.0\nOld main firmware version: \n2.1\n"
                  "This firmvare has more early version. \n"},
        {"identical", {1, 5, 2, 0}, 2, 0,
         head15 + "New main firmware version: \n2.0\nOld main firmware version: \n2.0\n"
                  "This firmvare has identical version. \n"},
        {"installed earlier", {1, 5, 1, 9}, 2, 0,
         head15 + "New main firmware version: \n2.0\nOld main firmware version: \n1.9\n"},
        {"1.150 counts as later than 2.30", {1, 5, 1, 150}, 2, 30,
         head15 + "New main firmware version: \n2.30\nOld main firmware version: \n1.150\n"
                  "This firmvare has more early version. \n"},
        {"1.100 and 2.0 weigh the same", {1, 5, 1, 100}, 2, 0,
         head15 + "New main firmware version: \n2.0\nOld main firmware version: \n1.100\n"},
        {"1.101 weighs one more than 2.0", {1, 5, 1, 101}, 2, 0,
         head15 + "New main firmware version: \n2.0\nOld main firmware version: \n1.101\n"
                  "This firmvare has more early version. \n"},
        {"two-byte reply reads 0.0 installed", {1, 5}, 2, 0,
         head15 + "New main firmware version: \n2.0\nOld main firmware version: \n0.0\n"},
        {"two-byte reply, image 0.0", {1, 5}, 0, 0,
         head15 + "New main firmware version: \n0.0\nOld main firmware version: \n0.0\n"
                  "This firmvare has identical version. \n"},
        {"largest numbers", {255, 255, 254, 255}, 255, 255,
         "Bootloader firmware version: \n255.255\nNew main firmware version: \n255.255\n"
         "Old main firmware version: \n254.255\n"},
    };
    for (const Case& c : cases) {
        reset_program_state();
        load_image({0xAA}, c.new_major, c.new_minor);
        ASSERT_TRUE(link_open(115200));
        fake::queue_read(c.reply, 30);
        keys::press('y');
        std::string out;
        EXPECT_EQ(run(out), GO_ON) << c.what;
        EXPECT_EQ(out, c.report + PROMPT + "Y \n") << c.what;
        EXPECT_EQ(status_byte, 'y') << c.what;
    }
}

TEST_F(VersionReport, QueryOnTheWire) {
    load_image({0xAA});
    fake::queue_read({1, 5, 0xFF, 0xFF}, 30);
    keys::press('Y');
    std::string out;
    ASSERT_EQ(run(out), GO_ON);
    EXPECT_EQ(fake::written(), (Bytes{0xA7, 0x3C, 0x90, 0xE4}));
}

TEST_F(VersionReport, PromptIgnoresOtherKeysAndEchoesTheCapital) {
    struct Case {
        std::vector<int> keys;
        PhaseEnd end;
        uint8_t answer;
    };
    const int ESC = 0x1B, CTRL_C = 3, ENTER = '\r';
    const Case cases[] = {
        {{'x', ' ', ENTER, ESC, CTRL_C, 'y'}, GO_ON, 'y'},
        {{'Y'}, GO_ON, 'Y'},
        {{0, 0x3B, 'n'}, UpdateOutcome::Declined, 'n'},  // F1's two codes, then n
        {{0xE0, 0x48, 'q', 'N'}, UpdateOutcome::Declined, 'N'},
        {{0x179}, GO_ON, 0x79},  // only the low 8 bits count
    };
    for (const Case& c : cases) {
        reset_program_state();
        load_image({0xAA});
        ASSERT_TRUE(link_open(115200));
        fake::queue_read({1, 5, 0xFF, 0xFF}, 30);
        for (int k : c.keys) keys::press(k);
        std::string out;
        EXPECT_EQ(run(out), c.end);
        const std::string echo = c.end == GO_ON ? "Y \n" : "N \n";
        ASSERT_GE(out.size(), PROMPT.size() + echo.size());
        EXPECT_EQ(out.substr(out.size() - PROMPT.size() - echo.size()), PROMPT + echo);
        EXPECT_EQ(status_byte, c.answer);
        EXPECT_EQ(keys::getch_calls(), static_cast<int>(c.keys.size()));
    }
}

TEST_F(VersionReport, KeyTypedAheadAnswersAtThePrompt) {
    load_image({0xAA});
    keys::press('y');  // pressed before the query went out
    fake::queue_read({1, 5, 0xFF, 0xFF}, 500);
    std::string out;
    EXPECT_EQ(run(out), GO_ON);
    EXPECT_EQ(keys::waiting(), 0);
}

TEST_F(VersionReport, PromptWaitsWithoutTouchingTheDevice) {
    load_image({0xAA});
    fake::queue_read({1, 5, 0xFF, 0xFF}, 30);
    keys::press_at(vclock::now() + 3600000, 'y');  // an hour later
    const size_t calls_before = fake::transcript().size();
    std::string out;
    EXPECT_EQ(run(out), GO_ON);
    EXPECT_EQ(fake::transcript().size(), calls_before + 2);  // the query and its reply
}

TEST_F(VersionReport, Failures) {
    load_image({0xAA});
    std::string out;

    // No reply within the deadline: nothing printed.
    keys::press('y');
    EXPECT_EQ(run(out), UpdateOutcome::LinkError);
    EXPECT_EQ(out, "");
    EXPECT_EQ(keys::getch_calls(), 0);

    // The query's write fails.
    reset_program_state();
    load_image({0xAA});
    ASSERT_TRUE(link_open(115200));
    fake::fail(Call::Write, FT_IO_ERROR);
    fake::queue_read({1, 5, 0xFF, 0xFF});
    EXPECT_EQ(run(out), UpdateOutcome::LinkError);
    EXPECT_EQ(out, "");
    EXPECT_EQ(fake::count(Call::Read), 0);
}

TEST_F(VersionReport, UnreadableKeyboardNeverConsents) {
    load_image({0xAA});
    fake::queue_read({1, 5, 0xFF, 0xFF}, 30);
    keys::set_keyboard_missing();
    std::string out;
    EXPECT_EQ(run(out), UpdateOutcome::Declined);
    EXPECT_EQ(keys::getch_calls(), 1);  // gives up at once instead of spinning
    EXPECT_EQ(out.substr(out.size() - PROMPT.size()), PROMPT);  // no answer echoed
}

}  // namespace
