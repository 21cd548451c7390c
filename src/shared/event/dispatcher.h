// The event dispatcher: one thread per process that claims queued event ('E') and log ('L')
// messages in batches from the persistent queue below the run directory and delivers them to
// "qz-av-events-dispatch" and "qz-av-log", deleting an entry only once the service accepted it
// and putting back what could not be sent. It owns the queue; the connection is borrowed.
#pragma once

#include "connection/connection_config.h"
#include "platform/thread.h"
#include "pqueue/pqueue.h"

extern "C" {

typedef struct logThreadParams {
    qz_connection_config* connection;  // borrowed; must outlive the thread
    qz_pqueue* pq;                     // owned; NULL when the queue could not be opened
    int stop;                          // 1 ends the thread; accessed atomically
    QZ_THREAD_HANDLE thread;
} logThreadParams;

// Opens (creating when needed) the queue "VSA.pq" in the absolute form of directory and starts the
// dispatcher thread over it. When the queue cannot be opened the thread is started all the same
// and ends at once. The parameters, or NULL when the thread cannot be started. Stop and release
// them with qz_log_stop_log_dispatcher.
logThreadParams* qz_log_create_log_dispatcher(const char* directory,
                                              qz_connection_config* connection);

// The thread body (arg: logThreadParams*); returns soon after stop is set. A request in flight is
// finished first, so the stop takes at most one request time-out (3 s) plus 100 ms.
void qz_log_dequeue_thread(void* arg);

// Asks the thread to stop and waits up to timeout_ms for it (a negative timeout waits without
// limit). 0 when it ended: the queue is closed and the parameters are freed. 1 when it is still
// running after the wait: nothing is freed and the call may be repeated. -1 for NULL.
int qz_log_stop_log_dispatcher(logThreadParams* params, long timeout_ms);
}
