// pelfwu: makes, inspects and checks update files for pelupdate, with the
// updater's own layout and CRC code, so it judges a file exactly as the
// updater will.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "image/file_layout.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* DEFAULT_OUTPUT = "PelBoot_VQ.fwu";
constexpr uint32_t BLOCK_SIZE = 512;
constexpr uint32_t BYTES_PER_BLOCK_ON_WIRE = 1026;  // block, echo, result, reply
constexpr double BAUD = 115200.0;
constexpr double BITS_PER_BYTE = 10.0;               // 8N1

// Exit statuses.
constexpr int OK = 0;
constexpr int REJECTED = 1;  // a file the updater would not accept
constexpr int FAILURE = 2;   // bad usage, or a file that cannot be read or written

const char USAGE[] =
    "Usage: pelfwu pack PAYLOAD MAJOR.MINOR [-o FILE] [--force]\n"
    "       pelfwu info FILE\n"
    "       pelfwu check FILE\n"
    "       pelfwu --help | --version\n"
    "\n"
    "pack   writes an update file for pelupdate: the payload, the version bytes\n"
    "       and the CRC-16 (default output \"PelBoot_VQ.fwu\"; an existing file\n"
    "       is replaced only with --force)\n"
    "info   shows a file's version, payload, CRC, blocks and programming time\n"
    "check  prints nothing; exits 0 if pelupdate would accept the file\n"
    "\n"
    "Exit status: 0 success or an acceptable file, 1 a file pelupdate would\n"
    "reject, 2 usage or I/O errors.\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "pelfwu: %s\n", message.c_str());
    return FAILURE;
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "pelfwu: %s\n%s", message.c_str(), USAGE);
    return FAILURE;
}

bool read_file(const std::string& path, std::vector<uint8_t>& content, std::string& error) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        error = path + ": is a folder";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = path + ": read error";
        return false;
    }
    return true;
}

// 0..255 in plain decimal digits.
bool parse_byte(const std::string& text, uint8_t& value) {
    if (text.empty() || text.size() > 3) return false;
    unsigned v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > 255) return false;
    value = static_cast<uint8_t>(v);
    return true;
}

bool parse_version(const std::string& text, uint8_t& major, uint8_t& minor) {
    const size_t dot = text.find('.');
    if (dot == std::string::npos) return false;
    return parse_byte(text.substr(0, dot), major) && parse_byte(text.substr(dot + 1), minor);
}

// Writes next to the target and renames, so that a failure never leaves a
// half-written update file under the target's name.
int write_atomically(const fs::path& target, const std::vector<uint8_t>& content, bool force) {
    std::error_code ec;
    if (fs::is_directory(target, ec)) return fail(target.string() + ": is a folder");
    if (fs::exists(target, ec) && !force) {
        return fail(target.string() + ": exists (use --force to replace it)");
    }
    std::random_device random;
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const fs::path temp =
        dir / ("." + target.filename().string() + ".tmp-" + std::to_string(random()));
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return fail(temp.string() + ": " + std::strerror(errno));
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size()));
        out.flush();
        if (!out) {
            out.close();
            fs::remove(temp, ec);
            return fail(temp.string() + ": write error");
        }
    }
    fs::rename(temp, target, ec);
    if (ec && force) {
        // Systems whose rename does not replace an existing file.
        fs::remove(target, ec);
        fs::rename(temp, target, ec);
    }
    if (ec) {
        fs::remove(temp, ec);
        return fail(target.string() + ": cannot be written");
    }
    return OK;
}

