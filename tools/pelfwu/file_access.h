// The operating-system calls pelfwu makes: its arguments, files and folders
// named in any script, and text to the terminal. Every name and text is UTF-8
// here; on Windows the calls are made with wide characters underneath.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The program's arguments after its own name, in UTF-8.
std::vector<std::string> program_arguments(int argc, char** argv);

// Writes UTF-8 text to stdout or stderr so that it reads right on a console
// as well as in a file or pipe.
void write_text(std::FILE* stream, const std::string& text);

enum class EntryKind { Missing, Regular, Folder, Link, Fifo, Device, Socket, Other };

struct Entry {
    EntryKind kind = EntryKind::Missing;
    unsigned permissions = 0;  // of a regular file: its mode bits (read-only on Windows: 0444)
    unsigned owner = 0, group = 0;
};

// What the name itself stands for; a symbolic link is reported as such, not
// followed. False, with the reason, when that cannot be told.
bool inspect_entry(const std::string& path, Entry& entry, std::string& reason);

// An open input. Opening never waits (a FIFO without a writer, say); reading
// then waits for data like any reader of a pipe does.
struct Input {
    std::intptr_t handle = -1;
    EntryKind kind = EntryKind::Other;  // of what was opened, links followed
    std::uint64_t size = 0;             // of a regular file
};

bool open_input(const std::string& path, Input& input, std::string& reason);
// Bytes read (0 at the end), or -1 with the reason.
long read_input(Input& input, std::uint8_t* buffer, std::size_t length, std::string& reason);
void close_input(Input& input);

// Puts `length` bytes under `target` through a new file beside it, renamed
// into place once complete, so that no half-written file ever bears the
// target's name. `old` is what the target is now: Missing (then an entry of
// that name appearing meanwhile is left alone, reported by `exists`) or
// Regular (replaced; its permission bits, and owner where allowed, kept).
bool put_file(const std::string& target, const Entry& old, const std::uint8_t* data,
              std::size_t length, bool& exists, std::string& reason);
