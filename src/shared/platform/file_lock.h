// Exclusive whole-file locks that exclude other processes and also other descriptors of the same
// process (open file description locks), so two threads with their own descriptors exclude each
// other too.
#pragma once

extern "C" {

// 0 when the lock is held, -1 when another holder has it (wait == 0) or on failure (errno set).
int qz_file_lock_exclusive(int fd, int wait);
// 0 or -1.
int qz_file_unlock(int fd);
}
