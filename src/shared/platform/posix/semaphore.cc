#include "platform/semaphore.h"

#include <semaphore.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "log/log.h"
#include "platform/posix/deadline.h"

// POSIX semaphores carry no maximum count, so each handle remembers the maximum it was opened
// with and QZsem_post checks it. The check and the post are two calls: two posts racing at the
// last free count can both pass, which the callers' one-count locks never do.
struct qz_semaphore {
    sem_t* sem;
    unsigned maximum;
};

namespace {

constexpr size_t kNameBufferSize = 4096;

}  // namespace

extern "C" {

int QZsem_system_name(const char* name, char* out, unsigned long size) {
    if (name == nullptr || out == nullptr) return -1;
    size_t length = std::strlen(name);
    if (length + 2 > size) return -1;
    out[0] = '/';
    for (size_t i = 0; i < length; ++i) {
        out[i + 1] = (name[i] == '/' || name[i] == '\\') ? '_' : name[i];
    }
    out[length + 1] = '\0';
    return 0;
}

QZ_SEM_HANDLE QZsem_open(const char* name, int flags, int /*mode*/, unsigned initial,
                         unsigned maximum) {
    qz_semaphore* handle = nullptr;
    char system_name[kNameBufferSize + 1];
    if (name == nullptr || std::strlen(name) >= kNameBufferSize) {
        LOG_ERROR("Semaphore name missing or too long (limit %zu characters)", kNameBufferSize - 1);
        errno = ENAMETOOLONG;
    } else if (maximum == 0 || initial > maximum ||
               initial > static_cast<unsigned>(SEM_VALUE_MAX)) {
        LOG_ERROR("Invalid semaphore counts for %s: initial %u, maximum %u", name, initial,
                  maximum);
        errno = EINVAL;
    } else if (QZsem_system_name(name, system_name, sizeof system_name) == 0) {
        sem_t* sem = (flags == O_CREAT) ? sem_open(system_name, O_CREAT, 0660, initial)
                                        : sem_open(system_name, 0);
        if (sem != SEM_FAILED) {
            handle = new (std::nothrow) qz_semaphore{sem, maximum};
            if (handle == nullptr) {
                sem_close(sem);
                errno = ENOMEM;
            }
        }
    }
    const int saved_errno = errno;
    LOG_TRACE("Exiting, rc=%p", static_cast<void*>(handle));
    errno = saved_errno;
    return handle;
}

// No tracing below: the trace log itself locks through these two calls.
int QZsem_timedwait(QZ_SEM_HANDLE sem, long timeout_ms) {
    if (sem == nullptr) return -1;
    if (timeout_ms <= 0) {
        int rc;
        do {
            rc = sem_trywait(sem->sem);
        } while (rc != 0 && errno == EINTR);
        return rc == 0 ? 0 : -1;
    }
    const timespec deadline = qz::posix::deadline_after_ms(CLOCK_MONOTONIC, timeout_ms);
    int rc;
    do {
        rc = sem_clockwait(sem->sem, CLOCK_MONOTONIC, &deadline);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}

int QZsem_post(QZ_SEM_HANDLE sem) {
    if (sem == nullptr) return 0;
    int value = 0;
    if (sem_getvalue(sem->sem, &value) != 0) return 0;
    if (value >= 0 && static_cast<unsigned>(value) >= sem->maximum) {
        errno = EOVERFLOW;
        return 0;
    }
    return sem_post(sem->sem) == 0 ? 1 : 0;
}

void QZsem_close(QZ_SEM_HANDLE sem) {
    if (sem == nullptr) return;
    sem_close(sem->sem);
    delete sem;
}

int QZsem_unlink(void) {
    LOG_DEBUG("Entering");
    int rc = 0;
    LOG_DEBUG("rc=%d", rc);
    LOG_DEBUG("Exiting");
    return rc;
}

int QZsem_remove(const char* name) {
    char system_name[kNameBufferSize + 1];
    if (name == nullptr || QZsem_system_name(name, system_name, sizeof system_name) != 0) {
        return -1;
    }
    return sem_unlink(system_name) == 0 ? 0 : -1;
}
}
