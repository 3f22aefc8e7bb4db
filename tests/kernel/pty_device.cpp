// The simulated device at the far end of a virtual machine's FTDI adapter.
// QEMU's emulated adapter is bound to the slave of a pseudo-terminal and
// applies the guest's line settings to it; this program holds the master,
// reads those settings with tcgetattr, and runs the device model there: it
// hears bytes only when the line's rate and format are the device's, and
// answers paced at its own rate. It tells its driver what it heard.
//
// Started with no arguments, it prints "pty <slave path>" and then takes
// one command a line on standard input:
//   device <scenario file>   a fresh device (power cycle) set up by the file
//   unplug                   the cable pulled: what is on the wire is lost
//   plug                     the cable back in
//   flash <path> <n>         writes the first n bytes of the flash to path
//   quit
// and reports, one event a line on standard output:
//   line <baud> <format>     the line's settings changed (format e.g. 8N1)
//   rx <baud> <format> <n>   n bytes came in at those settings
//   programmed <k>           k blocks have been taken into the flash
//   ok | error <text>        the answer to a command
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "model/device.h"
#include "model/scenario.h"
#include "pty/paced_device.h"

namespace {

struct Line {
    uint32_t baud = 0;  // 0: a speed this program has no number for
    std::string format;
    bool operator!=(const Line& o) const { return baud != o.baud || format != o.format; }
};

uint32_t baud_of(speed_t s) {
    static const struct {
        speed_t speed;
        uint32_t baud;
    } speeds[] = {{B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
                  {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
                  {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
                  {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
                  {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
                  {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
                  {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
                  {B3500000, 3500000}, {B4000000, 4000000}};
    for (const auto& e : speeds) {
        if (e.speed == s) return e.baud;
    }
    return 0;
}

Line line_of(int master) {
    termios t{};
    tcgetattr(master, &t);
    Line line;
    line.baud = baud_of(cfgetospeed(&t));
    const tcflag_t size = t.c_cflag & CSIZE;
    line.format = size == CS8 ? "8" : size == CS7 ? "7" : size == CS6 ? "6" : "5";
    line.format += !(t.c_cflag & PARENB) ? "N" : (t.c_cflag & PARODD) ? "O" : "E";
    line.format += (t.c_cflag & CSTOPB) ? "2" : "1";
    if (t.c_cflag & CRTSCTS) line.format += "+rtscts";
    if (t.c_iflag & (IXON | IXOFF)) line.format += "+xonxoff";
    return line;
}

void say(const std::string& text) {
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
}

class DeviceEnd {
public:
    explicit DeviceEnd(int master) : master_(master) {}

    // A fresh device set up by `scenario`; the wire is cleared.
    void power_on(const sim::Scenario& scenario) {
        paced_ = std::make_unique<sim::PacedDevice>(scenario);
        programmed_ = 0;
        tcflush(master_, TCIOFLUSH);
    }
    void unplug() {
        plugged_ = false;
        if (paced_) paced_->lose_answers();  // what is on the wire is lost
    }
    void plug() {
        tcflush(master_, TCIOFLUSH);  // nothing crosses a pulled cable
        plugged_ = true;
    }
    const sim::Device* device() const { return paced_ ? &paced_->device() : nullptr; }

    // Takes what the adapter sent, and puts out what is due.
    void serve() {
        const Line line = line_of(master_);
        if (line != reported_) {
            reported_ = line;
            say("line " + std::to_string(line.baud) + " " + line.format);
        }
        uint8_t buf[4096];
        const ssize_t got = read(master_, buf, sizeof buf);
        if (got > 0 && plugged_ && paced_) {
            say("rx " + std::to_string(line.baud) + " " + line.format + " " + std::to_string(got));
            paced_->receive(buf, static_cast<size_t>(got), line.baud, line.format == "8N1");
        }
        if (!paced_) return;
        if (paced_->device().blocks_programmed() != programmed_) {
            programmed_ = paced_->device().blocks_programmed();
            say("programmed " + std::to_string(programmed_));
        }
        const std::vector<uint8_t> due = paced_->due(line.baud);
        if (!due.empty() && plugged_) {
            if (write(master_, due.data(), due.size()) < 0) std::perror("write");
        }
    }

private:
    int master_;
    std::unique_ptr<sim::PacedDevice> paced_;
    uint32_t programmed_ = 0;
    bool plugged_ = true;
    Line reported_;
};

bool read_file(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

// Runs one command; false on quit.
bool command(const std::string& text, DeviceEnd& end) {
    std::istringstream words(text);
    std::string name;
    words >> name;
    if (name == "device") {
        std::string path, body, error;
        words >> path;
        sim::Scenario scenario;
        if (!read_file(path, body) || !sim::parse_scenario(body, scenario, error)) {
            say("error scenario " + path + " " + error);
            return true;
        }
        end.power_on(scenario);
    } else if (name == "unplug") {
        end.unplug();
    } else if (name == "plug") {
        end.plug();
    } else if (name == "flash") {
        std::string path;
        size_t n = 0;
        words >> path >> n;
        if (end.device() == nullptr || n > end.device()->flash().size()) {
            say("error flash");
            return true;
        }
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(end.device()->flash().data()),
                   static_cast<std::streamsize>(n));
    } else if (name == "quit") {
        return false;
    } else {
        say("error unknown command " + name);
        return true;
    }
    say("ok");
    return true;
}

}  // namespace

int main() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pseudo-terminal");
        return 1;
    }
    const char* slave_name = ptsname(master);
    // Held open, so that the master never reads a hang-up while QEMU has
    // the slave closed.
    const int slave = open(slave_name, O_RDWR | O_NOCTTY);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    say(std::string("pty ") + slave_name);

    DeviceEnd end(master);
    std::string pending;
    for (;;) {
        pollfd p[2] = {{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        poll(p, 2, 1);
        if (p[1].revents & (POLLIN | POLLHUP)) {
            char buf[512];
            const ssize_t got = read(STDIN_FILENO, buf, sizeof buf);
            if (got <= 0) break;  // the driver has gone
            pending.append(buf, static_cast<size_t>(got));
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                const std::string one = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (!command(one, end)) {
                    close(slave);
                    return 0;
                }
            }
        }
        end.serve();
    }
    close(slave);
    return 0;
}
