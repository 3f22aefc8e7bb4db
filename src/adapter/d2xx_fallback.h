// A second way to the adapter, used when the vendor's D2XX library is not
// installed or finds no device: the system's own serial driver, offering the
// same calls with the same results the link relies on.
#pragma once

#include "adapter/d2xx.h"

struct D2xxFallback {
    FT_STATUS (*open)(int device_number, FT_HANDLE* handle);
    FT_STATUS (*close)(FT_HANDLE handle);
    FT_STATUS (*reset_device)(FT_HANDLE handle);
    FT_STATUS (*set_baud_rate)(FT_HANDLE handle, uint32_t baud);
    FT_STATUS (*set_data_characteristics)(FT_HANDLE handle, uint8_t bits, uint8_t stop,
                                          uint8_t parity);
    FT_STATUS (*set_flow_control)(FT_HANDLE handle, uint16_t mode, uint8_t xon, uint8_t xoff);
    FT_STATUS (*set_chars)(FT_HANDLE handle, uint8_t ev, uint8_t ev_on, uint8_t er, uint8_t er_on);
    FT_STATUS (*set_timeouts)(FT_HANDLE handle, uint32_t read_ms, uint32_t write_ms);
    FT_STATUS (*purge)(FT_HANDLE handle, uint32_t mask);
    FT_STATUS (*set_latency_timer)(FT_HANDLE handle, uint8_t ms);
    FT_STATUS (*read)(FT_HANDLE handle, void* buffer, uint32_t n, uint32_t* done);
    FT_STATUS (*write)(FT_HANDLE handle, void* buffer, uint32_t n, uint32_t* done);
};

// The fallback of this system, or nullptr where there is none.
const D2xxFallback* d2xx_fallback();
