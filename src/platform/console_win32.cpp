// The console on Windows: the C runtime's _getch and _kbhit read the console
// keyboard whatever standard input is. For the whole run the console's
// processed input is off, so Ctrl+C is a key press (code 3) like any other;
// Ctrl+Break, which still comes as a console event, counts as a key press
// too. Closing the window, logging off and shutting down are requests to end:
// the key reader then says no answer can come and the key test says a key is
// waiting, and the event waits while the run finishes its block and closes
// the link (Windows ends the process about 5 s after the event anyway). The
// console is shared with the shell that started the program: its input mode
// comes back, and keys typed for the program are thrown away, on the way out.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <conio.h>
#include <cstdio>
#include <cstdlib>
#include <io.h>

#include "platform/console.h"

namespace {

// How long a close, logoff or shutdown event holds the process back while
// the run winds down; Windows' own limit is shorter.
constexpr DWORD END_GRACE_MS = 10000;

HANDLE console_input = INVALID_HANDLE_VALUE;
DWORD saved_input_mode = 0;

// Set from the console's event thread, read by the run.
volatile LONG break_pressed = 0;
volatile LONG end_requested = 0;
HANDLE end_event = nullptr;  // signalled with end_requested, wakes the key wait

void restore_console() {
    if (console_input == INVALID_HANDLE_VALUE) return;
    FlushConsoleInputBuffer(console_input);
    SetConsoleMode(console_input, saved_input_mode);
}

BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        // With processed input off, Ctrl+C is input; it still comes as an
        // event where the console host turns it into one (Wine does).
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            InterlockedExchange(&break_pressed, 1);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            InterlockedExchange(&end_requested, 1);
            if (end_event != nullptr) SetEvent(end_event);
            // Returning lets Windows end the process at once; the run ends
            // the process itself when its block is done and the link closed.
            Sleep(END_GRACE_MS);
            return TRUE;
        default:
            return FALSE;
    }
}

void restore_at_exit() { restore_console(); }

}  // namespace

void output_init() {
    static char buffer[BUFSIZ];
    if (_isatty(_fileno(stdout))) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    } else {
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    }
}

void console_open() {
    end_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);

    // _getch has nothing to read without a console (a detached or service
    // process); find that out once instead of failing on every key.
    console_input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    if (console_input == INVALID_HANDLE_VALUE) return;
    // A handle that is no console input (a detached console host) has no
    // mode and delivers no keys: no keyboard, rather than a wait that spins.
    if (!GetConsoleMode(console_input, &saved_input_mode)) {
        CloseHandle(console_input);
        console_input = INVALID_HANDLE_VALUE;
        return;
    }
    std::atexit(restore_at_exit);
    SetConsoleMode(console_input, saved_input_mode & ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT));
}

int console_getch() {
    for (;;) {
        if (end_requested) return KEY_UNAVAILABLE;
        if (console_input == INVALID_HANDLE_VALUE) return KEY_UNAVAILABLE;
        HANDLE waits[2] = {console_input, end_event};
        const DWORD count = end_event != nullptr ? 2 : 1;
        const DWORD woke = WaitForMultipleObjects(count, waits, FALSE, INFINITE);
        if (end_requested || woke == WAIT_FAILED) return KEY_UNAVAILABLE;
        if (_kbhit() != 0) {
            const int key = _getch();
            // A Ctrl+Break before the answer was a key for the prompt.
            InterlockedExchange(&break_pressed, 0);
            return key == EOF ? KEY_UNAVAILABLE : key;
        }
        // Input that no key read takes (key releases, Shift alone, mouse,
        // focus) keeps the wait awake: drop it. A key-down with a character
        // is never dropped, however it raced in.
        INPUT_RECORD record;
        DWORD got = 0;
        if (PeekConsoleInputW(console_input, &record, 1, &got) && got == 1) {
            const bool character = record.EventType == KEY_EVENT &&
                                   record.Event.KeyEvent.bKeyDown &&
                                   record.Event.KeyEvent.uChar.UnicodeChar != 0;
            if (!character) ReadConsoleInputW(console_input, &record, 1, &got);
        }
    }
}

bool console_kbhit() {
    if (end_requested || InterlockedExchange(&break_pressed, 0) != 0) return true;
    return console_input != INVALID_HANDLE_VALUE && _kbhit() != 0;
}
