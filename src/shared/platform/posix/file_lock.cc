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
}
