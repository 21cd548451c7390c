// The worker side of the broker connection: a service program registers a handler for its
// subject and serves requests from a pool of handler threads on core subjects, or from pullers
// on its JetStream work queue, where a verdict cache makes redelivered jobs harmless. The module
// owns its threads, their shared records and the process-wide in-flight table of work-queue jobs.
//
// Conventions: 0 success, -1 failure (with an ERROR line) unless stated. Threads run until the
// caller's stop flag becomes non-zero; they look at it at least every 100 ms. Set the flag with
// an atomic store (__atomic_store_n) or at least one aligned 32-bit write, keep it alive until
// qz_nats_join_worker_threads has returned 0 for it, and join before qz_nats_deinit so that no
// thread still uses the connection.
#pragma once

#include "qzav/qz_export.h"

#include <nats/nats.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "connection/connection_config.h"
#include "connection/messages.h"
#include "platform/semaphore.h"

// Entries of the in-flight table: jobs of this process that get in-progress acknowledgements.
#define QZ_NATS_JS_INFLIGHT_ENTRIES 1024
// Lifetime of a cached verdict in "qz-av-wq-dedup".
#define QZ_NATS_JS_VERDICT_TTL_MS 300000
// Code and text of the reply to a request whose staged payload cannot be read.
#define QZ_NATS_STAGED_PAYLOAD_MISSING_CODE (-1000)
#define QZ_NATS_STAGED_PAYLOAD_MISSING_TEXT \
    "Scan data unavailable: staged payload could not be retrieved from the KV store"

extern "C" {
QZ_API_BEGIN

// Reads pair->request (json, and data/data_len when a payload was staged) and writes the reply
// text into pair->reply->json, normally with the reply helpers. Called concurrently from the
// threads of one pool and from every puller of a work queue: it must be thread-safe.
typedef void (*qz_request_handler_fn)(void* closure, qz_request_reply* pair);

// Queue subscription on subject (queue group = subject) served by thread_count threads, plus a
// queue subscription on "<subject>.ping" that those threads answer with {"ReturnCode": 0} while
// they run. A thread that cannot be started is logged and skipped. 0 / -1.
int qz_nats_start_service_handler_threads(qz_connection_config* config, const char* subject,
                                          qz_request_handler_fn handler, void* closure,
                                          volatile int32_t* stop_flag, int thread_count);
// Plain subscription: every worker receives every message. 0 / -1.
int qz_nats_start_broadcast_handler_threads(qz_connection_config* config, const char* subject,
                                            qz_request_handler_fn handler, void* closure,
                                            volatile int32_t* stop_flag, int thread_count);
// puller_count pullers bound to the durable "WORK_<service>" of stream "JOBS_<service>" on
// subject "jobs.<service>" ('.' becomes '_' in the two names; the broker side provisions them,
// pullers only bind and retry every second until they can). The pullers also answer
// "<service>.ping". The optional slot semaphore bounds the jobs in flight across the pullers:
// one count is taken before each fetch and given back after the job. 0 / -1.
int qz_nats_start_js_work_consumer(qz_connection_config* config, const char* service,
                                   qz_request_handler_fn handler, void* closure,
                                   volatile int32_t* stop_flag, int puller_count,
                                   QZ_SEM_HANDLE slot_semaphore);

// Waits up to timeout_ms in all for the threads started with stop_flag (which the caller has
// set) and releases their subscriptions and records; once no puller is left in the process,
// the in-progress heartbeat thread is joined as well. 0 when all ended, 1 when some still run
// after timeout_ms (they stay joinable by a later call), -1 for a NULL flag.
int qz_nats_join_worker_threads(volatile int32_t* stop_flag, long timeout_ms);

// Runs one request through handler: copies the request bytes into a request record, restores a
// payload staged under "_kv_key" (removed from the JSON the handler sees) and calls the handler;
// a payload that cannot be read is answered with QZ_NATS_STAGED_PAYLOAD_MISSING_CODE/_TEXT
// without calling the handler. *out_reply receives the reply text (free()) or NULL when the
// handler wrote none. 0, or -1 for bad arguments or when the records cannot be allocated.
int qz_worker_scan_execute(qz_connection_config* config, qz_request_handler_fn handler,
                           void* closure, const char* request, size_t length, char** out_reply);
QZ_API_END
}

// Internals, exposed for the tests.
namespace qz::nats::worker {

// The in-progress acknowledgement interval for a consumer's AckWait: a third of it, clamped to
// 1000 .. 15000 ms.
int heartbeat_interval_for_ack_wait(int64_t ack_wait_ns);

// "jobs.<service>", "JOBS_<service'>" and "WORK_<service'>" with service' = service with every
// '.' replaced by '_'. False when the subject exceeds 255 or a name 199 characters.
bool work_queue_names(const char* service, std::string* subject, std::string* stream,
                      std::string* durable);

// Takes the first free in-flight entry for msg (label: its work-queue subject, which must
// outlive the entry) and starts the heartbeat thread when it is not running. The slot, or -1
// when all entries are taken (the job then runs without in-progress acknowledgements; the first
// time a WARN line says so).
int inflight_register(natsMsg* msg, const char* label);
// Frees a slot returned by inflight_register; -1 is ignored.
void inflight_release(int slot);
// Entries taken at the moment.
int inflight_count();
// The in-progress interval in effect (ms).
int progress_interval_ms();

}  // namespace qz::nats::worker
