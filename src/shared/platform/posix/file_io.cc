#include "platform/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

extern "C" {

int qz_write_all(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

int qz_rename_noreplace(const char* from, const char* to) {
    if (from == nullptr || to == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // The filesystem does not support the flag: link() refuses an existing target just the same.
    if (link(from, to) != 0) return -1;
    if (unlink(from) != 0) {
        const int err = errno;
        unlink(to);
        errno = err;
        return -1;
    }
    return 0;
}

int qz_fsync_dir(const char* dir) {
    if (dir == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc = fsync(fd);
    const int err = errno;
    close(fd);
    errno = err;
    return rc == 0 ? 0 : -1;
}
}
