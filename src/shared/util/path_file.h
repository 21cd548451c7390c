// Path and file helpers: existence and type checks, sizes and modification times, directory
// creation and removal, tree copies, small integer files, environment expansion in paths and
// whole-buffer file input and output. Paths use '/' as separator; a path is absolute when it
// starts with '/'. Joined paths never exceed the stated limits: an overlong path is refused
// with an ERROR trace line, never cut and never written past a buffer.
#pragma once

#include "qzav/qz_export.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

extern "C" {
QZ_API_BEGIN

// Longest path (without its NUL) that the helpers build or copy into a fixed buffer.
enum { QZHLP_MAX_PATH = 4095 };
// Longest joined path (without its NUL) that qzhlp_RemoveDir builds.
enum { QZHLP_MAX_REMOVE_PATH = 2047 };

// 1 when the path exists (any kind; symbolic links are followed), 0 for NULL, empty or missing.
int qzhlp_IsFile(const char* path);
// 1 when the path is a directory, else 0.
int qzhlp_IsDir(const char* path);
// 1 when the path is a regular file, else 0.
int qzhlp_IsRegularFile(const char* path);
// 1 when dir + '/' + name is a regular file. A joined path longer than QZHLP_MAX_PATH is traced
// at ERROR and answered 0: a predicate must not hand -1 to callers that test it for truth.
int qzhlp_IsRegularFileD(const char* dir, const char* name);
// 1 when the calling process may write the path, else 0.
int qzhlp_IsWritable(const char* path);

// Size of the file whose name is given (surrounding whitespace is trimmed first); -1 with an
// ERROR line on failure and for sizes above INT32_MAX ("Invalid fize size"). Scan code that must
// handle objects of 2 GiB and more uses qzhlp_GetFileSize64.
int qzhlp_GetFileSize(const char* filename);
// As qzhlp_GetFileSize, without the 32-bit limit.
int64_t qzhlp_GetFileSize64(const char* filename);

// Modification time of dir + '/' + name; -1 when the joined path exceeds 4094 characters or
// cannot be queried.
time_t qzhlp_get_file_mtime(const char* dir, const char* name);
// The latest modification time among the directory itself and its direct entries; -1 when the
// directory cannot be queried.
time_t qzhlp_get_dir_mtime(const char* dir);

// Creates the directory when it is not one yet; when set_mode is non-zero, then sets its
// permission bits to mode (also when it already existed). 0 or -1.
int qzhlp_create_dir(const char* path, int set_mode, unsigned int mode);
// Creates every missing directory along the path, then the path itself. The mode (when
// set_mode is non-zero) is applied to the directories this call creates and to the final one,
// never to existing parents. 0 or -1.
int qzhlp_create_dir_path(const char* path, int set_mode, unsigned int mode);
// Creates all directories of a '/'-separated path (an existing directory is accepted; a leading
// '/' keeps the path absolute). 1 on success, 0 on failure and for a NULL or empty path.
int qzhlp_mkdirhier(const char* path);
// Removes a directory tree without following symbolic links. 0 when done (also when the
// directory cannot be opened), 1 when an entry could not be removed.
int qzhlp_RemoveDir(const char* path);

// Copies source to destination, which must not exist yet; the destination gets mode 0755. A
// partly written destination is removed again. 0 or -1.
int copy_file(const char* source, const char* destination);
// Copies a directory tree. The destination is created (0750) when missing and must be
// writable; subdirectories are created 0755 and each file gets its source's mode. Symbolic
// links and special files are skipped with a WARN line. The current directory of the process
// is not touched. 0, or -1 at the first failure.
int copy_dir_recursive(const char* source, const char* destination);

// Reads a decimal integer from the first line of the file, trying retries + 1 times one second
// apart while the file is missing. The value; 0 when the file never appears; -1 on another open
// error or when the first line holds no integer (ERROR line).
int qzhlp_ReadIntValue(const char* path, int retries);
// Writes the integer as a decimal line. The file is replaced atomically (temporary file, fsync,
// rename, fsync of the directory), so a crash leaves the old or the new value. 0 or -1.
int qzhlp_StoreIntValue(const char* path, int value);

// A new string (free() it) with environment references ($NAME, ${NAME}) replaced by their
// values; NULL for a NULL or empty path, an unset variable or an allocation failure.
char* qzhlp_expand_path(const char* path);
// The path with every '/' and '\' replaced by '_', in a process-wide buffer that the next call
// overwrites. NULL for a NULL or empty path and for paths longer than QZHLP_MAX_PATH.
const char* qzhlp_FlattenPath(const char* path);
// A new string (free() it) in which every run of consecutive separators ('/' or '\') is
// reduced to the first separator of the run; NULL for NULL or on allocation failure.
char* qzhlp_unix_path_normalize(const char* path);

// Writes length bytes to path, replacing the file atomically. 0 or -1.
int qzhlp_dump_buffer_to_file(const void* buffer, size_t length, const char* path);
// Reads exactly length bytes of path into buffer. 0 or -1.
int qzhlp_read_buffer_from_file(void* buffer, size_t length, const char* path);
QZ_API_END
}
