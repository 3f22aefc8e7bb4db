// Fuzz target: arbitrary update files for image_load. Small inputs are the
// file itself; an input starting 0xA5 describes a large file instead (a size
// near 512·k, the capacity or past it, a fill pattern, and whether to seal it
// with a valid trailer), so the sizes that matter are reached cheaply.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "image/update_image.h"
#include "support/program_state.h"

// The loader never touches the adapter.
void reset_adapter() {}

namespace {

// A table-driven CRC of this file's own (the bitwise reference is too slow
// for files of 5,000,000 bytes), built from the polynomial at start.
uint16_t table[256];

void build_table() {
    for (int i = 0; i < 256; ++i) table[i] = reference_crc({static_cast<uint8_t>(i)}, 0);
}

uint16_t crc_of(const std::vector<uint8_t>& file, size_t count) {
    uint16_t crc = IMAGE_CRC_SEED;
    for (size_t i = 0; i < count; ++i) {
        crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ file[i]) & 0xFF]);
    }
    return crc;
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

std::vector<uint8_t> describe_file(const uint8_t* data, size_t size) {
    if (size < 1 || data[0] != 0xA5) return std::vector<uint8_t>(data, data + size);
    static const uint32_t bases[] = {0, 4, 512, 4096, 4999680, 4999684, IMAGE_CAPACITY,
                                     IMAGE_CAPACITY + 512};
    const uint8_t pick = size > 1 ? data[1] : 0;
    const int32_t delta = size > 2 ? static_cast<int8_t>(data[2]) : 0;
    int64_t length = static_cast<int64_t>(bases[pick % 8]) + delta;
    if (length < 0) length = 0;
    std::vector<uint8_t> file(static_cast<size_t>(length));
    const size_t pattern = size > 4 ? size - 4 : 0;
    for (size_t i = 0; i < file.size(); ++i) file[i] = pattern ? data[4 + i % pattern] : 0;
    const bool seal = size > 3 && (data[3] & 1);
    const size_t judged = file.size() < IMAGE_CAPACITY ? file.size() : IMAGE_CAPACITY;
    if (seal && judged >= 4) {
        const uint16_t crc = crc_of(file, judged - 2);
        file[judged - 2] = static_cast<uint8_t>(crc >> 8);
        file[judged - 1] = static_cast<uint8_t>(crc);
    }
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/pel-fuzz-image-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::abort();
    build_table();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> file = describe_file(data, size);
    if (std::FILE* f = std::fopen(IMAGE_FILE_NAME, "wb")) {
        if (!file.empty()) std::fwrite(file.data(), 1, file.size(), f);
        std::fclose(f);
    }
    // As at a process's start: the buffer all zero.
    std::memset(update_image.bytes, 0, update_image.length);
    update_image.length = 0;

    const PhaseEnd end = image_load();

    // The verdict of an independent reading of the same rules.
    const size_t judged = file.size() < IMAGE_CAPACITY ? file.size() : IMAGE_CAPACITY;
    bool valid = judged >= 4;
    if (valid) valid = crc_of(file, judged - 2) == ((file[judged - 2] << 8) | file[judged - 1]);
    check(end.has_value() != valid, "verdict differs from the file layout's rules");
    check(!end.has_value() || *end == UpdateOutcome::ImageCorrupt, "an existing file called missing");
    check(update_image.length == judged, "length is not the bytes read");
    if (end.has_value()) return 0;

    // Every block the programmer would send is 512 readable bytes: the file,
    // then zero bytes.
    const uint32_t payload = image_payload_length();
    check(payload == judged - 4, "payload length");
    const size_t blocks_end = (payload + 511) / 512 * 512;
    check(std::memcmp(image_block(0), file.data(), std::min(judged, blocks_end)) == 0,
          "block content");
    for (size_t at = judged; at < blocks_end; ++at) check(image_block(0)[at] == 0, "block padding");
    check(image_version_major() == file[judged - 4] && image_version_minor() == file[judged - 3],
          "version bytes");
    return 0;
}
