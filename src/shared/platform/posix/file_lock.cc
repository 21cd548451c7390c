#include "platform/file_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

int set_whole_file_lock(int fd, short type, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // to the end of the file, however it grows
    lock.l_pid = 0;  // required for open file description locks
    int rc;
    do {
        rc = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}

}  // namespace

extern "C" {

int qz_file_lock_exclusive(int fd, int wait) {
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    return set_whole_file_lock(fd, F_WRLCK, wait != 0);
}

int qz_file_unlock(int fd) {
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    return set_whole_file_lock(fd, F_UNLCK, false);
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
