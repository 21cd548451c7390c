#include "vsalib_semaphores.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/error_text.h"
#include "vsalib_trace.h"

namespace {

constexpr const char* kSource = "vsa-lib/src/vsalib_semaphores";
constexpr size_t kMaxName = 250;
constexpr int kMode = 0666;

}  // namespace

extern "C" {

int vsalib_CreateSingleSemaphore(const char* name, QZ_SEM_HANDLE* place, unsigned initial,
                                 unsigned maximum) {
    VSALIB_LOG(QZ_LOG_TRACE, kSource, "Entering, name=%s, initial=%d, max=%d", name,
               static_cast<int>(initial), static_cast<int>(maximum));
    QZ_SEM_HANDLE handle = QZsem_open(name, O_CREAT, kMode, initial, maximum);
    if (handle == nullptr) {
        const int saved = errno;
        VSALIB_LOG(QZ_LOG_FATAL, kSource, "Failed to create semaphore %s. %s", name,
                   QZstrerror(saved));
        errno = saved;
        return -1;
    }
    *place = handle;
    VSALIB_LOG(QZ_LOG_DEBUG, kSource, "Semaphore %s successfully opened", name);
    return 0;
}

int vsalib_CreateSemaphores(VSA_ENGINE* engine, char* message) {
    VSALIB_LOG(QZ_LOG_TRACE, kSource, "Entering");
    int rc = 0;
    char name[kMaxName + 1];
    snprintf(name, sizeof name, "/qz_jobID_%s_%s", engine->SID != nullptr ? engine->SID : "",
             engine->configHash != nullptr ? engine->configHash : "");
    if (engine->semDetails == nullptr ||
        vsalib_CreateSingleSemaphore(name, &engine->semDetails->jobIdSemaphore, 1, 1) != 0) {
        // A copy: the error text buffer is shared with every other thread.
        std::string reason = QZstrerror(errno);
        snprintf(message, VSALIB_MESSAGE_SIZE, "Failed to open jobID semaphore %s: %s", name,
                 reason.c_str());
        VSALIB_LOG(QZ_LOG_FATAL, kSource, "%s", message);
        rc = 1;
    } else {
        VSALIB_LOG(QZ_LOG_DEBUG, kSource, "Created JobID semaphore %s", name);
    }
    VSALIB_LOG(QZ_LOG_TRACE, kSource, "Exiting, rc= %d", rc);
    return rc;
}
}
