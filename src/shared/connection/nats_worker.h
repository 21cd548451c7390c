// The worker side of the broker connection: a service program registers a handler for its
// subject and serves requests from a pool of handler threads on core subjects, or from pullers
// on its JetStream work queue. Threads run until the caller's stop flag becomes non-zero.
#pragma once

#include <cstdint>

#include "connection/connection_config.h"
#include "connection/messages.h"
#include "platform/semaphore.h"

extern "C" {

// Reads pair->request (json, and data/data_len when a payload was staged) and writes the reply
// text into pair->reply->json, normally with the reply helpers. Called concurrently from the
// threads of one pool.
typedef void (*qz_request_handler_fn)(void* closure, qz_request_reply* pair);

// Queue subscription on subject (queue group = subject) served by thread_count threads. 0 / -1.
int qz_nats_start_service_handler_threads(qz_connection_config* config, const char* subject,
                                          qz_request_handler_fn handler, void* closure,
                                          volatile int32_t* stop_flag, int thread_count);
// Plain subscription: every worker receives every message. 0 / -1.
int qz_nats_start_broadcast_handler_threads(qz_connection_config* config, const char* subject,
                                            qz_request_handler_fn handler, void* closure,
                                            volatile int32_t* stop_flag, int thread_count);
// puller_count pullers on the durable "WORK_<service>" of stream "JOBS_<service>". The optional
// slot semaphore bounds the jobs in flight across the pullers. 0 / -1.
int qz_nats_start_js_work_consumer(qz_connection_config* config, const char* service,
                                   qz_request_handler_fn handler, void* closure,
                                   volatile int32_t* stop_flag, int puller_count,
                                   QZ_SEM_HANDLE slot_semaphore);
}
