// Exclusive whole-file locks that exclude other processes and also other descriptors of the same
// process (open file description locks), so two threads with their own descriptors exclude each
// other too.
#pragma once

extern "C" {

// 0 when the lock is held, -1 when another holder has it (wait == 0) or on failure (errno set).
int qz_file_lock_exclusive(int fd, int wait);
// 0 or -1.
int qz_file_unlock(int fd);
// Renames `from` to `to` only when `to` does not exist. 0, or -1 with errno (EEXIST when taken).
int qz_rename_noreplace(const char* from, const char* to);
// fsync of the directory that holds a renamed or created entry. 0 or -1.
int qz_fsync_dir(const char* dir);
}