int pack(int argc, char** argv) {
    std::vector<std::string> positional;
    std::string output = DEFAULT_OUTPUT;
    bool force = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--force") {
            force = true;
        } else if (arg == "-o") {
            if (++i >= argc) return usage_error("-o needs a file name");
            output = argv[i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage_error("unknown option " + arg);
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2) return usage_error("pack takes a payload and a version");
    uint8_t major = 0, minor = 0;
    if (!parse_version(positional[1], major, minor)) {
        return usage_error("version '" + positional[1] +
                           "' is not MAJOR.MINOR with each part from 0 to 255");
    }
    std::vector<uint8_t> file;
    std::string error;
    if (!read_file(positional[0], file, error)) return fail(error);
    if (file.size() > IMAGE_CAPACITY - IMAGE_TRAILER) {
        return fail(positional[0] + ": " + std::to_string(file.size()) +
                    " bytes; the largest payload pelupdate takes is " +
                    std::to_string(IMAGE_CAPACITY - IMAGE_TRAILER) + " bytes");
    }
    const uint32_t payload = static_cast<uint32_t>(file.size());
    file.resize(payload + IMAGE_TRAILER);
    file_seal(file.data(), payload, major, minor);
    return write_atomically(output, file, force);
}

// What the updater would make of a file: it reads at most the capacity.
struct Verdict {
    uint32_t judged;  // bytes the updater looks at
    FileCheck check;
};

Verdict judge(const std::vector<uint8_t>& file) {
    const uint32_t judged =
        file.size() > IMAGE_CAPACITY ? IMAGE_CAPACITY : static_cast<uint32_t>(file.size());
    return {judged, file_check(file.data(), judged)};
}

int info(const std::string& path) {
    std::vector<uint8_t> file;
    std::string error;
    if (!read_file(path, file, error)) return fail(error);
    const Verdict v = judge(file);
    std::printf("file:       %s, %zu bytes\n", path.c_str(), file.size());
    if (file.size() > IMAGE_CAPACITY) {
        std::printf("note:       pelupdate reads only the first %u bytes\n", IMAGE_CAPACITY);
    }
    if (v.check == FileCheck::TooShort) {
        std::printf("accepted:   no, shorter than the %u-byte trailer\n", IMAGE_TRAILER);
        return REJECTED;
    }
    const uint8_t* f = file.data();
    const uint32_t payload = v.judged - IMAGE_TRAILER;
    const uint32_t blocks = (payload + BLOCK_SIZE - 1) / BLOCK_SIZE;
    const double seconds = blocks * BYTES_PER_BLOCK_ON_WIRE * BITS_PER_BYTE / BAUD;
    const uint16_t stored = file_stored_crc(f, v.judged);
    const uint16_t computed = file_computed_crc(f, v.judged);
    std::printf("version:    %u.%u\n", f[v.judged - 4], f[v.judged - 3]);
    std::printf("payload:    %u bytes\n", payload);
    std::printf("crc:        stored 0x%04X, computed 0x%04X, %s\n", stored, computed,
                stored == computed ? "match" : "MISMATCH");
    std::printf("blocks:     %u of %u bytes\n", blocks, BLOCK_SIZE);
    std::printf("wire time:  %.2f s at 115,200 baud (%u bytes a block)\n", seconds,
                BYTES_PER_BLOCK_ON_WIRE);
    std::printf("accepted:   %s\n", v.check == FileCheck::Valid ? "yes" : "no, CRC mismatch");
    return v.check == FileCheck::Valid ? OK : REJECTED;
}

int check(const std::string& path) {
    std::vector<uint8_t> file;
    std::string error;
    if (!read_file(path, file, error)) return fail(error);
    return judge(file).check == FileCheck::Valid ? OK : REJECTED;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage_error("no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        std::fputs(USAGE, stdout);
        return OK;
    }
    if (command == "--version") {
        std::printf("pelfwu %s\n", PELFWU_VERSION);
        return OK;
    }
    if (command == "pack") return pack(argc, argv);
    if (command == "info" || command == "check") {
        if (argc != 3) return usage_error(command + " takes one file");
        return command == "info" ? info(argv[2]) : check(argv[2]);
    }
    return usage_error("unknown command '" + command + "'");
}
