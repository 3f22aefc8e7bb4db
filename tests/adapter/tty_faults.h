// Faults put between the kernel-driver provider and the system, for the
// corners a pseudo-terminal cannot show: an adapter that fails in the middle
// of a transfer, a line setting the driver refuses, the settings asked of the
// driver, the order in which the driver's folder lists its entries. tty_tests links with --wrap for read,
// write, tcsetattr and readdir, so those calls reach tty_faults.cpp first;
// with nothing armed they go straight through.
#pragma once

#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

struct TtyFaults {
    dev_t device = 0;            // the tty the transfer faults apply to (st_rdev)
    long read_eio_after = -1;    // bytes read() still delivers, then EIO; -1: never
    long write_eio_after = -1;   // bytes write() still takes, then EIO; -1: never
    int tcsetattr_failures = 0;  // calls on the device still to fail
    int tcsetattr_errno = 0;     // with this error
    // What was asked of the device: a pseudo-terminal keeps only some of it
    // (always 8 bits, no parity).
    int tcsetattr_calls = 0;
    termios last_settings{};
};

extern TtyFaults tty_faults;

// Arms the faults for the tty at `path`.
void tty_faults_arm(const char* path, const TtyFaults& faults);
void tty_faults_clear();

// readdir() then lists these names, in this order, for any folder; nullptr
// lists folders as they are.
void tty_faults_list(const std::vector<std::string>* names);
