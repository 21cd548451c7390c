// Re-entrant lock with the semantics callers expect of a critical section: the owning thread
// may enter again, and must leave as often as it entered. The spin count is accepted and ignored.
#pragma once

#include <pthread.h>

#include <cstdint>

extern "C" {

struct QZ_CRITICAL_SECTION {
    pthread_mutex_t mutex;
    int initialised;
};

// 0 on success, -1 when the mutex cannot be set up.
int QZ_InitializeCriticalSection(QZ_CRITICAL_SECTION* cs, uint32_t spin_count);
void QZ_EnterCriticalSection(QZ_CRITICAL_SECTION* cs);
// 1 when entered, 0 when another thread holds it.
int QZ_TryEnterCriticalSection(QZ_CRITICAL_SECTION* cs);
void QZ_LeaveCriticalSection(QZ_CRITICAL_SECTION* cs);
void QZ_DeleteCriticalSection(QZ_CRITICAL_SECTION* cs);
}

namespace qz {
// Scope guard over a critical section.
class CriticalSectionLock {
  public:
    explicit CriticalSectionLock(QZ_CRITICAL_SECTION* cs) : cs_(cs) {
        QZ_EnterCriticalSection(cs_);
    }
    ~CriticalSectionLock() { QZ_LeaveCriticalSection(cs_); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

  private:
    QZ_CRITICAL_SECTION* cs_;
};
}  // namespace qz
