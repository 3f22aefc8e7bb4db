// The scripted adapter's D2XX calls.
#include "doubles/fake_adapter.h"

#include <cstdio>
#include <cstring>
#include <deque>

#include "doubles/virtual_clock.h"

namespace fake {
namespace {

struct Failure {
    Call call;
    FT_STATUS status;
    int nth;
    bool and_after;
};

std::vector<Record> records;
int counts[static_cast<int>(Call::Write) + 1];
std::deque<Chunk> reads;
std::deque<Chunk> writes;
std::vector<Failure> failures;
std::function<void(const Record&)> hook;
uint32_t idle_read_ms = 300;
bool is_open = false;

FT_STATUS scripted_status(Call call) {
    const int number = count(call) + 1;
    for (const Failure& f : failures) {
        if (f.call == call && (number == f.nth || (f.and_after && number > f.nth))) return f.status;
    }
    return FT_OK;
}

Record start(Call call, FT_HANDLE handle, std::vector<uint32_t> args) {
    Record r{};
    r.call = call;
    r.args = std::move(args);
    r.handle_valid = is_open && handle == HANDLE;
    r.tick_before = vclock::now();
    return r;
}

FT_STATUS finish(Record r, FT_STATUS status) {
    r.status = status;
    r.tick_after = vclock::now();
    records.push_back(r);
    ++counts[static_cast<int>(r.call)];
    if (hook) hook(records.back());
    return status;
}

FT_STATUS simple(Call call, FT_HANDLE handle, std::vector<uint32_t> args) {
    Record r = start(call, handle, std::move(args));
    return finish(r, scripted_status(call));
}

}  // namespace

const char* call_name(Call call) {
    switch (call) {
        case Call::Open: return "FT_Open";
        case Call::Close: return "FT_Close";
        case Call::ResetDevice: return "FT_ResetDevice";
        case Call::SetBaudRate: return "FT_SetBaudRate";
        case Call::SetDataCharacteristics: return "FT_SetDataCharacteristics";
        case Call::SetFlowControl: return "FT_SetFlowControl";
        case Call::SetChars: return "FT_SetChars";
        case Call::SetTimeouts: return "FT_SetTimeouts";
        case Call::Purge: return "FT_Purge";
        case Call::SetLatencyTimer: return "FT_SetLatencyTimer";
        case Call::Read: return "FT_Read";
        case Call::Write: return "FT_Write";
    }
    return "?";
}

void reset() {
    records.clear();
    for (int& c : counts) c = 0;
    reads.clear();
    writes.clear();
    failures.clear();
    hook = nullptr;
    idle_read_ms = 300;
    is_open = false;
}

void queue_read(std::vector<uint8_t> data, uint32_t duration_ms) {
    Chunk c;
    c.data = std::move(data);
    c.duration_ms = duration_ms;
    reads.push_back(std::move(c));
}
void queue_read(Chunk chunk) { reads.push_back(std::move(chunk)); }
void queue_write(Chunk chunk) { writes.push_back(std::move(chunk)); }
void set_idle_read_ms(uint32_t ms) { idle_read_ms = ms; }

void fail(Call call, FT_STATUS status, int nth, bool and_after) {
    failures.push_back({call, status, nth, and_after});
}

void on_call(std::function<void(const Record&)> h) { hook = std::move(h); }

const std::vector<Record>& transcript() { return records; }

int count(Call call) { return counts[static_cast<int>(call)]; }

std::vector<uint8_t> written() {
    std::vector<uint8_t> all;
    for (const Record& r : records) {
        if (r.call == Call::Write) all.insert(all.end(), r.bytes.begin(), r.bytes.end());
    }
    return all;
}

size_t reads_left() { return reads.size(); }

std::string format_transcript() {
    std::string out;
    char line[160];
    for (const Record& r : records) {
        std::snprintf(line, sizeof line, "%8u..%8u %-26s", r.tick_before, r.tick_after,
                      call_name(r.call));
        out += line;
        for (uint32_t a : r.args) out += " " + std::to_string(a);
        if (r.call == Call::Read || r.call == Call::Write) {
            std::snprintf(line, sizeof line, " n=%u moved=%u", r.requested, r.moved);
            out += line;
        }
        std::snprintf(line, sizeof line, " -> %u\n", r.status);
        out += line;
    }
    return out;
}

}  // namespace fake

using fake::Call;

