// The in-process test fixture.
#include "support/harness.h"

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "image/update_image.h"

void UpdaterTest::SetUp() {
    reset_program_state();
    old_cwd_ = std::filesystem::current_path().string();
    char name[] = "/tmp/pel-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    std::filesystem::current_path(dir_);
}

void UpdaterTest::TearDown() {
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
}

void UpdaterTest::write_file(const Bytes& content, const std::string& name) {
    std::ofstream out(name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
}

void UpdaterTest::load_image(const Bytes& payload, uint8_t major, uint8_t minor) {
    write_file(make_update_file(payload, major, minor));
    ASSERT_FALSE(image_load().has_value());
}

