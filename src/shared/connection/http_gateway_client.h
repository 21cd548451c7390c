// The HTTP gateway client: one multipart POST per call carries a service request (and, for scans,
// the object's bytes, streamed from the caller's buffer) to the HTTPS gateway, which answers with
// the service's JSON reply. Client-only and stateless: every call builds and releases its own
// libcurl handle; the connection facade chooses this transport and retries it.
//
// Conventions: 0 success, -1 failure; errbuf is an optional 1024-byte buffer that receives a
// one-line failure text; *out_reply receives a json-c object the caller releases with
// json_object_put. Calls may run on many threads at once.
#pragma once

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "qzav/qz_export.h"

extern "C" {
QZ_API_BEGIN

// Per-request options. Every text is borrowed: it stays the caller's and must outlive the call.
typedef struct qz_gateway_opts {
    const char* proxy_host;  // empty or NULL: no proxy (not even one from the environment)
    const char* proxy_port;  // joined as "host:port" when non-empty
    const char* proxy_user;  // proxy credentials are sent only with both user and password
    const char* proxy_password;
    uint8_t verify_peer;  // verify the gateway's certificate chain
    uint8_t verify_host;  // verify that the certificate names the gateway's host
    const char* ca_file;  // CA bundle (PEM); empty or NULL: the system's trust store
    const char* path;     // appended to a server URL without a path of its own
} qz_gateway_opts;

// No proxy, no CA file, both verifications on, path "/vsi". NULL is ignored.
void qz_gateway_opts_defaults(qz_gateway_opts* opts);

// A request without payload for service (the gateway routes by the "X-Target-Service" header).
// Basic authentication when both user and password are given. opts NULL: the defaults.
// timeout_ms bounds the whole exchange.
int qz_gateway_send_recv_json(const char* server_url, const char* user, const char* password,
                              const char* service, const char* json, const qz_gateway_opts* opts,
                              unsigned long timeout_ms, json_object** out_reply, char* errbuf);

// The same with data_len bytes of data as a second part; the bytes are read from data while they
// are sent, never copied, so data must stay unchanged until the call returns.
int qz_gateway_send_recv_scan(const char* server_url, const char* user, const char* password,
                              const char* service, const char* json, const void* data,
                              size_t data_len, const qz_gateway_opts* opts,
                              unsigned long timeout_ms, json_object** out_reply, char* errbuf);
QZ_API_END
}

namespace qz::gateway {

// The largest response body accepted; a gateway that sends more is cut off with a clear error
// instead of growing the buffer until memory runs out. Service replies are small JSON objects.
constexpr size_t kMaxResponseBytes = 16u * 1024 * 1024;

// One exchange as the facade needs it: besides the result, whether sending the same request
// again could change anything. Rejected credentials, a certificate that is not trusted or a
// request the gateway calls malformed stay that way, so retrying them would only hammer the
// gateway (and could lock the account).
struct Outcome {
    json_object* reply = nullptr;  // the caller releases it
    bool permanent = false;        // failure that an identical request would repeat
};
Outcome exchange(const char* server_url, const char* user, const char* password,
                 const char* service, const char* json, const void* data, size_t data_len,
                 const qz_gateway_opts* opts, unsigned long timeout_ms, char* errbuf);

// Internals, exposed for the tests.

// The URL posted to: server_url as it is when it has a path of its own (something after the
// '/' that follows the host), else server_url joined to path with exactly one '/' between them.
std::string request_url(const char* server_url, const char* path);
// "host:port", or the host alone when the port is empty; "" when there is no host.
std::string proxy_address(const char* host, const char* port);
// The warning about switched-off certificate verification is written once per process; this
// lets it be written again.
void reset_unverified_warning();

}  // namespace qz::gateway
