// A stand-in for the vendor's libftd2xx.so, loaded by the real program the
// way the vendor's library would be. Behind it sits a minimal well-behaved
// device: it answers the handshake, the version query and the erase, echoes
// every block and accepts it. Each call is appended to the file named by
// FAKE_D2XX_LOG. Built without FT_Purge it stands for a library that lacks
// an entry point the updater needs; it never has FT_SetLatencyTimer, like
// older libraries, which the updater must do without. Built with
// FAKE_D2XX_NO_DEVICE it finds no adapter at all.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

uint8_t pending[600];
uint32_t pending_length = 0;

void log_call(const char* name, unsigned long a = 0) {
    const char* path = std::getenv("FAKE_D2XX_LOG");
    if (path == nullptr) return;
    if (std::FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s %lu\n", name, a);
        std::fclose(f);
    }
}

void reply(const uint8_t* bytes, uint32_t n) {
    std::memcpy(pending, bytes, n);
    pending_length = n;
}

}  // namespace

extern "C" {

uint32_t FT_Open(int number, void** handle) {
    log_call("FT_Open", static_cast<unsigned long>(number));
#ifdef FAKE_D2XX_NO_DEVICE
    (void)handle;
    return 2;  // installed, but no adapter of its own to be found
#endif
    *handle = reinterpret_cast<void*>(0x77);
    return 0;
}
uint32_t FT_Close(void*) {
    log_call("FT_Close");
    return 0;
}
uint32_t FT_ResetDevice(void*) {
    log_call("FT_ResetDevice");
    pending_length = 0;
    return 0;
}
uint32_t FT_SetBaudRate(void*, uint32_t baud) {
    log_call("FT_SetBaudRate", baud);
    return 0;
}
uint32_t FT_SetDataCharacteristics(void*, uint8_t, uint8_t, uint8_t) { return 0; }
uint32_t FT_SetFlowControl(void*, uint16_t, uint8_t, uint8_t) { return 0; }
uint32_t FT_SetChars(void*, uint8_t, uint8_t, uint8_t, uint8_t) { return 0; }
uint32_t FT_SetTimeouts(void*, uint32_t, uint32_t) { return 0; }
#ifdef FAKE_D2XX_COMPLETE
uint32_t FT_Purge(void*, uint32_t) { return 0; }
#endif

uint32_t FT_Write(void*, void* buffer, uint32_t n, uint32_t* done) {
    const uint8_t* b = static_cast<const uint8_t*>(buffer);
    log_call("FT_Write", n);
    *done = n;
    if (n == 6 && b[0] == 'Z') {
        const uint8_t r[] = {0x5A, 0x5A, 0x64, 0x00, 0x71, 0x43};
        reply(r, 6);
    } else if (n == 4 && b[0] == 0xA7) {
        const uint8_t r[] = {1, 5, 0xFF, 0xFF};
        reply(r, 4);
    } else if (n == 8 && b[0] == 0x3E) {
        const uint8_t r[] = {0x0F, 0xF0};
        reply(r, 2);
    } else if (n == 512) {
        reply(b, 512);
    } else if (n == 1) {
        const uint8_t r[] = {0x80};
        reply(r, 1);
    }
    return 0;
}

uint32_t FT_Read(void*, void* buffer, uint32_t n, uint32_t* done) {
    const uint32_t k = n < pending_length ? n : pending_length;
    std::memcpy(buffer, pending, k);
    std::memmove(pending, pending + k, pending_length - k);
    pending_length -= k;
    *done = k;
    return 0;
}

}  // extern "C"
