#include "platform/thread.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "log/log.h"
#include "platform/posix/deadline.h"

struct qz_thread {
    pthread_t id;
};

namespace {

// Handed to the new thread, which owns and frees it before running the caller's function.
struct ThreadStart {
    qz_thread_fn fn;
    void* arg;
};

void* thread_trampoline(void* raw) {
    ThreadStart* start = static_cast<ThreadStart*>(raw);
    qz_thread_fn fn = start->fn;
    void* arg = start->arg;
    delete start;
    fn(arg);
    return nullptr;
}

// strerror is not thread-safe; the description table is.
const char* error_name(int code) {
    const char* text = strerrordesc_np(code);
    return text != nullptr ? text : "Unknown error";
}

}  // namespace

extern "C" {

int QZ_CreateThread(QZ_THREAD_HANDLE* handle, qz_thread_fn fn, void* arg) {
    if (handle == nullptr || fn == nullptr) return -1;
    *handle = nullptr;
    qz_thread* thread = new (std::nothrow) qz_thread{};
    ThreadStart* start = new (std::nothrow) ThreadStart{fn, arg};
    if (thread == nullptr || start == nullptr) {
        delete thread;
        delete start;
        LOG_ERROR("Could not allocate the thread start record");
        return -1;
    }
    int rc = pthread_create(&thread->id, nullptr, thread_trampoline, start);
    if (rc != 0) {
        LOG_ERROR("pthread_create failed: (%d) %s", rc, error_name(rc));
        delete start;
        delete thread;
        return -1;
    }
    *handle = thread;
    return 0;
}

int QZ_JoinThread(QZ_THREAD_HANDLE handle) {
    if (handle == nullptr) return -1;
    int rc = pthread_join(handle->id, nullptr);
    if (rc != 0) {
        // The thread was not joined (for example a thread joining itself): the handle stays.
        LOG_ERROR("pthread_join failed: (%d) %s", rc, error_name(rc));
        return -1;
    }
    delete handle;
    return 0;
}

int QZ_JoinThreadTimeout(QZ_THREAD_HANDLE handle, long timeout_ms) {
    if (handle == nullptr) return -1;
    if (timeout_ms < 0) timeout_ms = 0;
    int rc;
    if (timeout_ms == 0) {
        rc = pthread_tryjoin_np(handle->id, nullptr);
    } else {
        const timespec deadline = qz::posix::deadline_after_ms(CLOCK_REALTIME, timeout_ms);
        rc = pthread_timedjoin_np(handle->id, nullptr, &deadline);
    }
    if (rc == 0) {
        delete handle;
        return 0;
    }
    if (rc == ETIMEDOUT || rc == EBUSY) return 1;
    LOG_ERROR("pthread_timedjoin_np failed: (%d) %s", rc, error_name(rc));
    return -1;
}

int QZ_KillThread(QZ_THREAD_HANDLE* handle) {
    if (handle == nullptr || *handle == nullptr) return -1;
    qz_thread* thread = *handle;
    int rc = pthread_cancel(thread->id);
    if (rc != 0) {
        LOG_ERROR("pthread_cancel failed: (%d) %s", rc, error_name(rc));
        return -1;
    }
    pthread_detach(thread->id);
    delete thread;
    *handle = nullptr;
    return 0;
}

void QZ_SetThreadName(const char* name) {
    if (name == nullptr) return;
    char truncated[16];
    std::strncpy(truncated, name, sizeof truncated - 1);
    truncated[sizeof truncated - 1] = '\0';
    pthread_setname_np(pthread_self(), truncated);
}

uint64_t QZ_GetThreadId(void) { return static_cast<uint64_t>(gettid()); }

uint64_t QZ_GetProcessId(void) { return static_cast<uint64_t>(getpid()); }

void QZ_Sleep(long milliseconds) {
    if (milliseconds <= 0) return;
    timespec remaining{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
}
