// The console on Windows: the C runtime's _getch and _kbhit read the console
// keyboard whatever standard input is.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <conio.h>
#include <cstdio>
#include <io.h>

#include "platform/console.h"

namespace {

bool keyboard_present = false;

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
    // _getch has nothing to read without a console (a detached or service
    // process); find that out once instead of failing on every key.
    HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    keyboard_present = input != INVALID_HANDLE_VALUE;
    if (keyboard_present) CloseHandle(input);
}

int console_getch() {
    if (!keyboard_present) return KEY_UNAVAILABLE;
    const int key = _getch();
    return key == EOF ? KEY_UNAVAILABLE : key;
}

bool console_kbhit() { return keyboard_present && _kbhit() != 0; }
