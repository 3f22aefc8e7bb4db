// The CRC-16 and the loading and checking of the update file.
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "doubles/fake_adapter.h"
#include "image/crc16.h"
#include "image/file_layout.h"
#include "image/update_image.h"
#include "support/harness.h"

namespace {

uint16_t crc_of(const char* text, uint16_t seed) {
    return crc16_ccitt(reinterpret_cast<const uint8_t*>(text),
                       static_cast<uint32_t>(std::strlen(text)), seed);
}

TEST(Crc16, CheckValues) {
    EXPECT_EQ(crc_of("abc", 0x56A8), 0xE56F);
    EXPECT_EQ(crc_of("abc", 0x0000), 0x9DD6);
    EXPECT_EQ(crc_of("123456789", 0x0000), 0x31C3);  // CRC-16/XMODEM check value
    const uint8_t request[] = {'Z', 'Z', 'c', 0};
    const uint8_t reply[] = {'Z', 'Z', 'd', 0};
    EXPECT_EQ(crc16_ccitt(request, 4, 0), 0xDAE6);
    EXPECT_EQ(crc16_ccitt(reply, 4, 0), 0x4371);
    for (uint16_t seed : {0x0000, 0x56A8, 0xFFFF}) EXPECT_EQ(crc16_ccitt(nullptr, 0, seed), seed);
}

TEST(Crc16, TableEntries) {
    EXPECT_EQ(crc16_table_entry(0x00), 0x0000);
    EXPECT_EQ(crc16_table_entry(0x01), 0x1021);
    EXPECT_EQ(crc16_table_entry(0x10), 0x1231);
    EXPECT_EQ(crc16_table_entry(0x80), 0x9188);
    EXPECT_EQ(crc16_table_entry(0xFF), 0x1EF0);
}

TEST(Crc16, AgreesWithBitwiseReferenceOnEveryByteAndSeed) {
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    for (uint16_t seed : {0x0000, 0x56A8, 0x1234, 0xFFFF}) {
        EXPECT_EQ(crc16_ccitt(all.data(), 256, seed), reference_crc(all, seed)) << seed;
    }
}

TEST(FileLayout, SealWritesVersionAndCrcAsTheUpdaterChecksThem) {
    // The smallest file, byte for byte.
    uint8_t smallest[4 + 2] = {0, 0, 0, 0, 0xEE, 0xEE};
    file_seal(smallest, 0, 1, 0);
    EXPECT_EQ(Bytes(smallest, smallest + 6), (Bytes{0x01, 0x00, 0xA3, 0xCA, 0xEE, 0xEE}));

    // Against the independent builder, with guard bytes after the trailer.
    struct Case {
        size_t payload;
        uint8_t major, minor;
    };
    const Case cases[] = {{1, 0, 0}, {3, 1, 2}, {511, 2, 30}, {512, 255, 255}, {1000, 7, 0}};
    for (const Case& c : cases) {
        const Bytes payload = counting_payload(c.payload);
        Bytes file = payload;
        file.resize(c.payload + 4 + 8, 0xEE);
        file_seal(file.data(), static_cast<uint32_t>(c.payload), c.major, c.minor);
        const Bytes expected = make_update_file(payload, c.major, c.minor);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + static_cast<long>(expected.size())), expected)
            << c.payload;
        EXPECT_EQ(Bytes(file.begin() + static_cast<long>(expected.size()), file.end()), Bytes(8, 0xEE))
            << c.payload;
        EXPECT_EQ(file_check(file.data(), static_cast<uint32_t>(expected.size())), FileCheck::Valid)
            << c.payload;
    }
}

class ImageLoad : public UpdaterTest {};

Bytes three_byte_file() {
    const uint16_t crc = reference_crc({0x42}, 0x56A8);
    return {0x42, static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc & 0xFF)};
}

