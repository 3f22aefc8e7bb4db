// Test tool for the Windows build under Wine: reads or types into the
// console of another program, as the console keyboard would, or reports the
// console it shares with the programs run before it.
//   console_key NAME.exe          prints the input mode of NAME's console, then
//                                 types Ctrl+C there as a key press
//   console_key NAME.exe --mode   only prints that mode
//   console_key --self            prints the input mode of its own console and
//                                 the number of input records still waiting
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

namespace {

DWORD find_process(const wchar_t* exe_name) {
    DWORD pid = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, exe_name) == 0) pid = entry.th32ProcessID;
    }
    CloseHandle(snapshot);
    return pid;
}

HANDLE console_input() {
    return CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: console_key NAME.exe [--mode] | --self\n");
        return 2;
    }
    if (std::wcscmp(argv[1], L"--self") == 0) {
        HANDLE input = console_input();
        DWORD mode = 0, waiting = 0;
        if (!GetConsoleMode(input, &mode) || !GetNumberOfConsoleInputEvents(input, &waiting)) return 1;
        std::printf("mode 0x%lx waiting %lu", mode, waiting);
        return 0;
    }
    const DWORD pid = find_process(argv[1]);
    if (pid == 0) {
        std::printf("no process\n");
        return 1;
    }
    FreeConsole();
    if (!AttachConsole(pid)) {
        std::printf("attach failed %lu\n", GetLastError());
        return 1;
    }
    HANDLE input = console_input();
    DWORD mode = 0;
    GetConsoleMode(input, &mode);
    std::printf("mode 0x%lx\n", mode);  // standard output is still the caller's
    if (argc > 2) return 0;
    // Key-down and key-up, as a keyboard sends them.
    INPUT_RECORD records[2] = {};
    for (int i = 0; i < 2; ++i) {
        KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
        records[i].EventType = KEY_EVENT;
        key.bKeyDown = i == 0;
        key.wRepeatCount = 1;
        key.wVirtualKeyCode = 'C';
        key.wVirtualScanCode = 0x2e;
        key.uChar.UnicodeChar = 3;
        key.dwControlKeyState = LEFT_CTRL_PRESSED;
    }
    DWORD written = 0;
    if (!WriteConsoleInputW(input, records, 2, &written) || written != 2) {
        std::printf("write failed %lu\n", GetLastError());
        return 1;
    }
    return 0;
}
