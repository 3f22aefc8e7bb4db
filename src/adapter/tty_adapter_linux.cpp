// The D2XX calls over a tty of Linux's ftdi_sio driver, for machines without
// the vendor's library (which cannot open an adapter while that driver holds
// it anyway). Reads and writes keep the D2XX meaning: they return when all n
// bytes have moved or the timeout set by FT_SetTimeouts has passed, counted
// on the monotonic clock across poll() calls, with the count moved. An
// adapter that has gone gives the I/O error status from then on.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>  // ASYNC_LOW_LATENCY and struct serial_struct
#include <poll.h>
#include <sys/file.h>  // flock
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "adapter/d2xx_fallback.h"
#include "adapter/tty_adapter.h"

namespace {

const char DRIVER_DIR[] = "/sys/bus/usb-serial/drivers/ftdi_sio";
constexpr FT_STATUS FT_INVALID_BAUD_RATE = 7;
constexpr FT_STATUS FT_INVALID_PARAMETER = 6;

// The one adapter; the handle given out is the address of this state.
struct Tty {
    int fd = -1;
    bool gone = false;
    termios settings{};  // what the calls have set, re-applied by a reset
    uint32_t read_timeout_ms = 0;
    uint32_t write_timeout_ms = 0;
} tty;

const char* forced_path = nullptr;

// Once opened, the adapter stays this process's until it ends: the update
// closes and reopens it between the handshake and the bootloader's rate, and
// a second updater must not slip in during that pause. A duplicate of the
// first descriptor keeps the lock after the link's own one is closed.
int claim_fd = -1;

bool same_file(int a, int b) {
    struct stat x{}, y{};
    return fstat(a, &x) == 0 && fstat(b, &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

void drop_claim() {
    if (claim_fd >= 0) close(claim_fd);
    claim_fd = -1;
}

Tty* state(FT_HANDLE h) { return h == &tty && tty.fd >= 0 ? &tty : nullptr; }

uint64_t now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
}

FT_STATUS apply(Tty* t) {
    if (tcsetattr(t->fd, TCSANOW, &t->settings) == 0) return FT_OK;
    if (errno == EIO || errno == ENODEV) t->gone = true;
    return FT_IO_ERROR;
}

bool speed_of(uint32_t baud, speed_t& speed) {
    struct Rate {
        uint32_t baud;
        speed_t speed;
    };
    static const Rate rates[] = {{9600, B9600},     {19200, B19200},     {38400, B38400},
                                 {57600, B57600},   {115200, B115200},   {230400, B230400},
                                 {460800, B460800}, {921600, B921600},   {1000000, B1000000},
                                 {1500000, B1500000}, {2000000, B2000000}, {3000000, B3000000}};
    for (const Rate& r : rates) {
        if (r.baud == baud) {
            speed = r.speed;
            return true;
        }
    }
    return false;
}

// Waits for the fd to become ready for `events` until `deadline` (ms);
// false when the time is up. Marks the adapter gone on a hang-up or error.
bool wait_ready(Tty* t, short events, uint64_t deadline) {
    for (;;) {
        const uint64_t now = now_ms();
        if (now >= deadline) return false;
        pollfd p{t->fd, events, 0};
        const int r = poll(&p, 1, static_cast<int>(deadline - now));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            t->gone = true;
            return false;
        }
        if (r > 0) return true;
    }
}

// Gives the tty back: others may open it again (the exclusive mode would
// outlive this descriptor while another one holds the tty), and the lock
// goes with the descriptor.
void release(int fd) {
    ioctl(fd, TIOCNXCL);
    close(fd);
}

FT_STATUS tty_open(int device_number, FT_HANDLE* handle) {
    if (device_number != 0) return FT_DEVICE_NOT_FOUND;
    if (tty.fd >= 0) return FT_DEVICE_NOT_OPENED;
    char found[64];
    const char* path = forced_path;
    if (path == nullptr) {
        if (!tty_find_adapter(DRIVER_DIR, found, sizeof found)) return FT_DEVICE_NOT_FOUND;
        path = found;
    }
    // Non-blocking, so that a line without carrier cannot hold up the open;
    // every read and write then waits in poll().
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return FT_DEVICE_NOT_OPENED;
    // The lock comes before anything else touches the line: two openers that
    // overlap both get past open() (TIOCEXCL only stops later ones, and not
    // root's), but only one gets the lock, and the other leaves the adapter
    // as it found it. Other programs that lock serial ports this way keep
    // out too.
    const bool locked_now = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!locked_now && !(claim_fd >= 0 && same_file(claim_fd, fd))) {
        close(fd);
        return FT_DEVICE_NOT_OPENED;
    }
    termios settings{};
    if (ioctl(fd, TIOCEXCL) != 0 || tcgetattr(fd, &settings) != 0) {
        release(fd);
        return FT_DEVICE_NOT_OPENED;
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    tty = Tty{};
    tty.fd = fd;
    tty.settings = settings;
    if (apply(&tty) != FT_OK) {
        release(fd);
        tty.fd = -1;
        return FT_DEVICE_NOT_OPENED;
    }
    if (locked_now) {
        // A new claim (the first, or an adapter that came back as another node).
        drop_claim();
        claim_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    }
    *handle = &tty;
    return FT_OK;
}

FT_STATUS tty_close(FT_HANDLE h) {
    Tty* t = state(h);
    if (t == nullptr) return FT_INVALID_HANDLE;
    release(t->fd);
    t->fd = -1;
    return FT_OK;
}

FT_STATUS tty_reset_device(FT_HANDLE h) {
    Tty* t = state(h);
    if (t == nullptr) return FT_INVALID_HANDLE;
    if (t->gone) return FT_IO_ERROR;
    const FT_STATUS s = apply(t);
    tcflush(t->fd, TCIOFLUSH);
    return s;
}

FT_STATUS tty_set_baud_rate(FT_HANDLE h, uint32_t baud) {
    Tty* t = state(h);
    if (t == nullptr) return FT_INVALID_HANDLE;
    if (t->gone) return FT_IO_ERROR;
    speed_t speed;
    if (!speed_of(baud, speed)) return FT_INVALID_BAUD_RATE;
    cfsetispeed(&t->settings, speed);
    cfsetospeed(&t->settings, speed);
    return apply(t);
}

FT_STATUS tty_set_data_characteristics(FT_HANDLE h, uint8_t bits, uint8_t stop, uint8_t parity) {
    Tty* t = state(h);
    if (t == nullptr) return FT_INVALID_HANDLE;
    if (t->gone) return FT_IO_ERROR;
    if ((bits != 7 && bits != 8) || (stop != 0 && stop != 2) || parity > 2) {
        return FT_INVALID_PARAMETER;
    }
    tcflag_t& c = t->settings.c_cflag;
    c &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD);
    c |= bits == 8 ? CS8 : CS7;
    if (stop == 2) c |= CSTOPB;
    if (parity != 0) c |= PARENB;
    if (parity == 1) c |= PARODD;
    return apply(t);
}

