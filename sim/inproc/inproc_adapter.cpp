// The D2XX calls of the program forwarded to the simulated adapter, with the
// virtual clock of the test doubles as its time.
#include "inproc/inproc_adapter.h"

#include <memory>

#include "doubles/virtual_clock.h"
#include "adapter/d2xx.h"

namespace sim {
namespace {

class VirtualClock : public Clock {
public:
    uint64_t now_ns() override { return vclock::elapsed_us() * 1000; }
    void wait_until_ns(uint64_t t) override {
        const uint64_t target_us = (t + 999) / 1000;
        if (target_us > vclock::elapsed_us()) vclock::advance_us(target_us - vclock::elapsed_us());
    }
};

VirtualClock clock;
Scenario current;
std::unique_ptr<Adapter> model;

}  // namespace

void start(const Scenario& scenario) {
    current = scenario;
    model = std::make_unique<Adapter>(clock, current);
}

Adapter& adapter() { return *model; }

void clear_faults() {
    const Scenario healthy;
    current.handshake_ignore = 0;
    current.handshake_custom = false;
    current.handshake_delay_ms = 0;
    current.version_missing = false;
    current.version_custom = false;
    current.erase_ack_custom = current.erase_done_custom = false;
    current.erase_ms = healthy.erase_ms;
    current.echo_corrupt.clear();
    current.echo_truncate.clear();
    current.echo_pause.clear();
    current.echo_delay_ms.clear();
    current.reject.clear();
    current.reply_missing.clear();
    current.no_device = false;
    current.short_writes = 0;
    current.fail_call.clear();
    current.unplug_at_byte = 0;
    current.unplug_at_call = 0;
    model->replug();
}

}  // namespace sim

FT_STATUS FT_Open(int n, FT_HANDLE* h) { return sim::adapter().open(n, h); }
FT_STATUS FT_Close(FT_HANDLE h) { return sim::adapter().close(h); }
FT_STATUS FT_ResetDevice(FT_HANDLE h) { return sim::adapter().reset_device(h); }
FT_STATUS FT_SetBaudRate(FT_HANDLE h, uint32_t b) { return sim::adapter().set_baud_rate(h, b); }
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE h, uint8_t l, uint8_t s, uint8_t p) {
    return sim::adapter().set_data_characteristics(h, l, s, p);
}
FT_STATUS FT_SetFlowControl(FT_HANDLE h, uint16_t m, uint8_t on, uint8_t off) {
    return sim::adapter().set_flow_control(h, m, on, off);
}
FT_STATUS FT_SetChars(FT_HANDLE h, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return sim::adapter().set_chars(h, a, b, c, d);
}
FT_STATUS FT_SetTimeouts(FT_HANDLE h, uint32_t r, uint32_t w) {
    return sim::adapter().set_timeouts(h, r, w);
}
FT_STATUS FT_Purge(FT_HANDLE h, uint32_t m) { return sim::adapter().purge(h, m); }
FT_STATUS FT_SetLatencyTimer(FT_HANDLE h, uint8_t ms) { return sim::adapter().set_latency_timer(h, ms); }
FT_STATUS FT_Read(FT_HANDLE h, void* b, uint32_t n, uint32_t* d) {
    return sim::adapter().read(h, b, n, d);
}
FT_STATUS FT_Write(FT_HANDLE h, void* b, uint32_t n, uint32_t* d) {
    return sim::adapter().write(h, b, n, d);
}