FT_STATUS FT_Open(int device_number, FT_HANDLE* handle) {
    fake::Record r = fake::start(Call::Open, nullptr, {static_cast<uint32_t>(device_number)});
    const FT_STATUS status = fake::scripted_status(Call::Open);
    if (status == FT_OK) {
        *handle = fake::HANDLE;
        fake::is_open = true;
    } else {
        *handle = reinterpret_cast<FT_HANDLE>(0xDEAD);  // garbage a failed open may leave
    }
    return fake::finish(r, status);
}

FT_STATUS FT_Close(FT_HANDLE handle) {
    fake::Record r = fake::start(Call::Close, handle, {});
    fake::is_open = false;
    return fake::finish(r, fake::scripted_status(Call::Close));
}

FT_STATUS FT_ResetDevice(FT_HANDLE h) { return fake::simple(Call::ResetDevice, h, {}); }
FT_STATUS FT_SetBaudRate(FT_HANDLE h, uint32_t baud) {
    return fake::simple(Call::SetBaudRate, h, {baud});
}
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE h, uint8_t len, uint8_t stop, uint8_t parity) {
    return fake::simple(Call::SetDataCharacteristics, h, {len, stop, parity});
}
FT_STATUS FT_SetFlowControl(FT_HANDLE h, uint16_t mode, uint8_t xon, uint8_t xoff) {
    return fake::simple(Call::SetFlowControl, h, {mode, xon, xoff});
}
FT_STATUS FT_SetChars(FT_HANDLE h, uint8_t ev, uint8_t ev_on, uint8_t er, uint8_t er_on) {
    return fake::simple(Call::SetChars, h, {ev, ev_on, er, er_on});
}
FT_STATUS FT_SetTimeouts(FT_HANDLE h, uint32_t rd, uint32_t wr) {
    return fake::simple(Call::SetTimeouts, h, {rd, wr});
}
FT_STATUS FT_Purge(FT_HANDLE h, uint32_t mask) { return fake::simple(Call::Purge, h, {mask}); }
FT_STATUS FT_SetLatencyTimer(FT_HANDLE h, uint8_t ms) {
    return fake::simple(Call::SetLatencyTimer, h, {ms});
}

FT_STATUS FT_Read(FT_HANDLE h, void* buffer, uint32_t n, uint32_t* done) {
    fake::Record r = fake::start(Call::Read, h, {});
    r.requested = n;
    FT_STATUS status = fake::scripted_status(Call::Read);
    uint32_t delivered = 0;
    int64_t reported = -1;
    bool leave_count = false;
    uint32_t duration = fake::idle_read_ms;
    if (status != FT_OK) {
        duration = 0;  // a failing adapter answers at once and delivers nothing
    } else if (!fake::reads.empty()) {
        fake::Chunk& c = fake::reads.front();
        delivered = static_cast<uint32_t>(c.data.size() < n ? c.data.size() : n);
        if (delivered > 0) std::memcpy(buffer, c.data.data(), delivered);
        r.bytes.assign(c.data.begin(), c.data.begin() + delivered);
        status = c.status;
        reported = c.count;
        leave_count = c.leave_count;
        duration = c.duration_ms;
        c.data.erase(c.data.begin(), c.data.begin() + delivered);
        c.duration_ms = 0;
        if (c.data.empty()) fake::reads.pop_front();
    }
    vclock::advance_ms(duration);
    r.moved = reported < 0 ? delivered : static_cast<uint32_t>(reported);
    if (leave_count) {
        r.moved = *done;
    } else {
        *done = r.moved;
    }
    return fake::finish(r, status);
}

FT_STATUS FT_Write(FT_HANDLE h, void* buffer, uint32_t n, uint32_t* done) {
    fake::Record r = fake::start(Call::Write, h, {});
    r.requested = n;
    FT_STATUS status = fake::scripted_status(Call::Write);
    uint32_t taken = n;
    uint32_t duration = 0;
    bool leave_count = false;
    if (status != FT_OK) {
        taken = 0;
    } else if (!fake::writes.empty()) {
        const fake::Chunk c = fake::writes.front();
        fake::writes.pop_front();
        if (c.count >= 0) taken = static_cast<uint32_t>(c.count);
        status = c.status;
        duration = c.duration_ms;
        leave_count = c.leave_count;
    }
    const uint32_t copied = taken < n ? taken : n;
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    r.bytes.assign(bytes, bytes + copied);
    vclock::advance_ms(duration);
    r.moved = taken;
    if (leave_count) {
        r.moved = *done;
    } else {
        *done = taken;
    }
    return fake::finish(r, status);
}
