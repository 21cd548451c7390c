#include "process/heartbeat.h"

#include <cerrno>
#include <cstdio>

#include "log/log.h"
#include "platform/error_text.h"
#include "platform/memmap.h"
#include "platform/thread.h"

namespace {

constexpr long kLockTimeoutMs = 3000;
constexpr long kRegisterIntervalMs = 1000;
constexpr long kStopCheckMs = 100;

// Writes the table back to its file. The pages are shared through the page cache already, so a
// failed flush (also: a table that is not a file view) costs only durability.
void flush_table(const uint64_t* table, uint64_t slots) {
    (void)memflush_address(table, slots * sizeof(uint64_t));
}

}  // namespace

extern "C" {

void qz_heartbeat_set_running(qz_heartbeat_thread_params* params, int running) {
    if (params != nullptr) __atomic_store_n(&params->running, running, __ATOMIC_RELEASE);
}

int qz_heartbeat_is_running(const qz_heartbeat_thread_params* params) {
    return params != nullptr ? __atomic_load_n(&params->running, __ATOMIC_ACQUIRE) : 0;
}

int _StoreHeartbeat(uint64_t* table, uint64_t slots, QZ_SEM_HANDLE semaphore) {
    if (table == nullptr && slots > 0) {
        LOG_ERROR("Invalid heartbeat table");
        return -1;
    }
    if (QZsem_timedwait(semaphore, kLockTimeoutMs) != 0) {
        LOG_ERROR("Could not lock the heartbeat semaphore in 3000ms");
        return -1;
    }
    const uint64_t own_id = QZ_GetProcessId();
    flush_table(table, slots);
    uint64_t slot = 0;
    for (; slot < slots && table[slot] != 0; ++slot) {
        if (table[slot] == own_id) {
            flush_table(table, slots);
            QZsem_post(semaphore);
            return 0;
        }
    }
    if (slot == slots) {
        QZsem_post(semaphore);
        LOG_ERROR("Heartbeat table full: %llu slots, process %llu not entered",
                  static_cast<unsigned long long>(slots), static_cast<unsigned long long>(own_id));
        return -1;
    }
    table[slot] = own_id;
    flush_table(table, slots);
    QZsem_post(semaphore);
    return 1;
}

void vsalib_SendHeartbeatThread(void* arg) {
    qz_heartbeat_thread_params* params = static_cast<qz_heartbeat_thread_params*>(arg);
    if (params == nullptr || params->filename == nullptr) {
        LOG_ERROR("Heartbeat thread started without a file name");
        return;
    }
    QZ_SetThreadName("qz-heartbeat");
    LOG_TRACE("Entering: fname: %s", params->filename);
    MEMMAP_HANDLE map = nullptr;
    if (memmap(params->filename, 0, &map, QZ_MEMMAP_READWRITE) != 0) {
        const int err = errno;
        LOG_ERROR("Error mapping %s to memory. Reason:%s (%d)", params->filename, QZstrerror(err),
                  err);
        return;
    }
    uint64_t* table = static_cast<uint64_t*>(memGetAddr(map));
    if (table == nullptr) {
        const int err = errno;
        std::fprintf(stderr, "Failed to get address of shared memory block. Reason:%s ",
                     QZstrerror(err));
        memunmap(map);
        return;
    }
    const uint64_t slots = memGetLength(map) / sizeof(uint64_t);
    while (qz_heartbeat_is_running(params) == 1) {
        _StoreHeartbeat(table, slots, params->semaphore);
        for (long waited = 0; waited < kRegisterIntervalMs && qz_heartbeat_is_running(params) == 1;
             waited += kStopCheckMs) {
            QZ_Sleep(kStopCheckMs);
        }
    }
    LOG_INFO("Exiting heartbeat thread");
    memunmap(map);
}
}
