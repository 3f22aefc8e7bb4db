// The D2XX calls of the link, forwarded to the vendor's library, which is
// loaded at the first FT_Open. A library that is missing, or lacks any of the
// entry points, makes FT_Open fail like a run with no adapter attached.
#include <cstring>

#include "platform/d2xx.h"
#include "platform/dynlib.h"

#ifdef _WIN32
#define D2XX_CALL __stdcall  // the library's convention on 32-bit Windows
#else
#define D2XX_CALL
#endif

namespace {

using OpenFn = FT_STATUS(D2XX_CALL*)(int, FT_HANDLE*);
using HandleFn = FT_STATUS(D2XX_CALL*)(FT_HANDLE);
using BaudFn = FT_STATUS(D2XX_CALL*)(FT_HANDLE, uint32_t);
using DataFn = FT_STATUS(D2XX_CALL*)(FT_HANDLE, uint8_t, uint8_t, uint8_t);
using FlowFn = FT_STATUS(D2XX_CALL*)(FT_HANDLE, uint16_t, uint8_t, uint8_t);
using CharsFn = FT_STATUS(D2XX_CALL*)(FT_HANDLE, uint8_t, uint8_t, uint8_t, uint8_t);
using TimeoutsFn = FT_STATUS(D2XX_CALL*)(FT_HANDLE, uint32_t, uint32_t);
using PurgeFn = FT_STATUS(D2XX_CALL*)(FT_HANDLE, uint32_t);
using LatencyFn = FT_STATUS(D2XX_CALL*)(FT_HANDLE, uint8_t);
using TransferFn = FT_STATUS(D2XX_CALL*)(FT_HANDLE, void*, uint32_t, uint32_t*);

struct D2xxEntries {
    OpenFn open;
    HandleFn close;
    HandleFn reset_device;
    BaudFn set_baud_rate;
    DataFn set_data_characteristics;
    FlowFn set_flow_control;
    CharsFn set_chars;
    TimeoutsFn set_timeouts;
    PurgeFn purge;
    LatencyFn set_latency_timer;  // optional: older libraries lack it
    TransferFn read;
    TransferFn write;
};

D2xxEntries entries;
bool load_tried = false;
bool loaded = false;

template <typename Fn>
bool resolve(void* library, const char* name, Fn& entry) {
    void* address = dynlib_symbol(library, name);
    if (address == nullptr) return false;
    static_assert(sizeof entry == sizeof address, "code and data pointers differ in size");
    std::memcpy(&entry, &address, sizeof entry);
    return true;
}

bool load_library() {
    if (load_tried) return loaded;
    load_tried = true;
    void* library = dynlib_open_d2xx();
    if (library == nullptr) return false;
    loaded = resolve(library, "FT_Open", entries.open) &&
             resolve(library, "FT_Close", entries.close) &&
             resolve(library, "FT_ResetDevice", entries.reset_device) &&
             resolve(library, "FT_SetBaudRate", entries.set_baud_rate) &&
             resolve(library, "FT_SetDataCharacteristics", entries.set_data_characteristics) &&
             resolve(library, "FT_SetFlowControl", entries.set_flow_control) &&
             resolve(library, "FT_SetChars", entries.set_chars) &&
             resolve(library, "FT_SetTimeouts", entries.set_timeouts) &&
             resolve(library, "FT_Purge", entries.purge) &&
             resolve(library, "FT_Read", entries.read) &&
             resolve(library, "FT_Write", entries.write);
    if (loaded && !resolve(library, "FT_SetLatencyTimer", entries.set_latency_timer)) {
        entries.set_latency_timer = nullptr;
    }
    return loaded;
}

}  // namespace

FT_STATUS FT_Open(int device_number, FT_HANDLE* handle) {
    if (!load_library()) return FT_DEVICE_NOT_FOUND;
    return entries.open(device_number, handle);
}

// The link calls the others only on a handle FT_Open gave it, so the library
// is loaded by then; the checks keep a stray call harmless all the same.
FT_STATUS FT_Close(FT_HANDLE h) { return loaded ? entries.close(h) : FT_INVALID_HANDLE; }

FT_STATUS FT_ResetDevice(FT_HANDLE h) {
    return loaded ? entries.reset_device(h) : FT_INVALID_HANDLE;
}

FT_STATUS FT_SetBaudRate(FT_HANDLE h, uint32_t baud) {
    return loaded ? entries.set_baud_rate(h, baud) : FT_INVALID_HANDLE;
}

FT_STATUS FT_SetDataCharacteristics(FT_HANDLE h, uint8_t word_length, uint8_t stop_bits,
                                    uint8_t parity) {
    return loaded ? entries.set_data_characteristics(h, word_length, stop_bits, parity)
                  : FT_INVALID_HANDLE;
}

FT_STATUS FT_SetFlowControl(FT_HANDLE h, uint16_t mode, uint8_t xon, uint8_t xoff) {
    return loaded ? entries.set_flow_control(h, mode, xon, xoff) : FT_INVALID_HANDLE;
}

FT_STATUS FT_SetChars(FT_HANDLE h, uint8_t event_char, uint8_t event_enable, uint8_t error_char,
                      uint8_t error_enable) {
    return loaded ? entries.set_chars(h, event_char, event_enable, error_char, error_enable)
                  : FT_INVALID_HANDLE;
}

FT_STATUS FT_SetTimeouts(FT_HANDLE h, uint32_t read_ms, uint32_t write_ms) {
    return loaded ? entries.set_timeouts(h, read_ms, write_ms) : FT_INVALID_HANDLE;
}

FT_STATUS FT_Purge(FT_HANDLE h, uint32_t mask) {
    return loaded ? entries.purge(h, mask) : FT_INVALID_HANDLE;
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE h, uint8_t ms) {
    if (!loaded) return FT_INVALID_HANDLE;
    // Without the entry point the call is simply not made.
    return entries.set_latency_timer ? entries.set_latency_timer(h, ms) : FT_NOT_SUPPORTED;
}

FT_STATUS FT_Read(FT_HANDLE h, void* buffer, uint32_t n, uint32_t* done) {
    if (!loaded) {
        *done = 0;
        return FT_INVALID_HANDLE;
    }
    return entries.read(h, buffer, n, done);
}

FT_STATUS FT_Write(FT_HANDLE h, void* buffer, uint32_t n, uint32_t* done) {
    if (!loaded) {
        *done = 0;
        return FT_INVALID_HANDLE;
    }
    return entries.write(h, buffer, n, done);
}