FT_STATUS tty_set_flow_control(FT_HANDLE h, uint16_t mode, uint8_t, uint8_t) {
    Tty* t = state(h);
    if (t == nullptr) return FT_INVALID_HANDLE;
    if (t->gone) return FT_IO_ERROR;
    if (mode != FT_FLOW_NONE) return FT_INVALID_PARAMETER;  // the updater asks for none
    t->settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    t->settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    return apply(t);
}

// The event and error characters have no counterpart in the kernel driver;
// the updater disables both, which is what the driver does anyway.
FT_STATUS tty_set_chars(FT_HANDLE h, uint8_t, uint8_t, uint8_t, uint8_t) {
    Tty* t = state(h);
    if (t == nullptr) return FT_INVALID_HANDLE;
    return t->gone ? FT_IO_ERROR : FT_OK;
}

FT_STATUS tty_set_timeouts(FT_HANDLE h, uint32_t read_ms, uint32_t write_ms) {
    Tty* t = state(h);
    if (t == nullptr) return FT_INVALID_HANDLE;
    t->read_timeout_ms = read_ms;
    t->write_timeout_ms = write_ms;
    return FT_OK;
}

FT_STATUS tty_purge(FT_HANDLE h, uint32_t mask) {
    Tty* t = state(h);
    if (t == nullptr) return FT_INVALID_HANDLE;
    if (t->gone) return FT_IO_ERROR;
    if ((mask & FT_PURGE_RX) && (mask & FT_PURGE_TX)) {
        tcflush(t->fd, TCIOFLUSH);
    } else if (mask & FT_PURGE_RX) {
        tcflush(t->fd, TCIFLUSH);
    } else if (mask & FT_PURGE_TX) {
        tcflush(t->fd, TCOFLUSH);
    }
    return FT_OK;
}

