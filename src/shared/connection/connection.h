// The connection facade: every request, staging and key-value call of the libraries goes through
// here and is served by the broker (NATS) or, when server_url begins with "http://" or
// "https://" (exact, case-sensitive), by the HTTP gateway. The choice is made again at every call.
// The facade keeps no state and never frees the config record or its strings.
//
// Conventions: 0 success, -1 failure unless stated; timeouts are milliseconds; retries counts the
// extra attempts after the first (-1: no attempt at all, other negative counts: 0). Over the
// gateway the attempts follow each other without a pause, and a failure that the same request
// would meet again (refused credentials, an untrusted certificate, another 4xx answer than 408
// and 429, a proxy refusing its credentials) ends them at once. errbuf is an optional 1024-byte
// buffer for a one-line failure text; reply objects are json-c objects the caller releases with
// json_object_put.
#pragma once

#include "qzav/qz_export.h"

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>

#include "connection/connection_config.h"
#include "connection/messages.h"
#include "connection/nats_kv.h"
#include "connection/nats_worker.h"

extern "C" {
QZ_API_BEGIN

// A zeroed record, or NULL. The owner frees it and its strings.
qz_connection_config* qz_connection_config_new(void);
// Frees the strings and the record. The connection must be closed (qz_connection_deinit) first:
// the broker handles are not touched. NULL is ignored.
void qz_connection_config_free(qz_connection_config* config);

// Completes the settings (server_url "tls://host:port" from broker_host/broker_port when unset;
// user/password from default_user/default_password when unset; the replaced fields are newly
// malloc'ed) and opens the broker connection, or in gateway mode only prepares the HTTP library.
int qz_connection_init(qz_connection_config* config);
// Closes the broker connection; nothing in gateway mode. NULL is ignored.
void qz_connection_deinit(qz_connection_config* config);

json_object* qz_connection_send_recv_json(qz_connection_config* config, const char* subject,
                                          const char* json, uint32_t timeout, int32_t retries,
                                          char* errbuf);
// Sends pair->request with its payload (staged on the broker, inline over the gateway) and waits
// timeout + extra_timeout. The reply message's json is cleared (broker) or replaced by the reply
// text (gateway).
json_object* qz_connection_send_recv_json_data(qz_connection_config* config, const char* subject,
                                               qz_request_reply* pair, uint32_t timeout,
                                               uint32_t extra_timeout, int32_t retries,
                                               char* errbuf);
// The reply's integer "ReturnCode", or -1 when there is no reply or no such integer member.
int qz_connection_simple_request(qz_connection_config* config, const char* subject,
                                 const char* json, uint32_t timeout, int32_t retries, char* errbuf);

// 0 with *out_key (free()) holding the key of the staged payload; over the gateway 0 with
// *out_key NULL (the payload then travels with each request).
int qz_connection_stage_scan_data(qz_connection_config* config, const void* data, size_t length,
                                  uint32_t timeout, char** out_key, char* errbuf);
void qz_connection_unstage_scan_data(qz_connection_config* config, const char* key);
int qz_connection_registry_put(qz_connection_config* config, const char* worker_key,
                               const char* value, int64_t ttl);
void qz_connection_registry_delete(qz_connection_config* config, const char* worker_key);
// 0 found, 1 not found (always over the gateway), -1 error.
int qz_connection_kv_get(qz_connection_config* config, const char* bucket, const char* key,
                         char** out_value, size_t* out_len);
int qz_connection_kv_put(qz_connection_config* config, const char* bucket, const char* key,
                         const char* value, int64_t ttl);
void qz_connection_kv_delete(qz_connection_config* config, const char* bucket, const char* key);
int qz_connection_kv_keys(qz_connection_config* config, const char* bucket, const char* prefix,
                          qz_nats_kv_key_fn callback, void* context);
// -1 over the gateway.
int qz_connection_kv_snapshot(qz_connection_config* config, const char* bucket,
                              qz_nats_kv_entry_fn callback, void* context);
// 1 held by owner (always over the gateway), 0 held by another, -1 error.
int qz_connection_kv_lease(qz_connection_config* config, const char* bucket, const char* key,
                           const char* owner, int64_t ttl);

// Worker side; refused with -1 in gateway mode, which is client-only.
int qz_connection_start_service_handler_threads(qz_connection_config* config, const char* subject,
                                                qz_request_handler_fn handler, void* closure,
                                                volatile int32_t* stop_flag, int thread_count);
int qz_connection_start_js_work_consumer(qz_connection_config* config, const char* service,
                                         qz_request_handler_fn handler, void* closure,
                                         volatile int32_t* stop_flag, int puller_count,
                                         QZ_SEM_HANDLE slot_semaphore);
// Joins the worker threads started with stop_flag once the flag is set (threads only exist in
// NATS mode, so there is nothing to choose): 0 all ended, 1 some still run after timeout_ms,
// -1 for a NULL flag. Call it before qz_connection_deinit.
int qz_connection_join_worker_threads(volatile int32_t* stop_flag, long timeout_ms);
QZ_API_END
}
