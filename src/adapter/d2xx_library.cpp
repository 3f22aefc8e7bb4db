// The D2XX calls of the link, forwarded to the vendor's library, which is
// loaded at the first FT_Open. A library that is missing, or lacks any of the
// entry points it must have, counts as absent. Where the system has its own
// way to the adapter, that is used when the vendor's library is absent or
// its FT_Open fails; with neither, FT_Open fails like a run with no adapter.
#include <cstring>

#include "adapter/d2xx.h"
#include "adapter/d2xx_fallback.h"
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

// Which provider the last successful FT_Open came from; the other calls go
// there.
enum class Provider { None, Vendor, Fallback };
Provider active = Provider::None;
const D2xxFallback* fallback = nullptr;

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
    // A failed open leaves a device opened before as it was.
    FT_STATUS status = FT_DEVICE_NOT_FOUND;
    if (load_library()) {
        status = entries.open(device_number, handle);
        if (status == FT_OK) {
            active = Provider::Vendor;
            return FT_OK;
        }
    }
    const D2xxFallback* system_way = d2xx_fallback();
    if (system_way == nullptr) return status;
    status = system_way->open(device_number, handle);
    if (status == FT_OK) {
        fallback = system_way;
        active = Provider::Fallback;
    }
    return status;
}

// The link calls the others only on a handle FT_Open gave it; a stray call
// without one is refused.
#define FORWARD(entry, ...)                                             \
    (active == Provider::Vendor     ? entries.entry(__VA_ARGS__)        \
     : active == Provider::Fallback ? fallback->entry(__VA_ARGS__)      \
                                    : FT_INVALID_HANDLE)

FT_STATUS FT_Close(FT_HANDLE h) { return FORWARD(close, h); }

FT_STATUS FT_ResetDevice(FT_HANDLE h) { return FORWARD(reset_device, h); }

FT_STATUS FT_SetBaudRate(FT_HANDLE h, uint32_t baud) {
    return FORWARD(set_baud_rate, h, baud);
}

FT_STATUS FT_SetDataCharacteristics(FT_HANDLE h, uint8_t word_length, uint8_t stop_bits,
                                    uint8_t parity) {
    return FORWARD(set_data_characteristics, h, word_length, stop_bits,
                   parity);
}

FT_STATUS FT_SetFlowControl(FT_HANDLE h, uint16_t mode, uint8_t xon, uint8_t xoff) {
    return FORWARD(set_flow_control, h, mode, xon, xoff);
}

FT_STATUS FT_SetChars(FT_HANDLE h, uint8_t event_char, uint8_t event_enable, uint8_t error_char,
                      uint8_t error_enable) {
    return FORWARD(set_chars, h, event_char, event_enable, error_char, error_enable);
}

FT_STATUS FT_SetTimeouts(FT_HANDLE h, uint32_t read_ms, uint32_t write_ms) {
    return FORWARD(set_timeouts, h, read_ms, write_ms);
}

FT_STATUS FT_Purge(FT_HANDLE h, uint32_t mask) { return FORWARD(purge, h, mask); }

FT_STATUS FT_SetLatencyTimer(FT_HANDLE h, uint8_t ms) {
    // A vendor library without the entry point: the call is simply not made.
    if (active == Provider::Vendor && entries.set_latency_timer == nullptr) return FT_NOT_SUPPORTED;
    return FORWARD(set_latency_timer, h, ms);
}

FT_STATUS FT_Read(FT_HANDLE h, void* buffer, uint32_t n, uint32_t* done) {
    if (active == Provider::None) *done = 0;
    return FORWARD(read, h, buffer, n, done);
}

FT_STATUS FT_Write(FT_HANDLE h, void* buffer, uint32_t n, uint32_t* done) {
    if (active == Provider::None) *done = 0;
    return FORWARD(write, h, buffer, n, done);
}
