// The trace log: one line per call, stamped with UTC time, level, process and thread ids, the
// program name and the calling function, appended to the configured trace file (rotated by size).
// Each library holds its own copy of this state (hidden visibility), configured by its start-up.
#pragma once

#include "qzav/qz_export.h"

#include <cstdint>

extern "C" {
QZ_API_BEGIN

enum {
    QZ_LOG_OFF = 0,
    QZ_LOG_FATAL = 1,
    QZ_LOG_ERROR = 2,
    QZ_LOG_WARN = 3,
    QZ_LOG_INFO = 4,
    QZ_LOG_DEBUG = 5,
    QZ_LOG_TRACE = 6,
};

// Lock callback: action 1 acquires (-1 = not obtained), 0 releases.
typedef int (*log_LockFn)(void* udata, int action);

// Printed in every line. Each library defines its own ("vsa-wrapper", "vsa-lib").
extern const char* qz__progname;

extern const char* const level_names[7];
extern const char* const level_colors[7];

void log_log(int level, const char* function, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));

// Always 0. A NULL or empty path, or level 0, switches tracing off. The path is borrowed: the
// caller keeps it alive and unchanged while it stays configured.
int QZOpenTraceFile(const char* path, int level, uint64_t max_size_mb);
// Removes an installed lock callback and its semaphore; the file name stays.
void QZCloseTraceFile(void);
void QZLogCheckLogSwitch(const char* path, uint64_t max_size_mb);
// Lock callback over a named semaphore handle (QZ_SEM_HANDLE) given as udata.
int QZLogLock(void* semaphore, int action);

void log_set_udata(void* udata);
void* log_get_udata(void);
void log_set_lock(log_LockFn fn);
void log_set_level(int level);
int log_get_level(void);
void log_set_quiet(int enable);
void log_set_screentrace(int enable);
void log_set_filename(const char* path);
const char* log_get_filename(void);
void log_set_maxsize(uint64_t max_size_mb);
uint64_t log_get_maxsize(void);
QZ_API_END
}

#define QZ_LOG(level, ...) log_log((level), __func__, __FILE__, __LINE__, __VA_ARGS__)
#define LOG_FATAL(...) QZ_LOG(QZ_LOG_FATAL, __VA_ARGS__)
#define LOG_ERROR(...) QZ_LOG(QZ_LOG_ERROR, __VA_ARGS__)
#define LOG_WARN(...) QZ_LOG(QZ_LOG_WARN, __VA_ARGS__)
#define LOG_INFO(...) QZ_LOG(QZ_LOG_INFO, __VA_ARGS__)
#define LOG_DEBUG(...) QZ_LOG(QZ_LOG_DEBUG, __VA_ARGS__)
#define LOG_TRACE(...) QZ_LOG(QZ_LOG_TRACE, __VA_ARGS__)
