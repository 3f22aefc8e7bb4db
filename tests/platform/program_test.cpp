// The built program itself, run as a user runs it: in a folder with or
// without an update file, with the adapter library present, missing, or
// incomplete, without a terminal and in a pseudo-terminal with keys typed.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/update_file.h"

namespace fs = std::filesystem;

namespace {

Bytes update_file(size_t payload_length) {
    Bytes payload(payload_length);
    for (size_t i = 0; i < payload_length; ++i) payload[i] = static_cast<uint8_t>(i * 13 + 5);
    return make_update_file(payload, 2, 0);
}

std::string read_text(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Outcome {
    std::string out;
    std::string log;  // calls the stand-in library saw
    int exit_status;
    double seconds;
};

const char* const VERSION_REPORT =
    "Bootloader firmware version: \n1.5\nNew main firmware version: \n2.0\n"
    "Old main firmware not find. \nDo you want to continue (Y or N)? \n";

class Program : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/pel-run-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        fs::create_directory(dir_ / "empty");
    }
    void TearDown() override { fs::remove_all(dir_); }

    void put_file(const Bytes& content) {
        std::ofstream out(dir_ / "PelBoot_VQ.fwu", std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size()));
    }

    // The child's side of a run: working folder, library path, output file.
    [[noreturn]] void exec_program(const std::string& library_dir,
                                   const std::vector<std::string>& args) {
        if (chdir(dir_.c_str()) != 0) _exit(126);
        setenv("LD_LIBRARY_PATH", library_dir.c_str(), 1);
        setenv("FAKE_D2XX_LOG", (dir_ / "calls.log").c_str(), 1);
        const int out = open((dir_ / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        close(out);
        std::vector<char*> argv = {const_cast<char*>(PELUPDATE_EXE)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(PELUPDATE_EXE, argv.data());
        _exit(127);
    }

    int wait_for(pid_t pid, int limit_s = 30) {
        int status = 0;
        for (int i = 0; i < limit_s * 100; ++i) {
            if (waitpid(pid, &status, WNOHANG) == pid) return status;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "the program did not end";
        return status;
    }

    Outcome collect(int status, std::chrono::steady_clock::time_point start) {
        Outcome o;
        o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        o.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        o.out = read_text(dir_ / "stdout.txt");
        o.log = fs::exists(dir_ / "calls.log") ? read_text(dir_ / "calls.log") : "";
        return o;
    }

    // No terminal at all, as under CI: a new session, standard input empty.
    Outcome run_detached(const std::string& library_dir, std::vector<std::string> args = {}) {
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            setsid();
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
            exec_program(library_dir, args);
        }
        return collect(wait_for(pid), start);
    }

    fs::path dir_;
};

TEST_F(Program, ImageFailuresNeverLoadTheLibrary) {
    struct Case {
        const char* what;
        bool file;
        Bytes content;
        std::string out;
    };
    const Case cases[] = {
        {"no file", false, {}, "Update-file not found."},
        {"swapped CRC", true, {0x61, 0x62, 0x63, 0x01, 0x02, 0x7D, 0x61}, "Hex-file error."},
        {"empty file", true, {}, "Hex-file error."},
    };
    for (const Case& c : cases) {
        fs::remove(dir_ / "PelBoot_VQ.fwu");
        fs::remove(dir_ / "calls.log");
        if (c.file) put_file(c.content);
        const Outcome o = run_detached(D2XX_FULL_DIR);
        EXPECT_EQ(o.out, c.out) << c.what;
        EXPECT_EQ(o.exit_status, 0) << c.what;
        EXPECT_EQ(o.log, "") << c.what;
        EXPECT_GE(o.seconds, 1.0) << c.what;  // the closing pause
    }
}

TEST_F(Program, MissingOrIncompleteLibraryIsADataExchangeError) {
    put_file(update_file(100));
    // A library lying in the update file's folder is not one to load.
    fs::copy_file(fs::path(D2XX_FULL_DIR) / "libftd2xx.so", dir_ / "libftd2xx.so");
    for (const std::string& lib : {(dir_ / "empty").string(), std::string(D2XX_PARTIAL_DIR)}) {
        const Outcome o = run_detached(lib);
        EXPECT_EQ(o.out, "Data exchange error.") << lib;
        EXPECT_EQ(o.exit_status, 0) << lib;
        EXPECT_EQ(o.log, "") << lib;
    }
}

TEST_F(Program, VendorLibraryIsAskedFirst) {
    // A vendor library that finds no adapter: its FT_Open is tried (once for
    // each open), then the kernel driver's ttys, of which this machine has
    // none listed, so the run ends as with no adapter.
    if (fs::exists("/sys/bus/usb-serial/drivers/ftdi_sio")) GTEST_SKIP() << "a real adapter may be here";
    put_file(update_file(100));
    const Outcome o = run_detached(D2XX_NODEVICE_DIR);
    EXPECT_EQ(o.out, "Data exchange error.");
    EXPECT_EQ(o.log, "FT_Open 0\n");
}

TEST_F(Program, WithoutAKeyboardTheRunNeverErases) {
    put_file(update_file(2000));
    const Outcome plain = run_detached(D2XX_FULL_DIR);
    EXPECT_EQ(plain.out, std::string(VERSION_REPORT) + "Exit.");
    EXPECT_EQ(plain.exit_status, 0);
    EXPECT_EQ(plain.log.find("FT_Write 8"), std::string::npos);  // no erase command
    EXPECT_EQ(plain.log.substr(plain.log.size() - 11), "FT_Close 0\n");
    EXPECT_NE(plain.log.find("FT_SetBaudRate 1500000\n"), std::string::npos);
    EXPECT_NE(plain.log.find("FT_SetBaudRate 115200\n"), std::string::npos);
    EXPECT_GE(plain.seconds, 1.1);  // the reopen pause and the closing pause

    // Arguments change nothing.
    fs::remove(dir_ / "calls.log");
    const Outcome with_args = run_detached(D2XX_FULL_DIR, {"--help", "-y", "x.fwu"});
    EXPECT_EQ(with_args.out, plain.out);
    EXPECT_EQ(with_args.log, plain.log);
}

// Runs the program in a pseudo-terminal with standard output to a file.
class Terminal : public Program {
protected:
    pid_t start_in_pty() {
        winsize size{30, 120, 0, 0};
        const pid_t pid = forkpty(&master_, nullptr, nullptr, &size);
        if (pid == 0) exec_program(D2XX_FULL_DIR, {});
        start_ = std::chrono::steady_clock::now();
        return pid;
    }
    termios settings() {
        termios t{};
        tcgetattr(master_, &t);
        return t;
    }
    // Waits until the program has put the terminal into its key mode.
    bool wait_for_key_mode() {
        for (int i = 0; i < 500; ++i) {
            if ((settings().c_lflag & (ICANON | ECHO)) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // A new pseudo-terminal starts in canonical mode with echo, signals and
    // flow control; the program must leave it so.
    void expect_terminal_restored() {
        const termios t = settings();
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN),
                  static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN));
        EXPECT_EQ(t.c_iflag & IXON, static_cast<tcflag_t>(IXON));
    }
    void type(const std::string& keys) {
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    // What the program wrote to the terminal itself (echo would show here).
    std::string drain_terminal() {
        std::string s;
        char buf[256];
        int flags = fcntl(master_, F_GETFL);
        fcntl(master_, F_SETFL, flags | O_NONBLOCK);
        ssize_t got;
        while ((got = read(master_, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(got));
        return s;
    }
    void TearDown() override {
        if (master_ >= 0) close(master_);
        Program::TearDown();
    }
    int master_ = -1;
    std::chrono::steady_clock::time_point start_;
};

TEST_F(Terminal, CompleteUpdateWithKeysTypedAhead) {
    put_file(update_file(1500));
    const pid_t pid = start_in_pty();
    ASSERT_TRUE(wait_for_key_mode());
    type("xy");  // x is ignored, y answers
    const Outcome o = collect(wait_for(pid), start_);
    EXPECT_EQ(o.out, std::string(VERSION_REPORT) +
                         "Y \nErase OK.\n0 %\n34 %\n68 %\nFirmWare update OK.");
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(drain_terminal().find_first_of("xy"), std::string::npos);  // nothing echoed
    expect_terminal_restored();
}

TEST_F(Terminal, CtrlCAtThePromptIsJustAKey) {
    put_file(update_file(600));
    const pid_t pid = start_in_pty();
    ASSERT_TRUE(wait_for_key_mode());
    // Wait for the prompt (the version query has been answered) before
    // Ctrl+C, which before it would end the program.
    for (int i = 0; i < 500 && read_text(dir_ / "calls.log").find("FT_Write 4") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    type("\x03N");
    const Outcome o = collect(wait_for(pid), start_);
    EXPECT_EQ(o.out, std::string(VERSION_REPORT) + "N \nExit.");
    EXPECT_EQ(o.exit_status, 0);
}

TEST_F(Terminal, SettingsComeBackAfterAFatalSignal) {
    // A request to end (SIGTERM) ends the run normally; a fault does not, and
    // the terminal must come back all the same.
    put_file(update_file(600));
    const pid_t pid = start_in_pty();
    ASSERT_TRUE(wait_for_key_mode());
    kill(pid, SIGSEGV);
    const Outcome o = collect(wait_for(pid), start_);
    EXPECT_EQ(o.exit_status, 128 + SIGSEGV);
    expect_terminal_restored();
}

}  // namespace
