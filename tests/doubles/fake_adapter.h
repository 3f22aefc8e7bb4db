// A scripted FTDI adapter in place of the D2XX library: each read and write
// call does what the test queued for it, every call is recorded, and time
// passes on the virtual clock as the script says.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "adapter/d2xx.h"

namespace fake {

enum class Call {
    Open, Close, ResetDevice, SetBaudRate, SetDataCharacteristics, SetFlowControl, SetChars,
    SetTimeouts, Purge, SetLatencyTimer, Read, Write,
};
const char* call_name(Call call);

struct Record {
    Call call;
    std::vector<uint32_t> args;  // the scalar arguments after the handle
    bool handle_valid;           // the handle FT_Open gave out, still open
    FT_STATUS status;
    uint32_t requested;          // n of a read or write
    uint32_t moved;              // count reported back
    std::vector<uint8_t> bytes;  // bytes taken by a write, delivered by a read
    uint32_t tick_before;
    uint32_t tick_after;
};

// What one FT_Read or FT_Write call does.
struct Chunk {
    std::vector<uint8_t> data;  // read: bytes delivered; what exceeds n waits for the next call
    int64_t count = -1;         // write: bytes taken, -1 for all; read: reported count, -1 for real
    FT_STATUS status = FT_OK;
    uint32_t duration_ms = 0;
    bool leave_count = false;  // the call does not write the count back at all
};

// The handle FT_Open gives out.
FT_HANDLE const HANDLE = reinterpret_cast<FT_HANDLE>(0x5E1F);

void reset();

void queue_read(std::vector<uint8_t> data, uint32_t duration_ms = 0);
void queue_read(Chunk chunk);
void queue_write(Chunk chunk);

// A read with nothing queued returns FT_OK and no byte after this long, as
// the adapter does when its read timeout passes.
void set_idle_read_ms(uint32_t ms);

// Call number `nth` (counted from 1) of that kind returns `status`; with
// `and_after`, every later call of that kind does too.
void fail(Call call, FT_STATUS status, int nth = 1, bool and_after = false);

// Runs after every recorded call, to let a test react (press a key, say).
void on_call(std::function<void(const Record&)> hook);

const std::vector<Record>& transcript();
int count(Call call);
std::vector<uint8_t> written();        // every byte taken by writes, in order
std::string format_transcript();       // one line a call, for failure messages
size_t reads_left();                   // queued reads not yet consumed

}  // namespace fake
