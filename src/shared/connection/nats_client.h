// The broker connection: opens and closes the NATS connection with its JetStream context, and
// carries a JSON request to a service and its JSON reply back, over core request/reply or, for
// the subjects listed in js_services, over the service's JetStream work queue "jobs.<subject>"
// with the reply returned to a private inbox. Payloads never travel inside a request: they are
// staged in "qz-av-scan-data" and the request carries their key ("_kv_key").
//
// Conventions: 0 success, -1 failure unless stated; timeouts are milliseconds; retries counts the
// extra attempts after the first (UINT32_MAX, i.e. -1, sends nothing); errbuf is an optional
// 1024-byte buffer for a one-line failure text. Reply objects are json-c objects that the caller
// releases with json_object_put. All request functions may run on many threads at once.
#pragma once

#include <json-c/json.h>
#include <nats/nats.h>

#include <cstdint>

#include "connection/connection_config.h"
#include "connection/messages.h"

extern "C" {

// A zeroed record (calloc), or NULL. The owner frees it and its strings.
qz_connection_config* qz_nats_config_new(void);

// Connects to server_url with TLS when the scheme is "tls://" or "wss://", the CA file cert_path
// and, when both are set, the client certificate chain client_cert/client_key. A broker that is
// not reachable is tried 5 times with growing pauses (about 3 to 4.5 s in all); after that the
// connection is handed to the client library's background reconnection and the result is 0.
// Fills config->conn and config->js (js stays NULL when JetStream is unavailable).
int qz_nats_init(qz_connection_config* config);
// Releases the bucket handles, the JetStream context and the connection and clears the fields.
// NULL is ignored. Does not tear down the client library's global state: see
// qz_nats_close_library.
void qz_nats_deinit(qz_connection_config* config);

// Tears down the client library's process-wide state (threads, memory) and waits up to 5 s for
// it, so that a library linking the client can be unloaded afterwards. Refused while a
// connection opened by qz_nats_init is still open in this process (result 1, a DEBUG line);
// 0 when torn down, -1 when the wait timed out. The library opens itself again on the next
// qz_nats_init. Not to be called from a connection callback or concurrently with qz_nats_init.
int qz_nats_close_library(void);

json_object* qz_nats_send_recv_json(qz_connection_config* config, const char* subject,
                                    const char* json, uint32_t timeout, uint32_t retries,
                                    char* errbuf);

// Sends pair->request: its json with "_kv_key" added when the request carries a payload (data,
// data_len, staged here for the call and deleted after a parsable reply) or a non-empty
// staged_key (used as is). Waits timeout + extra_timeout for each attempt. The reply message's
// json, when set, is freed and cleared on return.
json_object* qz_nats_send_recv_json_data(qz_connection_config* config, const char* subject,
                                         qz_request_reply* pair, uint32_t timeout,
                                         uint32_t extra_timeout, uint32_t retries, char* errbuf);

// The reply's integer member "ReturnCode", or -1 when there is no reply or no such integer member.
int qz_nats_simple_request(qz_connection_config* config, const char* subject, const char* json,
                           uint32_t timeout, uint32_t retries, char* errbuf);

// One work-queue exchange: publishes json (with "_reqid" and "_reply_subj" added) to
// "jobs.<subject>" with the request id as message id, and waits up to timeout for the reply on
// a private inbox. NATS_OK with *reply set (caller destroys it), NATS_NO_RESPONDERS when the
// work-queue stream does not exist, another status on failure.
natsStatus qz_nats_js_publish_and_wait(qz_connection_config* config, const char* subject,
                                       const char* json, uint32_t timeout, natsMsg** reply);

// Connection callbacks; they run on the client library's threads and only trace.
void disconnected_cb(natsConnection* nc, void* closure);
void reconnected_cb(natsConnection* nc, void* closure);
void closed_cb(natsConnection* nc, void* closure);
void connected_cb(natsConnection* nc, void* closure);
}

namespace qz::nats {

// True when the comma-separated list holds subject as one entry (blanks and tabs around entries
// ignored, exact and case-sensitive otherwise).
bool js_services_contains(const char* js_services, const char* subject);

// Reconnect wait in ms (100..500) from a seed; one step of the C library's classic LCG.
int reconnect_wait_ms(uint32_t seed);
// Pause before connect attempt `attempt` + 1 (attempt 1..4): base 200 << (attempt - 1) ms plus
// up to half of it, drawn from *seed (advanced).
int connect_retry_delay_ms(int attempt, uint32_t* seed);

// The integer "ReturnCode" of a reply object, or -1 (with an ERROR line naming the cause) when
// the reply is NULL, not an object, lacks the member, or the member is not a 32-bit integer.
int reply_return_code(json_object* reply, const char* subject);

// Parses length bytes of reply data from subject. NULL with an ERROR line (and errbuf text when
// given) on a parse failure or trailing bytes other than blanks and NULs.
json_object* parse_reply(const char* data, int length, const char* subject, char* errbuf);

}  // namespace qz::nats
