// The console on POSIX: the controlling terminal /dev/tty, never standard
// input. For the whole run it is kept in non-canonical mode without echo and
// without signal keys, so keys typed ahead are neither shown nor held back
// until Enter, and Ctrl+C, Ctrl+Z and Ctrl+\ are key presses like any other.
// A request to end the process (SIGTERM, SIGHUP, SIGINT, SIGQUIT sent from
// outside) reaches the procedure through the keyboard: the key reader says no
// answer can come, the key test says a key is waiting. The terminal's own
// settings come back on every way out, with whatever was typed for the
// program thrown away, so that no key meant for it reaches the shell.
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
termios run_mode;    // non-canonical, no echo, no signal keys

volatile sig_atomic_t end_requested = 0;
// Written by the end-request handler, so that a key wait that has just
// checked the flag still wakes up.
int wake_pipe[2] = {-1, -1};

const int END_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
const int FATAL_SIGNALS[] = {SIGALRM, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

bool ignored_at_start(int sig) {
    struct sigaction current{};
    return sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

void install(int sig, void (*handler)(int)) {
    struct sigaction action{};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

// Keys still waiting were meant for the program; then the shell's settings.
void restore_terminal() {
    if (tty_fd < 0) return;
    tcflush(tty_fd, TCIFLUSH);
    tcsetattr(tty_fd, TCSANOW, &saved_mode);
}

void on_end_request(int) {
    const int saved_errno = errno;
    end_requested = 1;
    const char wake = 1;
    if (write(wake_pipe[1], &wake, 1) < 0) {
        // The pipe is full: a wake-up is already pending.
    }
    errno = saved_errno;
}

void on_fatal_signal(int sig) {
    restore_terminal();
    std::signal(sig, SIG_DFL);
    raise(sig);
}

// Stopped from outside (Ctrl+Z is a key; this is SIGTSTP sent by kill): give
// the shell its terminal back while stopped, take it again on continuing.
void on_stop_signal(int sig) {
    const int saved_errno = errno;
    tcsetattr(tty_fd, TCSANOW, &saved_mode);
    std::signal(sig, SIG_DFL);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, sig);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    raise(sig);
    // Running again.
    install(sig, on_stop_signal);
    tcsetattr(tty_fd, TCSANOW, &run_mode);
    errno = saved_errno;
}

void restore_at_exit() { restore_terminal(); }

// The handlers for a request to end; a signal ignored when the program
// started (nohup, trap '' HUP) stays ignored.
void catch_end_requests() {
    if (pipe(wake_pipe) != 0) return;
    for (int fd : wake_pipe) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    for (int sig : END_SIGNALS) {
        if (!ignored_at_start(sig)) install(sig, on_end_request);
    }
}

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
    // A request to end counts with or without a keyboard.
    catch_end_requests();
    // Output to a pipe whose reader has gone is lost, but must not kill the
    // program between two blocks with the link left open.
    std::signal(SIGPIPE, SIG_IGN);

    tty_fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty_fd < 0) return;  // no controlling terminal: no keyboard
    if (tcgetattr(tty_fd, &saved_mode) != 0) {
        close(tty_fd);
        tty_fd = -1;
        return;
    }
    run_mode = saved_mode;
    run_mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN | ISIG);
    run_mode.c_iflag &= ~static_cast<tcflag_t>(IXON);  // Ctrl+S and Ctrl+Q are keys
    run_mode.c_cc[VMIN] = 1;
    run_mode.c_cc[VTIME] = 0;

    std::atexit(restore_at_exit);
    for (int sig : FATAL_SIGNALS) {
        if (!ignored_at_start(sig)) install(sig, on_fatal_signal);
    }
    if (!ignored_at_start(SIGTSTP)) install(SIGTSTP, on_stop_signal);
    tcsetattr(tty_fd, TCSANOW, &run_mode);
}

int console_getch() {
    for (;;) {
        if (end_requested) return KEY_UNAVAILABLE;
        if (tty_fd < 0) return KEY_UNAVAILABLE;
        pollfd waiting[2] = {{tty_fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
        const int ready = poll(waiting, wake_pipe[0] >= 0 ? 2 : 1, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return KEY_UNAVAILABLE;
        }
        if (end_requested) return KEY_UNAVAILABLE;
        if (waiting[0].revents == 0) continue;
        unsigned char key = 0;
        const ssize_t got = read(tty_fd, &key, 1);
        if (got == 1) return key;
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        // End of file or an error: the terminal has gone.
        return KEY_UNAVAILABLE;
    }
}

bool console_kbhit() {
    if (end_requested) return true;
    if (tty_fd < 0) return false;
    pollfd waiting{tty_fd, POLLIN, 0};
    // A terminal that has hung up reads as ready but holds no key: with the
    // hang-up ignored (nohup) the run goes on without a keyboard.
    return poll(&waiting, 1, 0) == 1 && (waiting.revents & POLLIN) != 0 &&
           (waiting.revents & (POLLHUP | POLLERR)) == 0;
}
