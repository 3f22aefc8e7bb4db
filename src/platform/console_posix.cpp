// The console on POSIX: the controlling terminal /dev/tty, never standard
// input. For the whole run it is kept in non-canonical mode without echo, so
// keys typed ahead are neither shown nor held back until Enter; Ctrl+C is a
// key only while one is awaited and otherwise ends the program, as on
// Windows. The terminal's own settings come back on every way out.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "platform/console.h"

namespace {

int tty_fd = -1;
termios saved_mode;  // the terminal as the program found it
termios run_mode;    // non-canonical, no echo, Ctrl+C still a signal
termios key_mode;    // as run_mode, with Ctrl+C delivered as the code 3
const termios* active_mode = nullptr;

const int FATAL_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM,
                             SIGSEGV, SIGBUS, SIGFPE, SIGILL,  SIGABRT};

void apply(const termios* mode) {
    active_mode = mode;
    tcsetattr(tty_fd, TCSANOW, mode);
}

void restore_terminal() { tcsetattr(tty_fd, TCSANOW, &saved_mode); }

void on_fatal_signal(int sig) {
    restore_terminal();
    std::signal(sig, SIG_DFL);
    raise(sig);
}

// Ctrl+Z: give the shell its terminal back while stopped, take it again on
// continuing.
void on_stop_signal(int) {
    const int saved_errno = errno;
    restore_terminal();
    std::signal(SIGTSTP, SIG_DFL);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    raise(SIGTSTP);
    // Running again.
    std::signal(SIGTSTP, on_stop_signal);
    tcsetattr(tty_fd, TCSANOW, active_mode);
    errno = saved_errno;
}

void restore_at_exit() { restore_terminal(); }

}  // namespace

void output_init() {
    static char buffer[BUFSIZ];
    if (isatty(STDOUT_FILENO)) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    } else {
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    }
}

void console_open() {
    tty_fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty_fd < 0) return;  // no controlling terminal: no keyboard
    if (tcgetattr(tty_fd, &saved_mode) != 0) {
        close(tty_fd);
        tty_fd = -1;
        return;
    }
    run_mode = saved_mode;
    run_mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
    run_mode.c_iflag &= ~static_cast<tcflag_t>(IXON);  // Ctrl+S and Ctrl+Q are keys
    run_mode.c_cc[VMIN] = 1;
    run_mode.c_cc[VTIME] = 0;
    key_mode = run_mode;
    key_mode.c_lflag &= ~static_cast<tcflag_t>(ISIG);

    std::atexit(restore_at_exit);
    for (int sig : FATAL_SIGNALS) std::signal(sig, on_fatal_signal);
    std::signal(SIGTSTP, on_stop_signal);
    apply(&run_mode);
}

int console_getch() {
    if (tty_fd < 0) return KEY_UNAVAILABLE;
    apply(&key_mode);
    unsigned char key = 0;
    ssize_t got;
    do {
        got = read(tty_fd, &key, 1);
    } while (got < 0 && errno == EINTR);
    apply(&run_mode);
    // End of file or an error: the terminal has gone.
    return got == 1 ? key : KEY_UNAVAILABLE;
}

bool console_kbhit() {
    if (tty_fd < 0) return false;
    pollfd waiting{tty_fd, POLLIN, 0};
    return poll(&waiting, 1, 0) == 1 && (waiting.revents & POLLIN) != 0;
}
