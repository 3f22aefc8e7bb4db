// The kernel-driver provider of the D2XX calls, over a pseudo-terminal pair:
// the provider opens the slave as the adapter's tty, and the simulator's
// device model speaks at wire speed on the master. Also the rule that finds
// the adapter among the driver's entries.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "main/update_driver.h"
#include "procedure/bootloader_entry.h"
#include "model/device.h"
#include "pty/paced_device.h"
#include "platform/console.h"
#include "adapter/d2xx.h"
#include "adapter/tty_adapter.h"
#include "adapter/tty_faults.h"
#include "support/program_state.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The keyboard of these runs: the answer Y, then no key during programming.
void output_init() {}
void console_open() {}
int console_getch() { return 'y'; }
bool console_kbhit() { return false; }

namespace {

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A pseudo-terminal pair; the provider opens the slave by its name.
class PtyPair {
public:
    PtyPair() {
        char name[128];
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) std::abort();
        name_ = name;
        // Only the provider holds the slave from now on.
        close(slave_);
        slave_ = open(name, O_RDWR | O_NOCTTY);  // kept so the master never sees a hang-up
    }
    ~PtyPair() {
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
    }
    void hang_up() {
        close(slave_);
        slave_ = -1;
        close(master_);
        master_ = -1;
    }
    int master() const { return master_; }
    const char* name() const { return name_.c_str(); }

private:
    int master_ = -1, slave_ = -1;
    std::string name_;
};

// The device model behind the master, with bytes paced at the line's rate.
class DeviceOnPty {
public:
    DeviceOnPty(int master, const sim::Scenario& scenario)
        : master_(master), paced_(scenario), thread_([this] { loop(); }) {}
    ~DeviceOnPty() {
        stop_ = true;
        thread_.join();
    }
    const sim::Device& device() const { return paced_.device(); }
    // Bytes that have reached the device's end of the line so far.
    uint64_t received() const { return received_; }

private:
    uint32_t line_baud() const {
        termios t{};
        tcgetattr(master_, &t);
        const speed_t s = cfgetospeed(&t);
        return s == B1500000 ? 1500000 : s == B115200 ? 115200 : 0;
    }
    bool line_8n1() const {
        termios t{};
        tcgetattr(master_, &t);
        return (t.c_cflag & CSIZE) == CS8 && !(t.c_cflag & (CSTOPB | PARENB));
    }
    void loop() {
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            const int r = poll(&p, 1, 1);
            if (r > 0 && (p.revents & POLLIN)) {
                uint8_t buf[1024];
                const ssize_t got = read(master_, buf, sizeof buf);
                if (got > 0) {
                    received_ += static_cast<uint64_t>(got);
                    paced_.receive(buf, static_cast<size_t>(got), line_baud(), line_8n1());
                }
            } else if (r > 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            const std::vector<uint8_t> due = paced_.due(line_baud());
            if (!due.empty()) {
                if (write(master_, due.data(), due.size()) < 0) return;
            }
        }
    }

    int master_;
    sim::PacedDevice paced_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> received_{0};
    std::thread thread_;
};

class TtyAdapter : public ::testing::Test {
protected:
    void SetUp() override { tty_use_path(pty_.name()); }
    void TearDown() override {
        tty_faults_clear();
        if (open_) FT_Close(handle_);
        tty_use_path(nullptr);
    }
    void open_adapter(uint32_t timeout_ms) {
        ASSERT_EQ(FT_Open(0, &handle_), FT_OK);
        open_ = true;
        ASSERT_EQ(FT_SetBaudRate(handle_, 115200), FT_OK);
        ASSERT_EQ(FT_SetDataCharacteristics(handle_, 8, 0, 0), FT_OK);
        ASSERT_EQ(FT_SetTimeouts(handle_, timeout_ms, timeout_ms), FT_OK);
    }
    PtyPair pty_;
    FT_HANDLE handle_ = nullptr;
    bool open_ = false;
};

