// The wrapped system calls of tty_tests: each passes through unless a fault
// is armed for the tty it is made on.
#include "adapter/tty_faults.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

TtyFaults tty_faults;

namespace {

const std::vector<std::string>* listing = nullptr;
size_t listed = 0;
dirent entry;

bool on_device(int fd) {
    struct stat st{};
    return tty_faults.device != 0 && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) &&
           st.st_rdev == tty_faults.device;
}

}  // namespace

void tty_faults_arm(const char* path, const TtyFaults& faults) {
    struct stat st{};
    tty_faults = faults;
    tty_faults.device = stat(path, &st) == 0 ? st.st_rdev : 0;
}

void tty_faults_clear() {
    tty_faults = TtyFaults{};
    tty_faults_list(nullptr);
}

void tty_faults_list(const std::vector<std::string>* names) {
    listing = names;
    listed = 0;
}

extern "C" {

ssize_t __real_read(int fd, void* buf, size_t n);
ssize_t __real_write(int fd, const void* buf, size_t n);
int __real_tcsetattr(int fd, int when, const termios* t);
dirent* __real_readdir(DIR* dir);

ssize_t __wrap_read(int fd, void* buf, size_t n) {
    if (tty_faults.read_eio_after < 0 || !on_device(fd)) return __real_read(fd, buf, n);
    if (tty_faults.read_eio_after == 0) {
        errno = EIO;
        return -1;
    }
    const ssize_t got =
        __real_read(fd, buf, std::min(n, static_cast<size_t>(tty_faults.read_eio_after)));
    if (got > 0) tty_faults.read_eio_after -= got;
    return got;
}

ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    if (tty_faults.write_eio_after < 0 || !on_device(fd)) return __real_write(fd, buf, n);
    if (tty_faults.write_eio_after == 0) {
        errno = EIO;
        return -1;
    }
    const ssize_t put =
        __real_write(fd, buf, std::min(n, static_cast<size_t>(tty_faults.write_eio_after)));
    if (put > 0) tty_faults.write_eio_after -= put;
    return put;
}

int __wrap_tcsetattr(int fd, int when, const termios* t) {
    if (!on_device(fd)) return __real_tcsetattr(fd, when, t);
    ++tty_faults.tcsetattr_calls;
    tty_faults.last_settings = *t;
    if (tty_faults.tcsetattr_failures == 0) return __real_tcsetattr(fd, when, t);
    --tty_faults.tcsetattr_failures;
    errno = tty_faults.tcsetattr_errno;
    return -1;
}

dirent* __wrap_readdir(DIR* dir) {
    if (listing == nullptr) return __real_readdir(dir);
    if (listed == listing->size()) return nullptr;
    entry = dirent{};
    std::strncpy(entry.d_name, (*listing)[listed++].c_str(), sizeof entry.d_name - 1);
    return &entry;
}

}  // extern "C"
