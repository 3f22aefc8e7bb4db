// The update file on POSIX. Opened without blocking, so that a FIFO with no
// writer cannot stall the open, then refused unless it is a regular file.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_read.h"

FileRead file_read(const char* name, uint8_t* buffer, uint32_t capacity, uint32_t* length) {
    *length = 0;
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return FileRead::Missing;
    struct stat info{};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return FileRead::Missing;
    }
    // One request for the whole capacity; a short read is resumed, since a
    // regular file may still hand its bytes over in pieces.
    FileRead result = FileRead::Done;
    while (*length < capacity) {
        const ssize_t got = read(fd, buffer + *length, capacity - *length);
        if (got > 0) {
            *length += static_cast<uint32_t>(got);
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            result = FileRead::Failed;
            break;
        }
    }
    close(fd);
    return result;
}
