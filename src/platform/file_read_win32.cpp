// The update file on Windows: opened for reading only, shared as the C
// runtime shares it, and refused unless it is a file on disk (a folder of
// that name cannot be opened this way at all).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/file_read.h"

FileRead file_read(const char* name, uint8_t* buffer, uint32_t capacity, uint32_t* length) {
    *length = 0;
    HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FileRead::Missing;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return FileRead::Missing;
    }
    FileRead result = FileRead::Done;
    while (*length < capacity) {
        DWORD got = 0;
        if (!ReadFile(file, buffer + *length, capacity - *length, &got, nullptr)) {
            result = FileRead::Failed;
            break;
        }
        if (got == 0) break;
        *length += got;
    }
    CloseHandle(file);
    return result;
}
