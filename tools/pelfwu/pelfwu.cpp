// pelfwu: makes, inspects and checks update files for pelupdate, with the
// updater's own layout and CRC code, so it judges a file exactly as the
// updater will.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "file_access.h"
#include "image/file_layout.h"

namespace {

constexpr const char* DEFAULT_OUTPUT = "PelBoot_VQ.fwu";
constexpr uint32_t MAX_PAYLOAD = IMAGE_CAPACITY - IMAGE_TRAILER;
constexpr uint32_t BLOCK_SIZE = 512;
constexpr uint32_t BYTES_PER_BLOCK_ON_WIRE = 1026;  // block, echo, result, reply
constexpr double BAUD = 115200.0;
constexpr double BITS_PER_BYTE = 10.0;               // 8N1
constexpr size_t READ_CHUNK = 1 << 16;

// Exit statuses.
constexpr int OK = 0;
constexpr int REJECTED = 1;  // a file the updater would not accept
constexpr int FAILURE = 2;   // bad usage, or a file that cannot be read or written

const char USAGE[] =
    "Usage: pelfwu pack PAYLOAD MAJOR.MINOR [-o FILE] [--force] [--erase-only]\n"
    "       pelfwu info FILE\n"
    "       pelfwu check FILE\n"
    "       pelfwu --help | --version\n"
    "\n"
    "pack   writes an update file for pelupdate: the payload, the version bytes\n"
    "       and the CRC-16 (default output \"PelBoot_VQ.fwu\"; an existing file\n"
    "       is replaced only with --force, and only if it is a regular file).\n"
    "       An empty payload makes a file that only erases the main firmware:\n"
    "       it is written only with --erase-only\n"
    "info   shows a file's version, payload, CRC, blocks and programming time\n"
    "check  prints nothing; exits 0 if pelupdate would accept the file\n"
    "\n"
    "\"--\" ends the options: the arguments after it are names or versions.\n"
    "\n"
    "Exit status: 0 success or an acceptable file, 1 a file pelupdate would\n"
    "reject, 2 usage or I/O errors.\n";

std::string format(const char* pattern, ...) {
    char buffer[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    return buffer;
}

int fail(const std::string& message) {
    write_text(stderr, "pelfwu: " + message + "\n");
    return FAILURE;
}

int usage_error(const std::string& message) {
    write_text(stderr, "pelfwu: " + message + "\n" + USAGE);
    return FAILURE;
}

const char* kind_name(EntryKind kind) {
    switch (kind) {
        case EntryKind::Folder: return "a folder";
        case EntryKind::Link: return "a symbolic link";
        case EntryKind::Fifo: return "a FIFO or pipe";
        case EntryKind::Device: return "a device";
        case EntryKind::Socket: return "a socket";
        default: return "not a regular file";
    }
}

std::string is_a(EntryKind kind) { return std::string("is ") + kind_name(kind); }

// Reads up to `limit` bytes into `content`; `more` tells whether anything
// follows them. Never reads more than one byte past the limit, whatever the
// input (a device that never ends, say).
bool read_bounded(Input& input, const std::string& path, std::vector<uint8_t>& content,
                  size_t limit, bool& more, std::string& error) {
    content.assign(limit, 0);
    size_t got = 0;
    std::string reason;
    while (got < limit) {
        const size_t want = limit - got < READ_CHUNK ? limit - got : READ_CHUNK;
        const long n = read_input(input, content.data() + got, want, reason);
        if (n < 0) {
            error = path + ": cannot be read: " + reason;
            return false;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    content.resize(got);
    more = false;
    if (got == limit) {
        uint8_t extra = 0;
        const long n = read_input(input, &extra, 1, reason);
        if (n < 0) {
            error = path + ": cannot be read: " + reason;
            return false;
        }
        more = n > 0;
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

// Options first or anywhere, up to "--". No option begins with a digit, so
// "-1.0" is an argument: a (bad) version or a file name.
bool is_option(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
}

// Replaces only what the user can have meant to replace: a regular file, and
// that only with --force. Every message names the target as given.
int write_output(const std::string& target, const std::vector<uint8_t>& content, bool force) {
    Entry old;
    std::string reason;
    if (!inspect_entry(target, old, reason)) return fail(target + ": cannot be written: " + reason);
    if (old.kind != EntryKind::Missing && old.kind != EntryKind::Regular) {
        return fail(target + ": " + is_a(old.kind) + "; pelfwu replaces only a regular file");
    }
    if (old.kind == EntryKind::Regular && !force) {
        return fail(target + ": exists (use --force to replace it)");
    }
    bool exists = false;
    if (!put_file(target, old, content.data(), content.size(), exists, reason)) {
        if (exists) return fail(target + ": appeared while it was written; left as it is");
        return fail(target + ": cannot be written: " + reason);
    }
    return OK;
}

int pack(const std::vector<std::string>& args) {
    std::vector<std::string> positional;
    std::string output = DEFAULT_OUTPUT;
    bool force = false, erase_only = false, options_ended = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_ended || !is_option(arg)) {
            positional.push_back(arg);
        } else if (arg == "--") {
            options_ended = true;
        } else if (arg == "--force") {
            force = true;
        } else if (arg == "--erase-only") {
            erase_only = true;
        } else if (arg == "-o") {
            if (++i >= args.size()) return usage_error("-o needs a file name");
            output = args[i];
            if (output.empty()) return usage_error("-o was given an empty file name");
        } else {
            return usage_error("unknown option " + arg);
        }
    }
    if (positional.size() != 2) return usage_error("pack takes a payload and a version");
    const std::string& path = positional[0];
    if (path.empty()) return usage_error("the payload's file name is empty");
    uint8_t major = 0, minor = 0;
    if (!parse_version(positional[1], major, minor)) {
        return usage_error("version '" + positional[1] +
                           "' is not MAJOR.MINOR with each part from 0 to 255");
    }

    // Anything readable may carry the payload (a pipe, a device), but never
    // more than one byte of it past what fits is read.
    Input input;
    std::string reason;
    if (!open_input(path, input, reason)) return fail(path + ": cannot be read: " + reason);
    if (input.kind == EntryKind::Folder || input.kind == EntryKind::Socket) {
        close_input(input);
        return fail(path + ": " + is_a(input.kind));
    }
    std::vector<uint8_t> file;
    bool more = false;
    const bool read = read_bounded(input, path, file, MAX_PAYLOAD, more, reason);
    const Input opened = input;
    close_input(input);
    if (!read) return fail(reason);
    if (more) {
        const std::string size =
            opened.kind == EntryKind::Regular && opened.size > MAX_PAYLOAD
                ? std::to_string(opened.size) + " bytes"
                : "more than " + std::to_string(MAX_PAYLOAD) + " bytes";
        return fail(path + ": " + size + "; the largest payload pelupdate takes is " +
                    std::to_string(MAX_PAYLOAD) + " bytes");
    }
    if (file.empty() && !erase_only) {
        return fail(path + ": the payload is empty: pelupdate would erase the main firmware and "
                           "write nothing (use --erase-only to make such a file)");
    }
    if (!file.empty() && erase_only) {
        return fail(path + ": --erase-only is for an empty payload; this one has " +
                    std::to_string(file.size()) + " bytes");
    }
    const uint32_t payload = static_cast<uint32_t>(file.size());
    file.resize(payload + IMAGE_TRAILER);
    file_seal(file.data(), payload, major, minor);
    return write_output(output, file, force);
}

// Reads what the updater would: the first IMAGE_CAPACITY bytes of a regular
// file. Anything else the updater refuses to read, and so does this.
bool load(const std::string& path, std::vector<uint8_t>& file, Input& opened, bool& more,
          std::string& error) {
    if (path.empty()) {
        error = "the file name is empty";
        return false;
    }
    Input input;
    std::string reason;
    if (!open_input(path, input, reason)) {
        error = path + ": cannot be read: " + reason;
        return false;
    }
    opened = input;
    if (input.kind != EntryKind::Regular) {
        close_input(input);
        error = path + ": " + is_a(input.kind) + "; pelupdate reads only a regular file";
        return false;
    }
    const bool read = read_bounded(input, path, file, IMAGE_CAPACITY, more, error);
    close_input(input);
    return read;
}

int info(const std::string& path) {
    std::vector<uint8_t> file;
    Input opened;
    bool more = false;
    std::string error;
    if (!load(path, file, opened, more, error)) return fail(error);
    const uint32_t length = static_cast<uint32_t>(file.size());
    const FileCheck check = file_check(file.data(), length);
    std::string out = "file:       " + path + ", " +
                      std::to_string(opened.size > length ? opened.size : length) + " bytes\n";
    if (more) {
        out += format("note:       more follows: pelupdate reads only the first %u bytes\n",
                      IMAGE_CAPACITY);
    }
    if (check == FileCheck::TooShort) {
        out += format("accepted:   no, shorter than the %u-byte trailer\n", IMAGE_TRAILER);
        write_text(stdout, out);
        return REJECTED;
    }
    const uint8_t* f = file.data();
    const uint32_t payload = length - IMAGE_TRAILER;
    const uint32_t blocks = (payload + BLOCK_SIZE - 1) / BLOCK_SIZE;
    const double seconds = blocks * BYTES_PER_BLOCK_ON_WIRE * BITS_PER_BYTE / BAUD;
    const uint16_t stored = file_stored_crc(f, length);
    const uint16_t computed = file_computed_crc(f, length);
    out += format("version:    %u.%u\n", f[length - 4], f[length - 3]);
    out += format("payload:    %u bytes\n", payload);
    out += format("crc:        stored 0x%04X, computed 0x%04X, %s\n", stored, computed,
                  stored == computed ? "match" : "MISMATCH");
    out += format("blocks:     %u of %u bytes\n", blocks, BLOCK_SIZE);
    out += format("wire time:  %.2f s at 115,200 baud (%u bytes a block)\n", seconds,
                  BYTES_PER_BLOCK_ON_WIRE);
    out += format("accepted:   %s\n", check == FileCheck::Valid ? "yes" : "no, CRC mismatch");
    if (check == FileCheck::Valid && payload == 0) {
        out += "warning:    no payload: pelupdate would erase the main firmware and write "
               "nothing, leaving the device without one\n";
    }
    write_text(stdout, out);
    return check == FileCheck::Valid ? OK : REJECTED;
}

int check(const std::string& path) {
    std::vector<uint8_t> file;
    Input opened;
    bool more = false;
    std::string error;
    if (!load(path, file, opened, more, error)) return fail(error);
    return file_check(file.data(), static_cast<uint32_t>(file.size())) == FileCheck::Valid
               ? OK
               : REJECTED;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) return usage_error("no command given");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h") {
        write_text(stdout, USAGE);
        return OK;
    }
    if (command == "--version") {
        write_text(stdout, std::string("pelfwu ") + PELFWU_VERSION + "\n");
        return OK;
    }
    if (command == "pack") return pack(args);
    if (command == "info" || command == "check") {
        // One file, which may follow "--" (and may begin with "-" anyway).
        std::vector<std::string> names(args.begin() + 1, args.end());
        if (!names.empty() && names[0] == "--") names.erase(names.begin());
        if (names.size() != 1) return usage_error(command + " takes one file");
        return command == "info" ? info(names[0]) : check(names[0]);
    }
    return usage_error("unknown command '" + command + "'");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(program_arguments(argc, argv));
    } catch (const std::exception& e) {
        // Not expected (reading is bounded), but never an abort instead of a status.
        return fail(std::string("internal error: ") + e.what());
    }
}
