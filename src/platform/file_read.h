// Reading the update file by its relative name: only ever a regular file,
// and never a wait on something that is not one (a FIFO without a writer, a
// device).
#pragma once

#include <cstdint>

enum class FileRead {
    Missing,  // no such file, or not a regular file: nothing read
    Failed,   // reading broke off after `length` bytes
    Done,     // `length` bytes read: the whole file, or `capacity` of it
};

FileRead file_read(const char* name, uint8_t* buffer, uint32_t capacity, uint32_t* length);