// The driver's low-latency mode uses a 1 ms timer; asked for when the
// updater wants 2 ms or less. Not every tty has it, and it is not needed.
FT_STATUS tty_set_latency_timer(FT_HANDLE h, uint8_t ms) {
    Tty* t = state(h);
    if (t == nullptr) return FT_INVALID_HANDLE;
    if (t->gone) return FT_IO_ERROR;
    serial_struct serial{};
    if (ms <= 2 && ioctl(t->fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ioctl(t->fd, TIOCSSERIAL, &serial);
    }
    return FT_OK;
}

FT_STATUS tty_read(FT_HANDLE h, void* buffer, uint32_t n, uint32_t* done) {
    *done = 0;
    Tty* t = state(h);
    if (t == nullptr) return FT_INVALID_HANDLE;
    if (t->gone) return FT_IO_ERROR;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const uint64_t deadline = now_ms() + t->read_timeout_ms;
    bool said_readable = false;  // the last poll() reported data
    while (*done < n) {
        const ssize_t got = ::read(t->fd, out + *done, n - *done);
        if (got > 0) {
            *done += static_cast<uint32_t>(got);
            said_readable = false;
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        // With VMIN and VTIME 0 a read with nothing waiting returns 0; after
        // poll() said readable, 0 is the end of the line: a hang-up. EIO and
        // the like: the adapter has gone too.
        if ((got == 0 && said_readable) || (got < 0 && errno != EAGAIN)) {
            t->gone = true;
            return FT_IO_ERROR;
        }
        if (!wait_ready(t, POLLIN, deadline)) break;
        said_readable = true;
    }
    return t->gone ? FT_IO_ERROR : FT_OK;
}

FT_STATUS tty_write(FT_HANDLE h, void* buffer, uint32_t n, uint32_t* done) {
    *done = 0;
    Tty* t = state(h);
    if (t == nullptr) return FT_INVALID_HANDLE;
    if (t->gone) return FT_IO_ERROR;
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    const uint64_t deadline = now_ms() + t->write_timeout_ms;
    while (*done < n) {
        const ssize_t put = ::write(t->fd, in + *done, n - *done);
        if (put > 0) {
            *done += static_cast<uint32_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno != EAGAIN) {
            t->gone = true;
            return FT_IO_ERROR;
        }
        if (!wait_ready(t, POLLOUT, deadline)) break;
    }
    return t->gone ? FT_IO_ERROR : FT_OK;
}

const D2xxFallback TTY_FALLBACK = {
    tty_open,        tty_close,     tty_reset_device,      tty_set_baud_rate,
    tty_set_data_characteristics,   tty_set_flow_control,  tty_set_chars,
    tty_set_timeouts, tty_purge,    tty_set_latency_timer, tty_read,
    tty_write,
};

}  // namespace

bool tty_find_adapter(const char* driver_dir, char* path, size_t size) {
    DIR* dir = opendir(driver_dir);
    if (dir == nullptr) return false;
    long best = -1;
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strncmp(name, "ttyUSB", 6) != 0 || name[6] == '\0') continue;
        char* end = nullptr;
        errno = 0;
        const long number = std::strtol(name + 6, &end, 10);
        // Digits only: "ttyUSB1x" or "ttyUSB-1" is not an adapter.
        if (*end != '\0' || errno != 0 || number < 0 || name[6] < '0' || name[6] > '9') continue;
        if (best < 0 || number < best) best = number;
    }
    closedir(dir);
    if (best < 0) return false;
    const int written = std::snprintf(path, size, "/dev/ttyUSB%ld", best);
    return written > 0 && static_cast<size_t>(written) < size;
}

void tty_use_path(const char* path) {
    forced_path = path;
    drop_claim();
}

const D2xxFallback* d2xx_fallback() { return &TTY_FALLBACK; }
