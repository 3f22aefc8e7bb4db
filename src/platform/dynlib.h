// Finding the vendor's D2XX library at run time, by its plain name.
#pragma once

// The library handle, or nullptr when it cannot be loaded.
void* dynlib_open_d2xx();
// The named entry point, or nullptr.
void* dynlib_symbol(void* library, const char* name);
