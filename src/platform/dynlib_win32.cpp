// FTD2XX.DLL, searched for in the program's own folder and the system folder
// only. The current directory is the folder that holds the update file, and a
// DLL lying there must never be loaded.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>
#include <cwchar>

#include "platform/dynlib.h"

namespace {

const wchar_t LIBRARY_NAME[] = L"FTD2XX.DLL";

// Older systems without the restricted search flags: load by full path from
// the same two folders instead.
HMODULE load_by_full_path() {
    wchar_t path[MAX_PATH + 16];
    const DWORD app_length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (app_length > 0 && app_length < MAX_PATH) {
        wchar_t* slash = std::wcsrchr(path, L'\\');
        if (slash != nullptr) {
            std::wcscpy(slash + 1, LIBRARY_NAME);
            HMODULE found = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
            if (found != nullptr) return found;
        }
    }
    const UINT system_length = GetSystemDirectoryW(path, MAX_PATH);
    if (system_length == 0 || system_length >= MAX_PATH) return nullptr;
    std::wcscat(path, L"\\");
    std::wcscat(path, LIBRARY_NAME);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

void* dynlib_open_d2xx() {
    // A missing DLL or one of its dependencies must not raise a dialog.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE library = LoadLibraryExW(
        LIBRARY_NAME, nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        library = load_by_full_path();
    }
    SetErrorMode(previous);
    return reinterpret_cast<void*>(library);
}

void* dynlib_symbol(void* library, const char* name) {
    FARPROC entry = GetProcAddress(reinterpret_cast<HMODULE>(library), name);
    void* address = nullptr;
    static_assert(sizeof address == sizeof entry, "code and data pointers differ in size");
    std::memcpy(&address, &entry, sizeof address);
    return address;
}