TEST(TtyDiscovery, LowestNumberedTtyUsbEntry) {
    char dir[] = "/tmp/pel-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    char path[64];
    EXPECT_FALSE(tty_find_adapter(dir, path, sizeof path));  // no entry
    for (const char* entry : {"ttyUSB10", "ttyUSB2", "ttyUSBx", "ttyUSB", "ttyUSB3a", "ttyACM0",
                              "ttyUSB-1", "bind", "uevent"}) {
        fs::create_directory(fs::path(dir) / entry);
    }
    ASSERT_TRUE(tty_find_adapter(dir, path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyUSB2");  // numeric order, not text order
    fs::remove(fs::path(dir) / "ttyUSB2");
    ASSERT_TRUE(tty_find_adapter(dir, path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyUSB10");
    fs::remove_all(dir);
    EXPECT_FALSE(tty_find_adapter(dir, path, sizeof path));  // no folder at all
}

TEST(TtyDiscovery, LowestNumberWhateverOrderTheFolderListsIn) {
    struct Case {
        std::vector<std::string> listing;
        const char* found;  // nullptr: no adapter
    };
    const Case cases[] = {
        {{"ttyUSB0"}, "/dev/ttyUSB0"},
        {{"bind", "ttyUSB0", "ttyUSB1", "uevent"}, "/dev/ttyUSB0"},
        {{"ttyUSB1", "module", "ttyUSB0"}, "/dev/ttyUSB0"},
        {{"ttyUSB10", "ttyUSB9", "ttyUSB0"}, "/dev/ttyUSB0"},
        {{"ttyUSB3", "ttyUSB12", "ttyUSB1", "ttyUSB2"}, "/dev/ttyUSB1"},
        {{"ttyUSB11", "ttyUSB2"}, "/dev/ttyUSB2"},
        {{"ttyUSB2", "ttyUSB11"}, "/dev/ttyUSB2"},
        {{"bind", "new_id", "uevent", "unbind"}, nullptr},
    };
    // The folder must exist; what it lists is the table's.
    char dir[] = "/tmp/pel-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    for (const Case& c : cases) {
        tty_faults_list(&c.listing);
        char path[64] = "";
        const bool found = tty_find_adapter(dir, path, sizeof path);
        tty_faults_list(nullptr);
        std::string what;
        for (const std::string& name : c.listing) what += name + " ";
        EXPECT_EQ(found, c.found != nullptr) << what;
        if (c.found != nullptr) {
            EXPECT_STREQ(path, c.found) << what;
        }
    }
    fs::remove_all(dir);
}

TEST_F(TtyAdapter, LineSettingsTakeEffect) {
    open_adapter(100);
    ASSERT_EQ(FT_SetBaudRate(handle_, 1500000), FT_OK);
    ASSERT_EQ(FT_SetFlowControl(handle_, FT_FLOW_NONE, 0, 0), FT_OK);
    ASSERT_EQ(FT_SetChars(handle_, 0, 0, 0, 0), FT_OK);
    EXPECT_EQ(FT_SetLatencyTimer(handle_, 2), FT_OK);  // a pty has no low-latency mode: ignored
    termios t{};
    ASSERT_EQ(tcgetattr(pty_.master(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B1500000));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARENB | CRTSCTS), 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(FT_SetBaudRate(handle_, 12345), 7u);  // not a rate the tty has
    // Only one opener at a time.
    FT_HANDLE second;
    EXPECT_NE(FT_Open(0, &second), FT_OK);
}

TEST_F(TtyAdapter, ReadsAndWritesKeepTheTimeoutMeaning) {
    open_adapter(200);
    uint8_t buf[8] = {};
    uint32_t done = 99;

    // Nothing arrives: FT_OK, no byte, after the timeout.
    auto start = Clock::now();
    EXPECT_EQ(FT_Read(handle_, buf, 4, &done), FT_OK);
    EXPECT_EQ(done, 0u);
    EXPECT_GE(ms_since(start), 195);
    EXPECT_LT(ms_since(start), 400);

    // Part of the bytes: a short count after the timeout, across several
    // arrivals.
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ASSERT_EQ(write(pty_.master(), "ab", 2), 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ASSERT_EQ(write(pty_.master(), "c", 1), 1);
    });
    start = Clock::now();
    EXPECT_EQ(FT_Read(handle_, buf, 4, &done), FT_OK);
    writer.join();
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(std::memcmp(buf, "abc", 3), 0);
    EXPECT_GE(ms_since(start), 195);

    // All bytes there: returns at once.
    ASSERT_EQ(write(pty_.master(), "wxyz", 4), 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    start = Clock::now();
    EXPECT_EQ(FT_Read(handle_, buf, 4, &done), FT_OK);
    EXPECT_EQ(done, 4u);
    EXPECT_LT(ms_since(start), 50);

    // Writes reach the other end; a purge drops what was not yet read.
    EXPECT_EQ(FT_Write(handle_, const_cast<char*>("hello"), 5, &done), FT_OK);
    EXPECT_EQ(done, 5u);
    char got[8] = {};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(read(pty_.master(), got, sizeof got), 5);
    ASSERT_EQ(write(pty_.master(), "junk", 4), 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(FT_Purge(handle_, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
    EXPECT_EQ(FT_Read(handle_, buf, 4, &done), FT_OK);
    EXPECT_EQ(done, 0u);
}

TEST_F(TtyAdapter, AnUnpluggedAdapterIsAnIoErrorFromThenOn) {
    open_adapter(300);
    uint8_t buf[4];
    uint32_t done = 0;
    pty_.hang_up();
    const auto start = Clock::now();
    EXPECT_EQ(FT_Read(handle_, buf, 4, &done), FT_IO_ERROR);
    EXPECT_LT(ms_since(start), 100);  // at once, not after the timeout
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(FT_Write(handle_, buf, 4, &done), FT_IO_ERROR);
    EXPECT_EQ(FT_Read(handle_, buf, 4, &done), FT_IO_ERROR);
    EXPECT_EQ(FT_SetBaudRate(handle_, 115200), FT_IO_ERROR);
}

TEST_F(TtyAdapter, WholeUpdateThroughTheKernelDriverProvider) {
    char dir[] = "/tmp/pel-tty-run-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const fs::path old = fs::current_path();
    fs::current_path(dir);
    const Bytes payload = counting_payload(3 * 512 - 40);
    {
        const Bytes file = make_update_file(payload, 2, 0);
        std::ofstream("PelBoot_VQ.fwu", std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }
    sim::Scenario sc;
    sc.erase_ms = 50;
    DeviceOnPty device(pty_.master(), sc);
    reset_module_state();

    StdoutCapture capture;
    capture.start();
    const auto start = Clock::now();
    finish_run(run_update());
    const double ms = ms_since(start);
    const std::string out = capture.stop();
    fs::current_path(old);
    fs::remove_all(dir);

    EXPECT_EQ(out,
              "Bootloader firmware version: \n1.5\nNew main firmware version: \n2.0\n"
              "Old main firmware version: \n1.9\nDo you want to continue (Y or N)? \nY \n"
              "Erase OK.\n0 %\n34 %\n68 %\nFirmWare update OK.");
    EXPECT_EQ(handshake_attempts, 1u);  // answered at 1,500,000 baud the first time
    const auto& flash = device.device().flash();
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), flash.begin()));
    // Three blocks at 115,200 baud, the erase, the pauses: a real line's time.
    EXPECT_GE(ms, 3 * 89.0 + 50 + 100 + 1000);
}

bool same_line_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

termios line_settings(int fd) {
    termios t{};
    tcgetattr(fd, &t);
    return t;
}

// Whether anything written to the adapter's tty waits at the master.
bool bytes_waiting(int master) {
    pollfd p{master, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

TEST_F(TtyAdapter, AnotherLockHolderKeepsTheAdapterUntouched) {
    // Another program holds the tty with the same kind of lock, at settings
    // of its own.
    const int other = open(pty_.name(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    termios theirs = line_settings(other);
    cfsetispeed(&theirs, B9600);
    cfsetospeed(&theirs, B9600);
    theirs.c_cflag = (theirs.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB;
    ASSERT_EQ(tcsetattr(other, TCSANOW, &theirs), 0);
    const termios before = line_settings(pty_.master());

    EXPECT_EQ(FT_Open(0, &handle_), FT_DEVICE_NOT_OPENED);
    EXPECT_TRUE(same_line_settings(line_settings(pty_.master()), before));
    int exclusive = -1;
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);  // not even the exclusive mode was set
    EXPECT_FALSE(bytes_waiting(pty_.master()));

    // Once they let go, it is ours, exclusively until it is closed again.
    ASSERT_EQ(flock(other, LOCK_UN), 0);
    ASSERT_EQ(FT_Open(0, &handle_), FT_OK);
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(FT_Close(handle_), FT_OK);
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);  // others may open the tty again
    // But the lock stays with this process, across the update's close and
    // reopen: nobody else can take the adapter in between, and this process
    // opens it again.
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(FT_Open(0, &handle_), FT_OK);
    EXPECT_EQ(FT_Close(handle_), FT_OK);
    tty_use_path(pty_.name());  // lets the claim go, as the end of the process does
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
}

// Bytes that tell an offset apart: a copy resent from the wrong place does
// not match.
std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 131 + i / 251);
    return data;
}

// Everything waiting at the master, until it has been quiet for `quiet_ms`.
std::vector<uint8_t> drain(int master, int quiet_ms = 50) {
    std::vector<uint8_t> got;
    uint8_t buf[4096];
    pollfd p{master, POLLIN, 0};
    while (poll(&p, 1, quiet_ms) > 0 && (p.revents & POLLIN)) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

TEST_F(TtyAdapter, AStalledWriteReturnsWithTheCountTakenAndResumes) {
    open_adapter(200);
    // Far more than a pseudo-terminal holds while nobody reads the other end.
    const std::vector<uint8_t> data = pattern(256 * 1024);
    uint32_t done = 0;
    auto start = Clock::now();
    EXPECT_EQ(FT_Write(handle_, const_cast<uint8_t*>(data.data()), 256 * 1024, &done), FT_OK);
    EXPECT_GE(ms_since(start), 195);
    EXPECT_LT(ms_since(start), 1000);
    ASSERT_GT(done, 0u);
    ASSERT_LT(done, data.size());
    const uint32_t taken = done;

    // The rest goes out from where the first call stopped, while the other
    // end reads slowly: the line takes it a piece at a time, and each piece
    // follows the last.
    ASSERT_EQ(FT_SetTimeouts(handle_, 5000, 5000), FT_OK);
    std::vector<uint8_t> arrived;
    std::thread reader([&] {
        uint8_t buf[3000];
        while (arrived.size() < data.size()) {
            pollfd p{pty_.master(), POLLIN, 0};
            if (poll(&p, 1, 3000) <= 0) break;
            const ssize_t n = read(pty_.master(), buf, sizeof buf);
            if (n <= 0) break;
            arrived.insert(arrived.end(), buf, buf + n);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_EQ(FT_Write(handle_, const_cast<uint8_t*>(data.data()) + taken,
                       static_cast<uint32_t>(data.size()) - taken, &done),
              FT_OK);
    reader.join();
    EXPECT_EQ(done, data.size() - taken);
    EXPECT_TRUE(arrived == data) << arrived.size() << " bytes arrived";
}

TEST_F(TtyAdapter, PurgeDropsOnlyTheDirectionsAsked) {
    struct Case {
        uint32_t mask;
        bool input_kept;   // bytes received but not yet read
        bool output_kept;  // bytes written but not yet sent
    };
    const Case cases[] = {
        {FT_PURGE_RX, false, true},
        {FT_PURGE_TX, true, false},
        {FT_PURGE_RX | FT_PURGE_TX, false, false},
        {0, true, true},
    };
    open_adapter(50);
    const std::vector<uint8_t> data = pattern(64 * 1024);
    for (const Case& c : cases) {
        ASSERT_EQ(write(pty_.master(), "junk", 4), 4);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        uint32_t unsent = 0;
        ASSERT_EQ(FT_Write(handle_, const_cast<uint8_t*>(data.data()), 64 * 1024, &unsent), FT_OK);
        ASSERT_GT(unsent, 8192u);  // more than the other end's read buffer (4 KiB) holds

        EXPECT_EQ(FT_Purge(handle_, c.mask), FT_OK) << c.mask;
        uint8_t buf[8] = {};
        uint32_t done = 0;
        EXPECT_EQ(FT_Read(handle_, buf, 4, &done), FT_OK);
        EXPECT_EQ(done, c.input_kept ? 4u : 0u) << c.mask;
        // A purge of the output drops what has not yet reached the other
        // end's read buffer.
        const size_t sent = drain(pty_.master()).size();
        if (c.output_kept) {
            EXPECT_EQ(sent, unsent) << c.mask;
        } else {
            EXPECT_LT(sent, unsent) << c.mask;
        }
    }
}

// SIGUSR1 arriving over and over at one thread, with a handler that does not
// restart calls, as a program's own signal handling may have it.
class SignalRain {
public:
    explicit SignalRain(pthread_t target) : target_(target) {
        struct sigaction sa {};
        sa.sa_handler = [](int) { ++caught; };
        sigemptyset(&sa.sa_mask);
        sigaction(SIGUSR1, &sa, &saved_);
        thread_ = std::thread([this] {
            while (!stop_) {
                pthread_kill(target_, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    ~SignalRain() {
        stop_ = true;
        thread_.join();
        sigaction(SIGUSR1, &saved_, nullptr);
    }
    static inline std::atomic<int> caught{0};

private:
    pthread_t target_;
    struct sigaction saved_ {};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(TtyAdapter, SignalsNeitherCutAWaitShortNorEndIt) {
    open_adapter(200);
    uint8_t buf[4] = {};
    uint32_t done = 99;
    const std::vector<uint8_t> data = pattern(256 * 1024);
    double idle_read_ms = 0, stalled_write_ms = 0;
    FT_STATUS idle_read = 0, late_read = 0, stalled_write = 0;
    uint32_t late_count = 0, written = 0;
    SignalRain::caught = 0;
    {
        SignalRain rain(pthread_self());
        auto start = Clock::now();
        idle_read = FT_Read(handle_, buf, 4, &done);
        idle_read_ms = ms_since(start);

        std::thread writer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            ASSERT_EQ(write(pty_.master(), "abcd", 4), 4);
        });
        late_read = FT_Read(handle_, buf, 4, &late_count);
        writer.join();

        start = Clock::now();
        stalled_write = FT_Write(handle_, const_cast<uint8_t*>(data.data()), 256 * 1024, &written);
        stalled_write_ms = ms_since(start);
    }
    EXPECT_GT(SignalRain::caught, 30);
    // Nothing arrives: the whole timeout, no error.
    EXPECT_EQ(idle_read, FT_OK);
    EXPECT_EQ(done, 0u);
    EXPECT_GE(idle_read_ms, 195);
    EXPECT_LT(idle_read_ms, 1000);
    // Bytes arriving during the wait are read.
    EXPECT_EQ(late_read, FT_OK);
    EXPECT_EQ(late_count, 4u);
    EXPECT_EQ(std::memcmp(buf, "abcd", 4), 0);
    // A write the line stops taking waits out its timeout too.
    EXPECT_EQ(stalled_write, FT_OK);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, data.size());
    EXPECT_GE(stalled_write_ms, 195);
    EXPECT_LT(stalled_write_ms, 1000);
}

TEST_F(TtyAdapter, AnAdapterFailingMidTransferIsAnIoErrorFromThenOn) {
    // The driver fails with EIO after two bytes of a six-byte read or write:
    // the call reports the I/O error at once, with the two bytes that did
    // move; every later transfer fails at once, even if the line answers
    // again; a new open starts afresh.
    for (const bool reading : {true, false}) {
        open_adapter(300);
        TtyFaults faults;
        (reading ? faults.read_eio_after : faults.write_eio_after) = 2;
        if (reading) {
            ASSERT_EQ(write(pty_.master(), "abcdef", 6), 6);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        tty_faults_arm(pty_.name(), faults);
        uint8_t buf[8] = {};
        uint32_t done = 99;
        auto start = Clock::now();
        if (reading) {
            EXPECT_EQ(FT_Read(handle_, buf, 6, &done), FT_IO_ERROR);
            EXPECT_EQ(std::memcmp(buf, "ab", 2), 0);
        } else {
            EXPECT_EQ(FT_Write(handle_, const_cast<char*>("abcdef"), 6, &done), FT_IO_ERROR);
            const std::vector<uint8_t> sent = drain(pty_.master());
            EXPECT_EQ(std::string(sent.begin(), sent.end()), "ab");
        }
        EXPECT_LT(ms_since(start), 250) << reading;
        EXPECT_EQ(done, 2u) << reading;

        tty_faults_clear();
        ASSERT_EQ(write(pty_.master(), "gh", 2), 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        start = Clock::now();
        EXPECT_EQ(FT_Read(handle_, buf, 2, &done), FT_IO_ERROR) << reading;
        EXPECT_EQ(done, 0u);
        EXPECT_EQ(FT_Write(handle_, buf, 2, &done), FT_IO_ERROR) << reading;
        EXPECT_EQ(done, 0u);
        EXPECT_EQ(FT_SetBaudRate(handle_, 115200), FT_IO_ERROR) << reading;
        EXPECT_LT(ms_since(start), 250) << reading;

        EXPECT_EQ(FT_Close(handle_), FT_OK);
        open_ = false;
        open_adapter(300);
        EXPECT_EQ(FT_Read(handle_, buf, 2, &done), FT_OK) << reading;
        EXPECT_EQ(done, 2u) << reading;  // "gh", still waiting at the line
        EXPECT_EQ(FT_Close(handle_), FT_OK);
        open_ = false;
    }
}

size_t open_descriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

TEST_F(TtyAdapter, AFailedLineSettingDuringOpenLeavesTheTtyFree) {
    for (const int error : {EIO, EINVAL}) {
        const size_t descriptors = open_descriptors();
        TtyFaults faults;
        faults.tcsetattr_failures = 1;
        faults.tcsetattr_errno = error;
        tty_faults_arm(pty_.name(), faults);
        EXPECT_EQ(FT_Open(0, &handle_), FT_DEVICE_NOT_OPENED) << error;
        EXPECT_EQ(tty_faults.tcsetattr_failures, 0) << error;  // the setting was tried
        EXPECT_EQ(open_descriptors(), descriptors) << error;
        tty_faults_clear();

        // Neither locked nor exclusive any more.
        const int other = open(pty_.name(), O_RDWR | O_NOCTTY);
        ASSERT_GE(other, 0);
        int exclusive = -1;
        ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0) << error;
        EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0) << error;
        close(other);

        // The next open works, with nothing left over from the failed one.
        ASSERT_EQ(FT_Open(0, &handle_), FT_OK) << error;
        EXPECT_EQ(FT_SetBaudRate(handle_, 115200), FT_OK) << error;
        EXPECT_EQ(FT_Close(handle_), FT_OK);
        tty_use_path(pty_.name());  // the claim goes, as at the end of the process
    }
}

TEST_F(TtyAdapter, SettingsTheTtyCannotTakeAreRefusedAndChangeNothing) {
    constexpr uint16_t FLOW_RTS_CTS = 0x0100, FLOW_DTR_DSR = 0x0200, FLOW_XON_XOFF = 0x0400;
    constexpr tcflag_t FRAME = CSIZE | CSTOPB | PARENB | PARODD;
    struct Case {
        const char* what;
        FT_STATUS (*call)(FT_HANDLE);
        FT_STATUS status;
        tcflag_t frame;  // the framing bits when taken
        speed_t speed;   // the rate when taken; 0: not about the rate
    };
    const Case cases[] = {
        {"7 bits, even, 2 stop", [](FT_HANDLE h) { return FT_SetDataCharacteristics(h, 7, 2, 2); }, FT_OK,
         CS7 | CSTOPB | PARENB, 0},
        {"8 bits, odd, 1 stop", [](FT_HANDLE h) { return FT_SetDataCharacteristics(h, 8, 0, 1); }, FT_OK,
         CS8 | PARENB | PARODD, 0},
        {"8N1", [](FT_HANDLE h) { return FT_SetDataCharacteristics(h, 8, 0, 0); }, FT_OK, CS8, 0},
        {"5 bits", [](FT_HANDLE h) { return FT_SetDataCharacteristics(h, 5, 0, 0); }, 6, 0, 0},
        {"6 bits", [](FT_HANDLE h) { return FT_SetDataCharacteristics(h, 6, 0, 0); }, 6, 0, 0},
        {"9 bits", [](FT_HANDLE h) { return FT_SetDataCharacteristics(h, 9, 0, 0); }, 6, 0, 0},
        {"1.5 stop bits", [](FT_HANDLE h) { return FT_SetDataCharacteristics(h, 8, 1, 0); }, 6, 0, 0},
        {"mark parity", [](FT_HANDLE h) { return FT_SetDataCharacteristics(h, 8, 0, 3); }, 6, 0, 0},
        {"space parity", [](FT_HANDLE h) { return FT_SetDataCharacteristics(h, 8, 0, 4); }, 6, 0, 0},
        {"RTS/CTS", [](FT_HANDLE h) { return FT_SetFlowControl(h, FLOW_RTS_CTS, 0, 0); }, 6, 0, 0},
        {"DTR/DSR", [](FT_HANDLE h) { return FT_SetFlowControl(h, FLOW_DTR_DSR, 0, 0); }, 6, 0, 0},
        {"XON/XOFF", [](FT_HANDLE h) { return FT_SetFlowControl(h, FLOW_XON_XOFF, 0x11, 0x13); }, 6, 0,
         0},
        {"1,500,000 baud", [](FT_HANDLE h) { return FT_SetBaudRate(h, 1500000); }, FT_OK, CS8, B1500000},
        {"12,345 baud", [](FT_HANDLE h) { return FT_SetBaudRate(h, 12345); }, 7, 0, 0},
        {"0 baud", [](FT_HANDLE h) { return FT_SetBaudRate(h, 0); }, 7, 0, 0},
        {"115,200 baud", [](FT_HANDLE h) { return FT_SetBaudRate(h, 115200); }, FT_OK, CS8, B115200},
    };
    open_adapter(100);
    // The framing is read from what the driver was asked: a pseudo-terminal
    // always shows 8 bits without parity.
    tty_faults_arm(pty_.name(), TtyFaults{});
    for (const Case& c : cases) {
        const termios before = line_settings(pty_.master());
        const int calls = tty_faults.tcsetattr_calls;
        EXPECT_EQ(c.call(handle_), c.status) << c.what;
        if (c.status != FT_OK) {
            EXPECT_EQ(tty_faults.tcsetattr_calls, calls) << c.what;
            EXPECT_TRUE(same_line_settings(line_settings(pty_.master()), before)) << c.what;
            continue;
        }
        ASSERT_EQ(tty_faults.tcsetattr_calls, calls + 1) << c.what;
        const termios& asked = tty_faults.last_settings;
        EXPECT_EQ(asked.c_cflag & FRAME, c.frame) << c.what;
        if (c.speed != 0) {
            EXPECT_EQ(cfgetospeed(&asked), c.speed) << c.what;
            EXPECT_EQ(cfgetispeed(&asked), c.speed) << c.what;
            const termios line = line_settings(pty_.master());
            EXPECT_EQ(cfgetospeed(&line), c.speed) << c.what;
        }
    }
}

TEST_F(TtyAdapter, EveryCallAfterCloseIsAnInvalidHandle) {
    open_adapter(100);
    ASSERT_EQ(FT_Close(handle_), FT_OK);
    open_ = false;
    uint8_t buf[4] = {};
    uint32_t read_count = 99, write_count = 99;
    const std::pair<const char*, FT_STATUS> calls[] = {
        {"FT_ResetDevice", FT_ResetDevice(handle_)},
        {"FT_SetBaudRate", FT_SetBaudRate(handle_, 115200)},
        {"FT_SetDataCharacteristics", FT_SetDataCharacteristics(handle_, 8, 0, 0)},
        {"FT_SetFlowControl", FT_SetFlowControl(handle_, FT_FLOW_NONE, 0, 0)},
        {"FT_SetChars", FT_SetChars(handle_, 0, 0, 0, 0)},
        {"FT_SetTimeouts", FT_SetTimeouts(handle_, 100, 100)},
        {"FT_Purge", FT_Purge(handle_, FT_PURGE_RX | FT_PURGE_TX)},
        {"FT_SetLatencyTimer", FT_SetLatencyTimer(handle_, 2)},
        {"FT_Read", FT_Read(handle_, buf, 4, &read_count)},
        {"FT_Write", FT_Write(handle_, buf, 4, &write_count)},
        {"FT_Close", FT_Close(handle_)},
    };
    for (const auto& [name, status] : calls) EXPECT_EQ(status, FT_INVALID_HANDLE) << name;
    EXPECT_EQ(read_count, 0u);
    EXPECT_EQ(write_count, 0u);
    EXPECT_FALSE(bytes_waiting(pty_.master()));

    // The tty is free for the next open; a handle it never gave out is
    // refused without harm to the open one.
    open_adapter(100);
    int stray = 0;
    EXPECT_EQ(FT_SetBaudRate(&stray, 1500000), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_Close(&stray), FT_INVALID_HANDLE);
    const termios line = line_settings(pty_.master());
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
    EXPECT_EQ(FT_Write(handle_, const_cast<char*>("ok"), 2, &write_count), FT_OK);
    EXPECT_EQ(write_count, 2u);
}

// pelupdate itself, run twice against one adapter: a pseudo-terminal whose
// master end carries the device model.
class TwoPrograms : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/pel-tty-two-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        const Bytes file = make_update_file(payload_, 2, 0);
        std::ofstream(dir_ / "PelBoot_VQ.fwu", std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }
    void TearDown() override {
        if (terminal_ >= 0) close(terminal_);
        fs::remove_all(dir_);
    }

    [[noreturn]] void exec_program(const char* out_file) {
        if (chdir(dir_.c_str()) != 0) _exit(126);
        unsetenv("LD_LIBRARY_PATH");  // no vendor library: the tty it is
        setenv("PEL_TEST_TTY", pty_.name(), 1);
        if (out_file != nullptr) {
            const int out = open(out_file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, STDOUT_FILENO);
            close(out);
        }
        execl(PELUPDATE_ON_TTY_EXE, PELUPDATE_ON_TTY_EXE, static_cast<char*>(nullptr));
        _exit(127);
    }
    // In a terminal of its own, where it shows its text and takes its keys.
    pid_t start_in_terminal() {
        winsize size{30, 120, 0, 0};
        const pid_t pid = forkpty(&terminal_, nullptr, nullptr, &size);
        if (pid == 0) exec_program(nullptr);
        return pid;
    }
    // Without a terminal, as from a script; its output goes to `out_file`.
    pid_t start_detached(const std::string& out_file) {
        const pid_t pid = fork();
        if (pid == 0) {
            setsid();
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
            exec_program(out_file.c_str());
        }
        return pid;
    }
    // As start_detached, but quick to start many: vfork, with everything the
    // child needs prepared beforehand (a forked copy of a big, sanitized test
    // process takes tens of milliseconds).
    pid_t start_detached_quickly(const std::string& out_file) {
        static std::vector<std::string> env_text;
        static std::vector<char*> env;
        if (env.empty()) {
            for (char** e = environ; *e != nullptr; ++e) {
                if (std::strncmp(*e, "LD_LIBRARY_PATH=", 16) != 0) env_text.emplace_back(*e);
            }
            env_text.push_back(std::string("PEL_TEST_TTY=") + pty_.name());
            for (std::string& e : env_text) env.push_back(e.data());
            env.push_back(nullptr);
        }
        const std::string dir = dir_.string();
        char* const argv[] = {const_cast<char*>(PELUPDATE_ON_TTY_EXE), nullptr};
        const pid_t pid = vfork();
        if (pid == 0) {
            setsid();
            const int null = open("/dev/null", O_RDONLY);
            const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (null < 0 || out < 0 || chdir(dir.c_str()) != 0) _exit(126);
            dup2(null, STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            execve(PELUPDATE_ON_TTY_EXE, argv, env.data());
            _exit(127);
        }
        return pid;
    }
    // Reads the program's terminal until `text` has been shown (line ends
    // without their carriage returns), or the limit passes.
    bool wait_for_text(const std::string& text, int limit_ms = 10000) {
        const auto start = Clock::now();
        while (shown_.find(text) == std::string::npos && ms_since(start) < limit_ms) {
            pollfd p{terminal_, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                char buf[256];
                const ssize_t got = read(terminal_, buf, sizeof buf);
                if (got <= 0) break;  // the program has ended
                for (ssize_t i = 0; i < got; ++i) {
                    if (buf[i] != '\r') shown_ += buf[i];
                }
            }
        }
        return shown_.find(text) != std::string::npos;
    }
    static int exit_status(pid_t pid, int limit_ms = 20000) {
        int status = 0;
        const auto start = Clock::now();
        while (waitpid(pid, &status, WNOHANG) != pid) {
            if (ms_since(start) > limit_ms) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "the program did not end";
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    const Bytes payload_ = counting_payload(3 * 512 - 40);
    fs::path dir_;
    PtyPair pty_;
    int terminal_ = -1;
    std::string shown_;
};

TEST_F(TwoPrograms, TheSecondNeverTouchesTheAdapterInUse) {
    sim::Scenario sc;
    sc.erase_ms = 50;
    DeviceOnPty device(pty_.master(), sc);

    // The first holds the adapter, waiting at its prompt.
    const pid_t first = start_in_terminal();
    ASSERT_TRUE(wait_for_text("Do you want to continue (Y or N)? ")) << shown_;
    const termios before = line_settings(pty_.master());
    const uint64_t bytes_before = device.received();
    ASSERT_GT(bytes_before, 0u);

    // The second ends as with no adapter, and the line has neither heard a
    // byte from it nor changed its settings.
    const std::string second_out = (dir_ / "second.txt").string();
    EXPECT_EQ(exit_status(start_detached(second_out)), 0);
    std::ifstream in(second_out);
    const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(said, "Data exchange error.");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(device.received(), bytes_before);
    EXPECT_TRUE(same_line_settings(line_settings(pty_.master()), before));

    // The first goes on as if nothing had happened.
    ASSERT_EQ(write(terminal_, "y", 1), 1);
    EXPECT_TRUE(wait_for_text("FirmWare update OK.")) << shown_;
    EXPECT_EQ(exit_status(first), 0);
    EXPECT_EQ(shown_,
              "Bootloader firmware version: \n1.5\nNew main firmware version: \n2.0\n"
              "Old main firmware version: \n1.9\nDo you want to continue (Y or N)? \nY \n"
              "Erase OK.\n0 %\n34 %\n68 %\nFirmWare update OK.");
    const auto& flash = device.device().flash();
    EXPECT_TRUE(std::equal(payload_.begin(), payload_.end(), flash.begin()));
}

TEST_F(TwoPrograms, NoneSlipsInWhileTheFirstReopensTheAdapter) {
    // The first closes the adapter after the handshake and opens it again
    // 100 ms later at the bootloader's rate. Others, started one after the
    // other all through that time, must all stay out: a single one in the
    // pause would take the adapter and leave the first without it.
    sim::Scenario sc;
    sc.erase_ms = 50;
    DeviceOnPty device(pty_.master(), sc);

    const pid_t first = start_in_terminal();
    // The first has the adapter once its handshake is on the line.
    const auto start = Clock::now();
    while (device.received() == 0 && ms_since(start) < 3000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<pid_t> others;
    // Until the first speaks to the bootloader (its version query, after the
    // six bytes of the handshake), one more every few milliseconds.
    while (ms_since(start) < 3000 && device.received() <= 6) {
        others.push_back(
            start_detached_quickly((dir_ / ("other" + std::to_string(others.size()))).string()));
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    ASSERT_TRUE(wait_for_text("Do you want to continue (Y or N)? ")) << shown_;
    ASSERT_GE(others.size(), 10u);
    for (size_t i = 0; i < others.size(); ++i) {
        EXPECT_EQ(exit_status(others[i]), 0);
        std::ifstream in(dir_ / ("other" + std::to_string(i)));
        const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(said, "Data exchange error.") << "instance " << i << " of " << others.size();
    }

    ASSERT_EQ(write(terminal_, "y", 1), 1);
    EXPECT_TRUE(wait_for_text("FirmWare update OK.")) << shown_;
    EXPECT_EQ(exit_status(first), 0);
    const auto& flash = device.device().flash();
    EXPECT_TRUE(std::equal(payload_.begin(), payload_.end(), flash.begin()));
}

}  // namespace