TEST_F(ImageLoad, WorkedExamples) {
    write_file({0x01, 0x00, 0xA3, 0xCA});
    ASSERT_FALSE(image_load().has_value());
    EXPECT_EQ(image_payload_length(), 0u);
    EXPECT_EQ(image_version_major(), 1);
    EXPECT_EQ(image_version_minor(), 0);

    reset_program_state();
    write_file({0x61, 0x62, 0x63, 0x01, 0x02, 0x61, 0x7D});
    ASSERT_FALSE(image_load().has_value());
    EXPECT_EQ(image_payload_length(), 3u);
    EXPECT_EQ(image_version_major(), 1);
    EXPECT_EQ(image_version_minor(), 2);
    // The one block: the file's seven bytes, then zero bytes.
    Bytes block(image_block(0), image_block(0) + 512);
    Bytes expected(512, 0);
    const uint8_t file[] = {0x61, 0x62, 0x63, 0x01, 0x02, 0x61, 0x7D};
    std::memcpy(expected.data(), file, sizeof file);
    EXPECT_EQ(block, expected);
}

TEST_F(ImageLoad, Rejections) {
    struct Case {
        const char* what;
        Bytes content;
        UpdateOutcome outcome;
    };
    const Case cases[] = {
        {"swapped CRC bytes", {0x61, 0x62, 0x63, 0x01, 0x02, 0x7D, 0x61}, UpdateOutcome::ImageCorrupt},
        {"one payload bit flipped", {0x61, 0x62, 0x62, 0x01, 0x02, 0x61, 0x7D},
         UpdateOutcome::ImageCorrupt},
        {"empty file", {}, UpdateOutcome::ImageCorrupt},
        {"one byte", {0x01}, UpdateOutcome::ImageCorrupt},
        // Files too short for a trailer whose last two bytes are nonetheless
        // the CRC of what stands before them.
        {"two bytes, the CRC of nothing", {0x56, 0xA8}, UpdateOutcome::ImageCorrupt},
        {"three bytes", three_byte_file(), UpdateOutcome::ImageCorrupt},
    };
    for (const Case& c : cases) {
        reset_program_state();
        write_file(c.content);
        EXPECT_EQ(image_load(), c.outcome) << c.what;
    }
}

TEST_F(ImageLoad, MissingFileIsNotLookedForElsewhere) {
    EXPECT_EQ(image_load(), UpdateOutcome::ImageMissing);
    // Another name, or the file one folder down, is never tried.
    write_file(make_update_file({1, 2, 3}, 1, 0), "pelboot_vq.fwu.bak");
    ASSERT_EQ(mkdir("sub", 0755), 0);
    write_file(make_update_file({1, 2, 3}, 1, 0), "sub/PelBoot_VQ.fwu");
    EXPECT_EQ(image_load(), UpdateOutcome::ImageMissing);
}

TEST_F(ImageLoad, UnreadableFileIsMissing) {
    ASSERT_EQ(mkdir("PelBoot_VQ.fwu", 0755), 0);  // a folder of that name
    EXPECT_EQ(image_load(), UpdateOutcome::ImageMissing);
}

