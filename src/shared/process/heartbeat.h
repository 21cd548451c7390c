// Process-liveness heartbeat: a table of 64-bit process ids in a file shared by every host
// process of the installation, guarded by a named semaphore. Registration only ever adds ids;
// nothing here removes them.
#pragma once

#include <cstdint>

#include "platform/semaphore.h"

extern "C" {

// Parameters of the heartbeat thread, owned by the starter and kept alive until it is joined.
// `running` is read and written atomically: set it with qz_heartbeat_set_running, never directly
// while the thread runs.
typedef struct qz_heartbeat_thread_params {
    const char* filename;  // borrowed; the file must exist (zero-filled) before the thread starts
    QZ_SEM_HANDLE semaphore;  // borrowed
    int running;              // the thread runs while it is 1
} qz_heartbeat_thread_params;

// Enters the calling process into `table` (`slots` 64-bit slots, 0 = free) under `semaphore`.
// 1 when newly entered, 0 when already present, -1 when the semaphore is not obtained within
// 3000 ms or the table has no free slot (nothing is written outside it).
int _StoreHeartbeat(uint64_t* table, uint64_t slots, QZ_SEM_HANDLE semaphore);

// Thread body (a qz_thread_fn over qz_heartbeat_thread_params): maps the heartbeat file and
// registers the process every second while running is 1; notices a stop within 100 ms.
void vsalib_SendHeartbeatThread(void* params);

void qz_heartbeat_set_running(qz_heartbeat_thread_params* params, int running);
int qz_heartbeat_is_running(const qz_heartbeat_thread_params* params);
}
