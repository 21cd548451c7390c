// Threads with a join that may time out. A timed-out join leaves the thread running and
// joinable; killing is a last resort at shutdown (pthread_cancel + detach).
#pragma once

#include <cstdint>

extern "C" {

typedef struct qz_thread* QZ_THREAD_HANDLE;
typedef void (*qz_thread_fn)(void* arg);

// Starts fn(arg) on a new thread. 0 and the handle, or -1 with nothing started.
int QZ_CreateThread(QZ_THREAD_HANDLE* handle, qz_thread_fn fn, void* arg);
// Waits for the thread without limit and releases the handle. 0, or -1 for NULL.
int QZ_JoinThread(QZ_THREAD_HANDLE handle);
// 0 when the thread ended in time (handle released), 1 on time-out (thread keeps running, handle
// stays valid), -1 for NULL or a failed wait.
int QZ_JoinThreadTimeout(QZ_THREAD_HANDLE handle, long timeout_ms);
// Cancels and detaches the thread, releases the handle and clears *handle. 0, or -1.
int QZ_KillThread(QZ_THREAD_HANDLE* handle);

// Names the calling thread (at most 15 characters are kept).
void QZ_SetThreadName(const char* name);
// The kernel thread id of the calling thread, as printed in trace lines.
uint64_t QZ_GetThreadId(void);
// The process id.
uint64_t QZ_GetProcessId(void);
void QZ_Sleep(long milliseconds);
}