TEST_F(ImageLoad, NameThatIsNoRegularFileIsMissingAtOnce) {
    // A FIFO whose writer turns up two seconds later with a valid file: the
    // open must neither wait for it nor take what it sends.
    ASSERT_EQ(mkfifo("PelBoot_VQ.fwu", 0644), 0);
    const Bytes valid = make_update_file({1, 2, 3}, 1, 0);
    std::thread late_writer([&valid] {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const int fd = open("PelBoot_VQ.fwu", O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            EXPECT_EQ(write(fd, valid.data(), valid.size()), static_cast<ssize_t>(valid.size()));
            close(fd);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(image_load(), UpdateOutcome::ImageMissing);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    late_writer.join();
    ASSERT_EQ(unlink("PelBoot_VQ.fwu"), 0);

    // Device nodes, reached through a link of that name; a socket.
    for (const char* device : {"/dev/zero", "/dev/null"}) {
        reset_program_state();
        ASSERT_EQ(symlink(device, "PelBoot_VQ.fwu"), 0);
        EXPECT_EQ(image_load(), UpdateOutcome::ImageMissing) << device;
        ASSERT_EQ(unlink("PelBoot_VQ.fwu"), 0);
    }
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "PelBoot_VQ.fwu");
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(image_load(), UpdateOutcome::ImageMissing);
    close(sock);

    // A link to a valid regular file is that file.
    ASSERT_EQ(unlink("PelBoot_VQ.fwu"), 0);
    write_file(valid, "real.fwu");
    ASSERT_EQ(symlink("real.fwu", "PelBoot_VQ.fwu"), 0);
    EXPECT_FALSE(image_load().has_value());
}

TEST_F(ImageLoad, LineEndAndEndOfFileBytesArriveUnchanged) {
    const Bytes payload = {0x0D, 0x0A, 0x1A, 0x0A, 0x0D, 0x1A, 0x00, 0x0D};
    load_image(payload, 3, 4);
    ASSERT_EQ(image_payload_length(), payload.size());
    EXPECT_EQ(Bytes(image_block(0), image_block(0) + payload.size()), payload);
}

TEST_F(ImageLoad, CapacityAndBeyond) {
    // Exactly the capacity: read whole and valid.
    Bytes file = make_update_file(counting_payload(IMAGE_CAPACITY - 4), 9, 8);
    write_file(file);
    ASSERT_FALSE(image_load().has_value());
    EXPECT_EQ(update_image.length, IMAGE_CAPACITY);
    EXPECT_EQ(image_payload_length(), IMAGE_CAPACITY - 4);
    EXPECT_EQ(image_version_major(), 9);
    // The last block starts at 4,999,680 and reads zero past the capacity.
    const uint8_t* last = image_block(4999680);
    for (uint32_t i = IMAGE_CAPACITY - 4999680; i < 512; ++i) ASSERT_EQ(last[i], 0) << i;

    // Anything after the first 5,000,000 bytes is never read: the same file
    // with more bytes appended is judged on its first 5,000,000 alone.
    reset_program_state();
    file.insert(file.end(), {0xAA, 0xBB, 0xCC});
    write_file(file);
    EXPECT_FALSE(image_load().has_value());
    EXPECT_EQ(update_image.length, IMAGE_CAPACITY);

    // A longer file whose own end carries a valid trailer is corrupt when
    // its first 5,000,000 bytes are not an image by themselves.
    reset_program_state();
    write_file(make_update_file(counting_payload(IMAGE_CAPACITY), 1, 0));
    EXPECT_EQ(image_load(), UpdateOutcome::ImageCorrupt);
    EXPECT_EQ(update_image.length, IMAGE_CAPACITY);
}

TEST_F(ImageLoad, FileIsClosedOnEveryPath) {
    // Count open descriptors before and after each outcome.
    auto open_fds = [] {
        int n = 0;
        for (int fd = 0; fd < 256; ++fd) {
            struct stat st;
            if (fstat(fd, &st) == 0) ++n;
        }
        return n;
    };
    const int before = open_fds();
    write_file(make_update_file({1, 2}, 1, 1));
    EXPECT_FALSE(image_load().has_value());
    write_file({1, 2});
    EXPECT_EQ(image_load(), UpdateOutcome::ImageCorrupt);
    write_file({1, 2, 3, 4, 5});
    EXPECT_EQ(image_load(), UpdateOutcome::ImageCorrupt);
    EXPECT_EQ(open_fds(), before);
}

TEST_F(ImageLoad, MakesNoLibraryCall) {
    write_file({0x61, 0x62, 0x63, 0x01, 0x02, 0x7D, 0x61});
    image_load();
    EXPECT_TRUE(fake::transcript().empty());
}

}  // namespace
