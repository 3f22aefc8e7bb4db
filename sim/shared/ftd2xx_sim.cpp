// The simulated adapter as a D2XX library of its own: built as libftd2xx.so
// and FTD2XX.DLL, it is loaded by the unchanged updater in place of the
// vendor's. Time is real. The scenario comes from the file named by
// PELSIM_SCENARIO (a healthy device without it); every call is appended to
// the transcript file, and the flash is written out whenever the link closes
// and when the program ends.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "model/adapter.h"
#include "model/scenario.h"

#ifdef _WIN32
#define SIM_EXPORT extern "C" __declspec(dllexport)
#define SIM_CALL __stdcall  // the vendor's convention on 32-bit Windows (names kept plain by --kill-at)
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#define SIM_CALL
#endif

namespace {

class RealClock : public sim::Clock {
public:
    uint64_t now_ns() override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::steady_clock::now() - start_)
                                         .count());
    }
    void wait_until_ns(uint64_t t) override {
        std::this_thread::sleep_until(start_ + std::chrono::nanoseconds(t));
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

RealClock* real_clock;
sim::Scenario* scenario;
sim::Adapter* model;
bool broken = false;  // the scenario could not be read: no adapter at all

void write_flash() {
    if (model == nullptr || scenario->flash_path.empty()) return;
    const auto& flash = model->device().flash();
    std::ofstream out(scenario->flash_path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
    // What became of the device, for the demo's last line.
    if (std::FILE* f = std::fopen((scenario->flash_path + ".state").c_str(), "w")) {
        std::fprintf(f, "erased %d\nblocks %u\n", model->device().erased() ? 1 : 0,
                     model->device().blocks_programmed());
        std::fclose(f);
    }
}

void append_transcript(const sim::CallRecord& r) {
    if (scenario->transcript_path.empty()) return;
    if (std::FILE* f = std::fopen(scenario->transcript_path.c_str(), "a")) {
        std::fprintf(f, "%s\n", sim::Adapter::format(r).c_str());
        std::fclose(f);
    }
}

sim::Adapter* get() {
    if (model != nullptr || broken) return model;
    real_clock = new RealClock;
    scenario = new sim::Scenario;
    if (const char* path = std::getenv("PELSIM_SCENARIO"); path != nullptr && *path != '\0') {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        if (!in || !sim::parse_scenario(text.str(), *scenario, error)) {
            std::fprintf(stderr, "simulated FTD2XX: %s: %s\n", path,
                         error.empty() ? "cannot be read" : error.c_str());
            broken = true;
            return nullptr;
        }
        if (scenario->transcript_path.empty()) scenario->transcript_path = std::string(path) + ".log";
        if (scenario->flash_path.empty()) scenario->flash_path = std::string(path) + ".flash";
        std::remove(scenario->transcript_path.c_str());
    }
    model = new sim::Adapter(*real_clock, *scenario);
    model->on_record = [](const sim::CallRecord& r) {
        append_transcript(r);
        if (r.name == "FT_Close") write_flash();
    };
    std::atexit(write_flash);
    return model;
}

}  // namespace

SIM_EXPORT uint32_t SIM_CALL FT_Open(int n, void** h) {
    sim::Adapter* a = get();
    return a ? a->open(n, h) : sim::DEVICE_NOT_FOUND;
}
SIM_EXPORT uint32_t SIM_CALL FT_Close(void* h) {
    sim::Adapter* a = get();
    return a ? a->close(h) : sim::INVALID_HANDLE;
}
SIM_EXPORT uint32_t SIM_CALL FT_ResetDevice(void* h) {
    sim::Adapter* a = get();
    return a ? a->reset_device(h) : sim::INVALID_HANDLE;
}
SIM_EXPORT uint32_t SIM_CALL FT_SetBaudRate(void* h, uint32_t baud) {
    sim::Adapter* a = get();
    return a ? a->set_baud_rate(h, baud) : sim::INVALID_HANDLE;
}
SIM_EXPORT uint32_t SIM_CALL FT_SetDataCharacteristics(void* h, uint8_t l, uint8_t s, uint8_t p) {
    sim::Adapter* a = get();
    return a ? a->set_data_characteristics(h, l, s, p) : sim::INVALID_HANDLE;
}
SIM_EXPORT uint32_t SIM_CALL FT_SetFlowControl(void* h, uint16_t m, uint8_t on, uint8_t off) {
    sim::Adapter* a = get();
    return a ? a->set_flow_control(h, m, on, off) : sim::INVALID_HANDLE;
}
SIM_EXPORT uint32_t SIM_CALL FT_SetChars(void* h, uint8_t ev, uint8_t ev_on, uint8_t er, uint8_t er_on) {
    sim::Adapter* a = get();
    return a ? a->set_chars(h, ev, ev_on, er, er_on) : sim::INVALID_HANDLE;
}
SIM_EXPORT uint32_t SIM_CALL FT_SetTimeouts(void* h, uint32_t r, uint32_t w) {
    sim::Adapter* a = get();
    return a ? a->set_timeouts(h, r, w) : sim::INVALID_HANDLE;
}
SIM_EXPORT uint32_t SIM_CALL FT_Purge(void* h, uint32_t mask) {
    sim::Adapter* a = get();
    return a ? a->purge(h, mask) : sim::INVALID_HANDLE;
}
SIM_EXPORT uint32_t SIM_CALL FT_SetLatencyTimer(void* h, uint8_t ms) {
    sim::Adapter* a = get();
    return a ? a->set_latency_timer(h, ms) : sim::INVALID_HANDLE;
}
SIM_EXPORT uint32_t SIM_CALL FT_Read(void* h, void* buf, uint32_t n, uint32_t* done) {
    sim::Adapter* a = get();
    if (a == nullptr) {
        *done = 0;
        return sim::INVALID_HANDLE;
    }
    return a->read(h, buf, n, done);
}
SIM_EXPORT uint32_t SIM_CALL FT_Write(void* h, void* buf, uint32_t n, uint32_t* done) {
    sim::Adapter* a = get();
    if (a == nullptr) {
        *done = 0;
        return sim::INVALID_HANDLE;
    }
    return a->write(h, buf, n, done);
}
