// Prints how long image_load takes, CRC check included, for an update file
// of the full 5,000,000 bytes. Usage: image_load_bench [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <vector>

#include "image/crc16.h"
#include "image/update_image.h"

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
    char name[] = "/tmp/pel-bench-XXXXXX";
    if (mkdtemp(name) == nullptr) return 1;
    std::filesystem::current_path(name);

    std::vector<uint8_t> file(IMAGE_CAPACITY);
    for (size_t i = 0; i < file.size() - 2; ++i) file[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
    const uint16_t crc = crc16_ccitt(file.data(), IMAGE_CAPACITY - 2, IMAGE_CRC_SEED);
    file[IMAGE_CAPACITY - 2] = static_cast<uint8_t>(crc >> 8);
    file[IMAGE_CAPACITY - 1] = static_cast<uint8_t>(crc);
    std::ofstream(IMAGE_FILE_NAME, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));

    std::vector<double> ms;
    for (int r = 0; r < runs; ++r) {
        std::memset(update_image.bytes, 0, sizeof update_image.bytes);
        const auto start = std::chrono::steady_clock::now();
        const PhaseEnd end = image_load();
        const auto stop = std::chrono::steady_clock::now();
        if (end.has_value()) {
            std::fprintf(stderr, "image_load rejected the file\n");
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    std::printf("image_load + CRC of a %u-byte file, %d runs (file in page cache):\n",
                IMAGE_CAPACITY, runs);
    std::printf("  min %.2f ms, median %.2f ms, max %.2f ms, %.0f MB/s at the median\n", ms.front(),
                median, ms.back(), IMAGE_CAPACITY / median / 1000.0);

    std::filesystem::current_path("/");
    std::filesystem::remove_all(name);
    return 0;
}
