#include "platform/critical_section.h"

#include <cstring>

extern "C" {

int QZ_InitializeCriticalSection(QZ_CRITICAL_SECTION* cs, uint32_t /*spin_count*/) {
    if (cs == nullptr) return -1;
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return -1;
    int rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0) rc = pthread_mutex_init(&cs->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        cs->initialised = 0;
        return -1;
    }
    cs->initialised = 1;
    return 0;
}

void QZ_EnterCriticalSection(QZ_CRITICAL_SECTION* cs) {
    if (cs != nullptr) pthread_mutex_lock(&cs->mutex);
}

int QZ_TryEnterCriticalSection(QZ_CRITICAL_SECTION* cs) {
    if (cs == nullptr) return 0;
    return pthread_mutex_trylock(&cs->mutex) == 0 ? 1 : 0;
}

void QZ_LeaveCriticalSection(QZ_CRITICAL_SECTION* cs) {
    if (cs != nullptr) pthread_mutex_unlock(&cs->mutex);
}

void QZ_DeleteCriticalSection(QZ_CRITICAL_SECTION* cs) {
    if (cs == nullptr || !cs->initialised) return;
    pthread_mutex_destroy(&cs->mutex);
    cs->initialised = 0;
}
}
