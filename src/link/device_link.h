// The one device link: FTDI device 0 through the D2XX library, its fixed
// serial settings, the deadline, and the timed write and read primitives the
// bootloader protocol runs on. It knows no protocol and prints nothing.
#pragma once

#include <cstdint>

#include "adapter/d2xx.h"

enum class LinkResult { Ok, Timeout, Failed };

struct DeviceLink {
    FT_HANDLE handle;
    FT_STATUS last_status;  // of the last FT_Open, FT_Write or FT_Read
    uint32_t byte_count;    // bytes the last FT_Write or FT_Read moved
    uint32_t deadline;      // tick at which the current wait ends
    bool open;              // an FT_Open succeeded and no close followed
};

extern DeviceLink device_link;

inline constexpr uint32_t LINK_TIMEOUT = 300;   // ms, each FT_Read and FT_Write
inline constexpr uint32_t COMMAND_WAIT = 1000;  // ms, the usual arming
// ms the adapter may hold back received bytes before passing them on (16 by
// default); 2 is the lowest its maker recommends.
inline constexpr uint8_t LATENCY_TIMER = 2;

// Opens device 0 and configures it at `baud`; false if either fails (a
// configured failure leaves the device open until link_close).
bool link_open(uint32_t baud);
bool link_configure(uint32_t baud);
// Closes the device if an open succeeded since the last close; otherwise
// makes no library call.
void link_close();

// ms is COMMAND_WAIT or the erase wait.
void arm_deadline(uint32_t ms);

// Writes a command once; arms COMMAND_WAIT only if all n bytes were taken.
// Failed on a nonzero write status.
LinkResult send_command(const uint8_t* buf, uint32_t n);
// Reads until a call delivers at least one byte, or the deadline passes.
LinkResult read_some(uint8_t* buf, uint32_t n);
// Write or read all n bytes before the deadline, resuming after each
// partial call where the previous one stopped.
LinkResult write_all(const uint8_t* buf, uint32_t n);
LinkResult read_all(uint8_t* buf, uint32_t n);
