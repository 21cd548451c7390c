// Named system semaphores shared between processes (POSIX sem_open). A caller's name may hold '/'
// and '\': both become '_' and a leading '/' is added. POSIX has no maximum count, so QZsem_post
// refuses to raise the count above the maximum given at open.
#pragma once

#include <fcntl.h>

extern "C" {

typedef struct qz_semaphore* QZ_SEM_HANDLE;

// Opens the semaphore; creates it with `initial` when flags == O_CREAT and it does not exist.
// `mode` is accepted and not used (the semaphore is created 0660). NULL on failure, with errno set.
QZ_SEM_HANDLE QZsem_open(const char* name, int flags, int mode, unsigned initial, unsigned maximum);
// 0 when a count was taken, -1 on time-out or failure. A negative time-out only tries.
int QZsem_timedwait(QZ_SEM_HANDLE sem, long timeout_ms);
// Non-zero on success, 0 on failure (also when the count is already at its maximum).
int QZsem_post(QZ_SEM_HANDLE sem);
// Closes the handle; the system semaphore stays for other processes. NULL is ignored.
void QZsem_close(QZ_SEM_HANDLE sem);
// Names outlive the processes that use them: nothing is removed, result 0.
int QZsem_unlink(void);
// Removes the system name (tests and administrators' clean-up only). 0 or -1.
int QZsem_remove(const char* name);
// The system name a caller's name maps to ("/" + name with '/' and '\' replaced by '_'); 0, or -1
// when it does not fit `size` bytes.
int QZsem_system_name(const char* name, char* out, unsigned long size);
}
