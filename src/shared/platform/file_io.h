// File writes that must survive a crash: whole writes, renames that never replace, and syncing
// the directory that holds a new name.
#pragma once

#include <cstddef>

extern "C" {

// Writes all bytes, retrying after signals and short writes. 0, or -1 with errno.
int qz_write_all(int fd, const void* data, size_t size);
// Renames `from` to `to` only when `to` does not exist. 0, or -1 with errno (EEXIST when taken).
int qz_rename_noreplace(const char* from, const char* to);
// fsync of the directory that holds a renamed or created entry. 0 or -1.
int qz_fsync_dir(const char* dir);
}
