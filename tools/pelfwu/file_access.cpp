// pelfwu's operating-system calls: POSIX, and Windows with wide characters so
// that names in any script work whatever the console's code page.
#include "file_access.h"

#include <cerrno>
#include <cstring>

namespace {

// Temporary names beside the target: the target's name, hidden, with the
// process id and an attempt number, created exclusively.
constexpr int TEMP_ATTEMPTS = 100;

// Where the folder part of a path ends (0: no folder part).
std::size_t folder_length(const std::string& path, const char* separators) {
    const std::size_t last = path.find_last_of(separators);
    return last == std::string::npos ? 0 : last + 1;
}

}  // namespace

#ifdef _WIN32

#include <windows.h>
#include <shellapi.h>

namespace {

std::wstring wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
    std::wstring result(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], n);
    return result;
}

std::string narrow(const wchar_t* text, int length) {
    if (length == 0) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &result[0], n, nullptr, nullptr);
    return result;
}

std::string system_message(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = n > 0 ? narrow(text, static_cast<int>(n)) : std::string();
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    if (message.empty()) message = "system error " + std::to_string(code);
    return message;
}

bool is_missing(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

EntryKind kind_of_handle(HANDLE handle, bool links, unsigned& permissions) {
    switch (GetFileType(handle)) {
        case FILE_TYPE_CHAR: return EntryKind::Device;
        case FILE_TYPE_PIPE: return EntryKind::Fifo;
        case FILE_TYPE_DISK: break;
        default: return EntryKind::Other;
    }
    FILE_ATTRIBUTE_TAG_INFO info;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) {
        return EntryKind::Other;
    }
    // Only links and junctions count as links: other reparse points (files
    // kept in the cloud, say) are ordinary files to their user.
    if (links && (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        (info.ReparseTag == IO_REPARSE_TAG_SYMLINK ||
         info.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT)) {
        return EntryKind::Link;
    }
    if (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::Folder;
    permissions = (info.FileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    return EntryKind::Regular;
}

bool write_all(HANDLE handle, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        length -= written;
    }
    return true;
}

}  // namespace

std::vector<std::string> program_arguments(int, char**) {
    // The C runtime's argv holds the names in the ANSI code page, with "?"
    // for every letter it lacks; the wide command line holds them all.
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t** list = CommandLineToArgvW(GetCommandLineW(), &count);
    if (list == nullptr) return arguments;
    for (int i = 1; i < count; ++i) {
        arguments.push_back(narrow(list[i], static_cast<int>(std::wcslen(list[i]))));
    }
    LocalFree(list);
    return arguments;
}

void write_text(std::FILE* stream, const std::string& text) {
    HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        // A console shows UTF-16 whatever its code page.
        std::fflush(stream);
        const std::wstring w = wide(text);
        DWORD written = 0;
        WriteConsoleW(handle, w.data(), static_cast<DWORD>(w.size()), &written, nullptr);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stream);
}

bool inspect_entry(const std::string& path, Entry& entry, std::string& reason) {
    entry = Entry();
    HANDLE handle = CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (is_missing(code)) return true;
        reason = system_message(code);
        return false;
    }
    entry.kind = kind_of_handle(handle, true, entry.permissions);
    CloseHandle(handle);
    return true;
}

bool open_input(const std::string& path, Input& input, std::string& reason) {
    input = Input();
    const std::wstring name = wide(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        input.kind = EntryKind::Folder;
        return true;
    }
    HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = system_message(GetLastError());
        return false;
    }
    input.handle = reinterpret_cast<std::intptr_t>(handle);
    unsigned permissions = 0;
    input.kind = kind_of_handle(handle, false, permissions);
    LARGE_INTEGER size;
    if (input.kind == EntryKind::Regular && GetFileSizeEx(handle, &size)) {
        input.size = static_cast<std::uint64_t>(size.QuadPart);
    }
    return true;
}

long read_input(Input& input, std::uint8_t* buffer, std::size_t length, std::string& reason) {
    DWORD got = 0;
    const DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
    if (!ReadFile(reinterpret_cast<HANDLE>(input.handle), buffer, chunk, &got, nullptr)) {
        const DWORD code = GetLastError();
        if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return 0;  // writer gone
        reason = system_message(code);
        return -1;
    }
    return static_cast<long>(got);
}

void close_input(Input& input) {
    if (input.handle != -1) CloseHandle(reinterpret_cast<HANDLE>(input.handle));
    input.handle = -1;
}

bool put_file(const std::string& target, const Entry& old, const std::uint8_t* data,
              std::size_t length, bool& exists, std::string& reason) {
    exists = false;
    const std::size_t folder = folder_length(target, "/\\:");
    const std::wstring wtarget = wide(target);
    std::wstring temp;
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < TEMP_ATTEMPTS && handle == INVALID_HANDLE_VALUE; ++attempt) {
        temp = wide(target.substr(0, folder) + "." + target.substr(folder) + ".tmp-" +
                    std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt));
        handle = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (handle == INVALID_HANDLE_VALUE) {
        reason = system_message(GetLastError());
        return false;
    }
    const bool written = write_all(handle, data, length) && FlushFileBuffers(handle);
    const DWORD write_error = GetLastError();
    CloseHandle(handle);
    if (!written) {
        DeleteFileW(temp.c_str());
        reason = system_message(write_error);
        return false;
    }
    if (old.kind == EntryKind::Missing) {
        // Without MOVEFILE_REPLACE_EXISTING an entry that appeared meanwhile is kept.
        if (MoveFileExW(temp.c_str(), wtarget.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
        const DWORD code = GetLastError();
        DeleteFileW(temp.c_str());
        exists = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
        reason = system_message(code);
        return false;
    }
    // A read-only file cannot be replaced as it is: the new file takes the
    // attribute, the old one loses it just for the move.
    const DWORD old_attributes = GetFileAttributesW(wtarget.c_str());
    const bool read_only = old_attributes != INVALID_FILE_ATTRIBUTES &&
                           (old_attributes & FILE_ATTRIBUTE_READONLY);
    if (read_only) {
        SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_READONLY);
        SetFileAttributesW(wtarget.c_str(), old_attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (MoveFileExW(temp.c_str(), wtarget.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    const DWORD code = GetLastError();
    if (read_only) {
        SetFileAttributesW(wtarget.c_str(), old_attributes);
        SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    DeleteFileW(temp.c_str());
    reason = system_message(code);
    return false;
}

#else  // POSIX

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

EntryKind kind_of_mode(mode_t mode) {
    if (S_ISREG(mode)) return EntryKind::Regular;
    if (S_ISDIR(mode)) return EntryKind::Folder;
    if (S_ISLNK(mode)) return EntryKind::Link;
    if (S_ISFIFO(mode)) return EntryKind::Fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode)) return EntryKind::Device;
    if (S_ISSOCK(mode)) return EntryKind::Socket;
    return EntryKind::Other;
}

bool write_all(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::vector<std::string> program_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void write_text(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
}

bool inspect_entry(const std::string& path, Entry& entry, std::string& reason) {
    entry = Entry();
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        reason = std::strerror(errno);
        return false;
    }
    entry.kind = kind_of_mode(st.st_mode);
    entry.permissions = static_cast<unsigned>(st.st_mode & 07777);
    entry.owner = st.st_uid;
    entry.group = st.st_gid;
    return true;
}

bool open_input(const std::string& path, Input& input, std::string& reason) {
    input = Input();
    struct stat st;
    // A socket cannot be opened at all: name it rather than report ENXIO.
    if (stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        input.kind = EntryKind::Socket;
        return true;
    }
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (fstat(fd, &st) != 0) {
        reason = std::strerror(errno);
        close(fd);
        return false;
    }
    // Reads wait for data as usual; a FIFO without a writer reads as empty.
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    input.handle = fd;
    input.kind = kind_of_mode(st.st_mode);
    if (input.kind == EntryKind::Regular) input.size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

long read_input(Input& input, std::uint8_t* buffer, std::size_t length, std::string& reason) {
    for (;;) {
        const ssize_t n = read(static_cast<int>(input.handle), buffer, length);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        reason = std::strerror(errno);
        return -1;
    }
}

void close_input(Input& input) {
    if (input.handle != -1) close(static_cast<int>(input.handle));
    input.handle = -1;
}

bool put_file(const std::string& target, const Entry& old, const std::uint8_t* data,
              std::size_t length, bool& exists, std::string& reason) {
    exists = false;
    const std::size_t folder = folder_length(target, "/");
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < TEMP_ATTEMPTS && fd < 0; ++attempt) {
        temp = target.substr(0, folder) + "." + target.substr(folder) + ".tmp-" +
               std::to_string(getpid()) + "-" + std::to_string(attempt);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    bool ok = write_all(fd, data, length);
    if (ok && old.kind == EntryKind::Regular) {
        // The replacement is the same file to everyone who could use it:
        // owner first (changing it clears set-id bits), then the mode.
        // Only root may give a file away; anyone else keeps it as theirs.
        if (fchown(fd, old.owner, old.group) != 0) errno = 0;
        ok = fchmod(fd, old.permissions) == 0;
    }
    if (ok) ok = fsync(fd) == 0 || errno == EINVAL;
    const int write_error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        reason = std::strerror(errno);
    } else if (!ok) {
        reason = std::strerror(write_error);
    }
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    if (old.kind == EntryKind::Missing) {
        // link() never replaces an entry that appeared meanwhile; file
        // systems without hard links get the rename.
        if (link(temp.c_str(), target.c_str()) == 0) {
            unlink(temp.c_str());
            return true;
        }
        const int link_error = errno;
        if (link_error == EEXIST || (link_error != EPERM && link_error != ENOTSUP &&
                                     link_error != EOPNOTSUPP && link_error != EMLINK)) {
            unlink(temp.c_str());
            exists = link_error == EEXIST;
            reason = std::strerror(link_error);
            return false;
        }
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        reason = std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

#endif
