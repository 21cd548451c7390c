#include "connection/nats_client.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "connection/nats_backoff.h"
#include "connection/nats_handles.h"
#include "connection/nats_kv.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace qz::nats {
namespace {

constexpr size_t kErrbufSize = 1024;
constexpr int kConnectAttempts = 5;
// Unlimited: with a bounded count a broker outage longer than a few seconds (20 jittered waits of
// 100-500 ms) would close the connection for good, and a host process that lives for months would
// fail every scan and strand every event until the next VsaInit.
constexpr int kMaxReconnect = -1;
constexpr int kReconnectBufferBytes = 8 * 1024 * 1024;
constexpr int64_t kConnectTimeoutMs = 10000;
constexpr int64_t kPingIntervalMs = 15000;
constexpr int kMaxPingsOut = 2;
constexpr uint64_t kWqFallbackWarnIntervalMs = 59999;
constexpr int64_t kLibraryCloseWaitMs = 5000;

// Milliseconds (monotonic) of the last work-queue fallback warning. A lost update between two
// threads only moves the moment the throttled warning appears.
std::atomic<uint64_t> s_wq_fallback_last_warn_ms{0};
// Connections opened by qz_nats_init and not yet closed by qz_nats_deinit.
std::atomic<int> s_open_connections{0};

void set_error(char* errbuf, const char* format, ...) __attribute__((format(printf, 2, 3)));
void set_error(char* errbuf, const char* format, ...) {
    if (errbuf == nullptr) return;
    va_list args;
    va_start(args, format);
    vsnprintf(errbuf, kErrbufSize, format, args);
    va_end(args);
}

void clear_error(char* errbuf) {
    if (errbuf != nullptr) errbuf[0] = '\0';
}

bool has_tls_scheme(const char* url) {
    return strncmp(url, "tls://", 6) == 0 || strncmp(url, "wss://", 6) == 0;
}

uint32_t lcg_next(uint32_t seed) { return seed * 1103515245u + 12345u; }

uint32_t low32_of(const void* address) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

uint32_t process_time_seed() {
    return static_cast<uint32_t>(QZ_GetProcessId()) ^ static_cast<uint32_t>(time(nullptr));
}

// The client's last error text of this thread, as " — text", or "" when there is none.
std::string last_error_suffix(natsConnection* nc) {
    const char* text = nullptr;
    if (nc != nullptr) {
        natsConnection_GetLastError(nc, &text);
    } else {
        text = nats_GetLastError(nullptr);
    }
    if (text == nullptr || *text == '\0') return {};
    return std::string(" \xE2\x80\x94 ") + text;
}

const char* status_name(natsConnStatus status) {
    switch (status) {
        case NATS_CONN_STATUS_DISCONNECTED:
            return "DISCONNECTED";
        case NATS_CONN_STATUS_CONNECTING:
            return "CONNECTING";
        case NATS_CONN_STATUS_CONNECTED:
            return "CONNECTED";
        case NATS_CONN_STATUS_CLOSED:
            return "CLOSED";
        case NATS_CONN_STATUS_RECONNECTING:
            return "RECONNECTING";
        default:
            return "UNKNOWN";
    }
}

bool is_transient(natsStatus s) {
    return s == NATS_IO_ERROR || s == NATS_NO_SERVER || s == NATS_TIMEOUT;
}

// The host part of a URL: after "://" up to the first '/', ':' or the end.
std::string url_host(const char* url) {
    const char* start = strstr(url, "://");
    start = start != nullptr ? start + 3 : url;
    return std::string(start, strcspn(start, "/:"));
}

// Sets the options of steps URL .. callbacks; -1 after tracing the failure.
int configure_options(const qz_connection_config* config, natsOptions* opts) {
    natsStatus s = natsOptions_SetURL(opts, config->server_url);
    if (s == NATS_OK) s = natsOptions_SetIgnoreDiscoveredServers(opts, true);
    if (s == NATS_OK && config->user != nullptr && config->password != nullptr) {
        s = natsOptions_SetUserInfo(opts, config->user, config->password);
    }
    if (s != NATS_OK) {
        LOG_ERROR("NATS: failed to create options: %s", natsStatus_GetText(s));
        return -1;
    }

    const bool tls = has_tls_scheme(config->server_url);
    LOG_DEBUG("server_url=%s (scheme implies TLS=%s)", config->server_url, tls ? "yes" : "no");
    if (tls) {
        s = natsOptions_SetSecure(opts, true);
        if (s != NATS_OK) {
            LOG_ERROR("SetSecure(true) failed: %s", natsStatus_GetText(s));
            return -1;
        }
#if NATS_VERSION_NUMBER >= 0x030700
        s = natsOptions_SetTLSHandshakeFirst(opts);
        if (s != NATS_OK) {
            LOG_ERROR("TLSHandshakeFirst() failed: %s", natsStatus_GetText(s));
            return -1;
        }
#else
        LOG_DEBUG(
            "TLSHandshakeFirst() not available in cnats %s: TLS starts after the INFO "
            "exchange",
            NATS_VERSION_STRING);
#endif
        const std::string host = url_host(config->server_url);
        if (!host.empty() && host.size() <= 255) {
            s = natsOptions_SetExpectedHostname(opts, host.c_str());
            if (s != NATS_OK) {
                LOG_WARN("SetExpectedHostname(%s) failed: %s \xE2\x80\x94 continuing", host.c_str(),
                         natsStatus_GetText(s));
            }
        }
    }

    if (config->cert_path != nullptr) {
        LOG_DEBUG("loading CA trust from file: %s", config->cert_path);
        s = natsOptions_LoadCATrustedCertificates(opts, config->cert_path);
        if (s != NATS_OK) {
            LOG_ERROR("LoadCATrustedCertificates(%s) failed: %s", config->cert_path,
                      natsStatus_GetText(s));
            return -1;
        }
    } else {
        LOG_DEBUG("no cert_path configured \xE2\x80\x94 falling back to system trust store");
    }

    if (config->client_cert != nullptr && config->client_key != nullptr) {
        LOG_DEBUG("configuring mTLS client cert=%s key=%s", config->client_cert,
                  config->client_key);
        s = natsOptions_LoadCertificatesChain(opts, config->client_cert, config->client_key);
        if (s != NATS_OK) {
            LOG_ERROR("TLS-DEBUG: LoadCertificatesChain failed: %s", natsStatus_GetText(s));
            return -1;
        }
        LOG_DEBUG("Client certificate chain loaded");
    } else {
        LOG_DEBUG("No client cert/key configured (user/password auth)");
    }

    const int wait_ms = reconnect_wait_ms(process_time_seed() ^ low32_of(opts));
    s = natsOptions_SetMaxReconnect(opts, kMaxReconnect);
    if (s == NATS_OK) s = natsOptions_SetReconnectWait(opts, wait_ms);
    if (s == NATS_OK) s = natsOptions_SetReconnectBufSize(opts, kReconnectBufferBytes);
    if (s == NATS_OK) s = natsOptions_SetTimeout(opts, kConnectTimeoutMs);
    if (s == NATS_OK) s = natsOptions_SetPingInterval(opts, kPingIntervalMs);
    if (s == NATS_OK) s = natsOptions_SetMaxPingsOut(opts, kMaxPingsOut);
    if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(opts, disconnected_cb, nullptr);
    if (s == NATS_OK) s = natsOptions_SetReconnectedCB(opts, reconnected_cb, nullptr);
    if (s == NATS_OK) s = natsOptions_SetClosedCB(opts, closed_cb, nullptr);
    if (s != NATS_OK) {
        LOG_ERROR("NATS: failed to create options: %s", natsStatus_GetText(s));
        return -1;
    }
    LOG_DEBUG("NATS reconnect wait jittered to %d ms", wait_ms);
    return 0;
}

// Connect attempts with growing pauses. The first four fail fast, so the pauses are ours; the
// last one lets the client library keep retrying in the background when the broker is still
// away, and returns its not-yet-connected handle. (Retrying on a failed connect without a
// connected callback would instead block each attempt for the whole reconnect budget and then
// return no handle at all.)
ConnectionPtr connect_with_retries(const char* url, natsOptions* opts, bool tls_without_client_cert,
                                   natsStatus* last_status) {
    uint32_t seed = (2u * low32_of(opts)) ^ process_time_seed();
    natsStatus s = NATS_OK;
    for (int attempt = 1; attempt <= kConnectAttempts; ++attempt) {
        const bool final_attempt = attempt == kConnectAttempts;
        s = natsOptions_SetRetryOnFailedConnect(opts, final_attempt,
                                                final_attempt ? connected_cb : nullptr, nullptr);
        natsConnection* raw = nullptr;
        if (s == NATS_OK) s = natsConnection_Connect(&raw, opts);
        ConnectionPtr nc(raw);
        *last_status = s;
        if (s == NATS_OK) return nc;
        const bool transient = is_transient(s) || (final_attempt && s == NATS_NOT_YET_CONNECTED);
        if (!transient) {
            LOG_ERROR("NATS: connect to %s failed permanently on attempt %d/%d: %s%s", url, attempt,
                      kConnectAttempts, natsStatus_GetText(s), last_error_suffix(nc.get()).c_str());
            // A broker that verifies client certificates drops a client without one right after
            // the handshake, which the client library only reports as a protocol error.
            if (tls_without_client_cert && s != NATS_SSL_ERROR) {
                LOG_ERROR(
                    "NATS: the TLS broker at %s closed the connection after the handshake; "
                    "if it requires client certificates, configure client_cert and "
                    "client_key",
                    url);
            }
            return nullptr;
        }
        if (final_attempt) {
            LOG_WARN(
                "NATS: connect to %s still failing on final attempt %d/%d (%s) \xE2\x80\x94 "
                "handing off to background reconnect (MaxReconnect=%d)",
                url, attempt, kConnectAttempts, natsStatus_GetText(s), kMaxReconnect);
            return nc;
        }
        const int delay = connect_retry_delay_ms(attempt, &seed);
        LOG_WARN(
            "NATS: connect to %s failed transiently on attempt %d/%d (%s) \xE2\x80\x94 "
            "retrying in %d ms",
            url, attempt, kConnectAttempts, natsStatus_GetText(s), delay);
        nc.reset();
        QZ_Sleep(delay);
    }
    return nullptr;
}

void log_post_connect(natsConnection* nc, bool tls_requested, const char* server_url) {
    const natsConnStatus status = natsConnection_Status(nc);
    const char* last_error = nullptr;
    const natsStatus last_status = natsConnection_GetLastError(nc, &last_error);
    LOG_DEBUG("Post-connect status=%s last_err_status=%s last_err=%s", status_name(status),
              natsStatus_GetText(last_status),
              last_error != nullptr && *last_error != '\0' ? last_error : "(none)");
    char url[256] = "";
    natsConnection_GetConnectedUrl(nc, url, sizeof(url));
    const bool tls_url = has_tls_scheme(url);
    LOG_DEBUG("Negotiated connected_url=%s (scheme implies TLS=%s)", url[0] ? url : "(empty)",
              tls_url ? "yes" : "no");
    if (!tls_requested) return;
    if (status == NATS_CONN_STATUS_CONNECTED && !tls_url) {
        LOG_ERROR(
            "*** TLS requested via %s but negotiated url is %s \xE2\x80\x94 connection is NOT "
            "encrypted. Likely causes: server has allow_non_tls=true and cnats did not initiate "
            "the TLS handshake, OR the cnats build in use does not enforce SetSecure(true) for "
            "this scheme.",
            server_url, url[0] ? url : "(empty)");
    } else if (status != NATS_CONN_STATUS_CONNECTED) {
        LOG_WARN(
            "Connection not yet established \xE2\x80\x94 if this persists, the handshake is "
            "failing. Common causes: (1) server cert SAN does not cover the URL hostname or "
            "resolved IP, (2) server cert not signed by the CA in cert_path, (3) server presented "
            "an expired cert or clock skew.");
    }
}

// The caller's request text with members added; empty when the text is not a JSON object.
std::string with_members(const char* json,
                         std::initializer_list<std::pair<const char*, const char*>> members) {
    JsonPtr object(json_tokener_parse(json));
    if (!object || !json_object_is_type(object.get(), json_type_object)) return {};
    for (const auto& [name, value] : members) {
        json_object_object_add(object.get(), name, json_object_new_string(value));
    }
    const char* text = json_object_to_json_string_ext(object.get(), JSON_C_TO_STRING_PLAIN);
    return text != nullptr ? std::string(text) : std::string();
}

// Empty data, a parse failure or the parsed reply; the message stays the caller's.
json_object* reply_from_message(natsMsg* msg, const char* subject, char* errbuf) {
    const int length = natsMsg_GetDataLength(msg);
    if (length < 1) {
        LOG_WARN("NATS: received empty reply from %s", subject);
        set_error(errbuf, "NATS: received empty reply from %s", subject);
        return nullptr;
    }
    LOG_TRACE("NATS: received reply from %s (%d bytes):\n%.*s", subject, length, length,
              natsMsg_GetData(msg));
    return parse_reply(natsMsg_GetData(msg), length, subject, errbuf);
}

void log_request_failure(natsStatus s, const char* subject, uint32_t waited, char* errbuf) {
    if (s == NATS_TIMEOUT) {
        LOG_DEBUG("NATS: request to %s timed out after %lums", subject,
                  static_cast<unsigned long>(waited));
        set_error(errbuf, "NATS: request to %s timed out", subject);
    } else {
        // Success without a message also lands here, with the text of NATS_OK.
        LOG_ERROR("NATS: request to %s failed: %s", subject, natsStatus_GetText(s));
        set_error(errbuf, "NATS: request to %s failed: %s", subject, natsStatus_GetText(s));
    }
}

// Core request/reply attempts (retries + 1; none for UINT32_MAX). The back-off state is shared
// with the caller so that an earlier no-responders sleep counts against the same budget.
// give_up_timeout is the timeout that bounds the back-off, wait the per-attempt wait.
json_object* core_request(natsConnection* nc, const char* subject, const std::string& payload,
                          uint32_t wait, uint32_t give_up_timeout, uint32_t retries,
                          qz_nats_nr* backoff, char* errbuf) {
    if (retries == UINT32_MAX) return nullptr;
    const uint64_t attempts = static_cast<uint64_t>(retries) + 1;
    for (uint64_t attempt = 1; attempt <= attempts;) {
        natsMsg* raw = nullptr;
        const natsStatus s = natsConnection_Request(&raw, nc, subject, payload.data(),
                                                    static_cast<int>(payload.size()),
                                                    qz_nats_nr_attempt_timeout_ms(backoff, wait));
        MsgPtr msg(raw);
        if (s == NATS_NO_RESPONDERS && qz_nats_nr_should_retry(backoff, give_up_timeout, subject)) {
            continue;
        }
        if (s == NATS_OK && msg) return reply_from_message(msg.get(), subject, errbuf);
        log_request_failure(s, subject, wait, errbuf);
        if (attempt < attempts) {
            LOG_DEBUG("NATS: retrying %s... retries left: %d", subject,
                      static_cast<int>(attempts - attempt - 1));
        }
        ++attempt;
    }
    return nullptr;
}

}  // namespace

bool js_services_contains(const char* js_services, const char* subject) {
    if (js_services == nullptr || subject == nullptr) return false;
    std::string_view list(js_services);
    const std::string_view wanted(subject);
    while (true) {
        const size_t comma = list.find(',');
        std::string_view entry = list.substr(0, comma);
        while (!entry.empty() && (entry.front() == ' ' || entry.front() == '\t')) {
            entry.remove_prefix(1);
        }
        while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\t')) {
            entry.remove_suffix(1);
        }
        if (!entry.empty() && entry == wanted) return true;
        if (comma == std::string_view::npos) return false;
        list.remove_prefix(comma + 1);
    }
}

int reconnect_wait_ms(uint32_t seed) {
    const uint32_t r = (lcg_next(seed) >> 16) & 0x7FFFu;
    return 100 + static_cast<int>(r % 401u);
}

int connect_retry_delay_ms(int attempt, uint32_t* seed) {
    const uint32_t base = 200u << (attempt - 1);
    *seed = lcg_next(*seed);
    const uint32_t r = (*seed >> 16) & 0x7FFFu;
    return static_cast<int>(base + r % (base / 2 + 1));
}

int reply_return_code(json_object* reply, const char* subject) {
    const char* from = subject != nullptr ? subject : "(unknown)";
    if (reply == nullptr) return -1;
    json_object* code = nullptr;
    if (!json_object_is_type(reply, json_type_object) ||
        !json_object_object_get_ex(reply, "ReturnCode", &code)) {
        LOG_ERROR("reply from %s has no \"ReturnCode\" member", from);
        return -1;
    }
    // json-c would read "7" or 7.9 as 7 and "x" as 0 (success); only a JSON integer counts.
    if (!json_object_is_type(code, json_type_int)) {
        LOG_ERROR("reply from %s has a \"ReturnCode\" that is not an integer: %s", from,
                  json_object_to_json_string_ext(code, JSON_C_TO_STRING_PLAIN));
        return -1;
    }
    const int64_t value = json_object_get_int64(code);
    if (value < INT32_MIN || value > INT32_MAX) {
        LOG_ERROR("reply from %s has a \"ReturnCode\" out of range: %lld", from,
                  static_cast<long long>(value));
        return -1;
    }
    return static_cast<int>(value);
}

json_object* parse_reply(const char* data, int length, const char* subject, char* errbuf) {
    if (data == nullptr || length < 1) return nullptr;
    std::unique_ptr<json_tokener, HandleDeleter<json_tokener, json_tokener_free>> tokener(
        json_tokener_new());
    if (!tokener) return nullptr;
    JsonPtr object(json_tokener_parse_ex(tokener.get(), data, length));
    const json_tokener_error error = json_tokener_get_error(tokener.get());
    const char* why = nullptr;
    if (!object) {
        why = error == json_tokener_continue ? "unexpected end of data"
                                             : json_tokener_error_desc(error);
    } else {
        for (size_t i = json_tokener_get_parse_end(tokener.get()); i < static_cast<size_t>(length);
             ++i) {
            const unsigned char c = static_cast<unsigned char>(data[i]);
            if (c != '\0' && !isspace(c)) {
                why = "trailing data after the JSON value";
                break;
            }
        }
    }
    if (why != nullptr) {
        LOG_ERROR("NATS: failed to parse reply JSON from %s: %s", subject, why);
        set_error(errbuf, "NATS: failed to parse reply JSON from %s: %s", subject, why);
        return nullptr;
    }
    return object.release();
}

}  // namespace qz::nats

using namespace qz::nats;

extern "C" {

void disconnected_cb(natsConnection* nc, void* /*closure*/) {
    const char* text = nullptr;
    const natsStatus s = natsConnection_GetLastError(nc, &text);
    if (text != nullptr && *text != '\0') {
        LOG_WARN("TLS-DEBUG: NATS connection lost \xE2\x80\x94 last_err_status=%s last_err=%s",
                 natsStatus_GetText(s), text);
    } else {
        LOG_WARN("NATS: connection lost \xE2\x80\x94 attempting reconnect");
    }
}

void reconnected_cb(natsConnection* nc, void* /*closure*/) {
    char url[256] = "";
    natsConnection_GetConnectedUrl(nc, url, sizeof(url));
    LOG_INFO("NATS: reconnected to %s", url);
}

void closed_cb(natsConnection* /*nc*/, void* /*closure*/) { LOG_WARN("NATS: connection closed"); }

void connected_cb(natsConnection* nc, void* /*closure*/) {
    char url[256] = "";
    natsConnection_GetConnectedUrl(nc, url, sizeof(url));
    LOG_INFO("NATS: connected to %s (background connect)", url);
}

qz_connection_config* qz_nats_config_new(void) {
    return static_cast<qz_connection_config*>(calloc(1, sizeof(qz_connection_config)));
}

int qz_nats_init(qz_connection_config* config) {
    if (config == nullptr || config->server_url == nullptr) {
        LOG_ERROR("NATS: config or server_url is NULL");
        return -1;
    }
    LOG_DEBUG("cnats library runtime version: %s", nats_GetVersion());

    natsOptions* raw_opts = nullptr;
    const natsStatus created = natsOptions_Create(&raw_opts);
    OptionsPtr opts(raw_opts);
    if (created != NATS_OK) {
        LOG_ERROR("NATS: failed to create options: %s", natsStatus_GetText(created));
        return -1;
    }
    if (configure_options(config, opts.get()) != 0) return -1;

    natsStatus last_status = NATS_OK;
    const bool tls_without_client_cert =
        has_tls_scheme(config->server_url) &&
        (config->client_cert == nullptr || config->client_key == nullptr);
    ConnectionPtr nc =
        connect_with_retries(config->server_url, opts.get(), tls_without_client_cert, &last_status);
    opts.reset();
    if (!nc) {
        if (is_transient(last_status)) {
            LOG_ERROR("NATS: failed to obtain connection handle to %s after %d attempts: %s",
                      config->server_url, kConnectAttempts, natsStatus_GetText(last_status));
        }
        return -1;
    }
    log_post_connect(nc.get(), has_tls_scheme(config->server_url), config->server_url);

    jsCtx* raw_js = nullptr;
    const natsStatus js_status = natsConnection_JetStream(&raw_js, nc.get(), nullptr);
    if (js_status != NATS_OK) {
        LOG_WARN("NATS: JetStream init failed: %s \xE2\x80\x94 binary data transfer will not work",
                 natsStatus_GetText(js_status));
        raw_js = nullptr;
    }
    char url[256] = "";
    natsConnection_GetConnectedUrl(nc.get(), url, sizeof(url));
    config->conn = nc.release();
    config->js = raw_js;
    s_open_connections.fetch_add(1);
    LOG_INFO("NATS: connected to %s (user=%s, jetstream=%s)", url,
             config->user != nullptr ? config->user : "(none)", raw_js != nullptr ? "yes" : "no");
    return 0;
}

void qz_nats_deinit(qz_connection_config* config) {
    if (config == nullptr) return;
    qz_nats_kv_release_handles(config);
    if (config->js != nullptr) {
        jsCtx_Destroy(config->js);
        config->js = nullptr;
    }
    if (config->conn != nullptr) {
        natsConnection_Close(config->conn);
        natsConnection_Destroy(config->conn);
        config->conn = nullptr;
        s_open_connections.fetch_sub(1);
    }
    LOG_INFO("NATS: disconnected");
}

int qz_nats_close_library(void) {
    const int open = s_open_connections.load();
    if (open > 0) {
        LOG_DEBUG("NATS: library teardown skipped: %d connection(s) still open", open);
        return 1;
    }
    const natsStatus s = nats_CloseAndWait(kLibraryCloseWaitMs);
    if (s != NATS_OK) {
        LOG_WARN("NATS: library teardown did not finish within %lld ms: %s",
                 static_cast<long long>(kLibraryCloseWaitMs), natsStatus_GetText(s));
        return -1;
    }
    return 0;
}

json_object* qz_nats_send_recv_json(qz_connection_config* config, const char* subject,
                                    const char* json, uint32_t timeout, uint32_t retries,
                                    char* errbuf) {
    clear_error(errbuf);
    if (config == nullptr || config->conn == nullptr || subject == nullptr || json == nullptr) {
        set_error(errbuf, "NATS: invalid parameters for send_recv_json");
        return nullptr;
    }
    LOG_TRACE("NATS: sending request to %s (timeout: %ums):\n%s", subject, timeout, json);
    qz_nats_nr backoff;
    qz_nats_nr_init(&backoff);
    return core_request(config->conn, subject, json, timeout, timeout, retries, &backoff, errbuf);
}

natsStatus qz_nats_js_publish_and_wait(qz_connection_config* config, const char* subject,
                                       const char* json, uint32_t timeout, natsMsg** reply) {
    *reply = nullptr;
    if (config->js == nullptr) {
        LOG_ERROR("NATS: JS send to %s requested but this connection has no JetStream context",
                  subject);
        return NATS_ERR;
    }
    char queue_subject[256];
    if (snprintf(queue_subject, sizeof(queue_subject), "jobs.%s", subject) >=
        static_cast<int>(sizeof(queue_subject))) {
        LOG_ERROR("NATS: work-queue subject for '%s' is longer than 255 characters", subject);
        return NATS_ERR;
    }
    char reqid[QZ_NATS_UNIQUE_KEY_SIZE];
    generate_unique_key(reqid, sizeof(reqid));
    natsInbox* raw_inbox = nullptr;
    natsStatus s = natsInbox_Create(&raw_inbox);
    InboxPtr inbox(raw_inbox);
    if (s != NATS_OK) return s;

    std::string job;
    try {
        job = with_members(json, {{"_reqid", reqid}, {"_reply_subj", inbox.get()}});
    } catch (const std::bad_alloc&) {
        return NATS_NO_MEMORY;
    }
    if (job.empty()) return NATS_ERR;

    natsSubscription* raw_sub = nullptr;
    s = natsConnection_SubscribeSync(&raw_sub, config->conn, inbox.get());
    SubscriptionPtr sub(raw_sub);
    if (s != NATS_OK) return s;

    LOG_DEBUG("NATS: send to '%s' via JS work queue '%s' (reqid=%s)", subject, queue_subject,
              reqid);
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MsgId = reqid;
    // The acknowledgement must not outwait the caller's whole budget when the broker is away.
    options.MaxWait = timeout;
    jsPubAck* raw_ack = nullptr;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    s = js_Publish(&raw_ack, config->js, queue_subject, job.data(), static_cast<int>(job.size()),
                   &options, &jerr);
    PubAckPtr ack(raw_ack);
    if (s != NATS_OK) {
        LOG_WARN("NATS: JS publish to '%s' failed: %s (jerr=%d)", queue_subject,
                 natsStatus_GetText(s), static_cast<int>(jerr));
        return s;
    }
    natsMsg* raw_reply = nullptr;
    s = natsSubscription_NextMsg(&raw_reply, sub.get(), timeout);
    natsSubscription_Unsubscribe(sub.get());
    *reply = raw_reply;
    return s;
}

json_object* qz_nats_send_recv_json_data(qz_connection_config* config, const char* subject,
                                         qz_request_reply* pair, uint32_t timeout,
                                         uint32_t extra_timeout, uint32_t retries, char* errbuf) {
    clear_error(errbuf);
    // The reply text of an earlier exchange is the caller's no more once this call returns.
    struct ReplyCleanup {
        qz_request_reply* pair;
        ~ReplyCleanup() {
            if (pair != nullptr && pair->reply != nullptr && pair->reply->json != nullptr) {
                free(pair->reply->json);
                pair->reply->json = nullptr;
            }
        }
    } cleanup{pair};

    if (config == nullptr || config->conn == nullptr || subject == nullptr || pair == nullptr ||
        pair->request == nullptr || pair->request->json == nullptr) {
        set_error(errbuf, "NATS: invalid parameters for send_recv_json_data");
        return nullptr;
    }
    const qz_message* request = pair->request;
    const uint64_t sum = static_cast<uint64_t>(timeout) + extra_timeout;
    const uint32_t wait = sum > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sum);

    std::string key;
    bool staged_here = false;
    if (request->staged_key != nullptr && request->staged_key[0] != '\0') {
        key = request->staged_key;
    } else if (request->data != nullptr && request->data_len != 0) {
        char* staged = nullptr;
        char stage_error[kErrbufSize] = "";
        if (qz_nats_stage_scan_data(config, request->data, request->data_len, wait, &staged,
                                    stage_error) != 0 ||
            staged == nullptr) {
            free(staged);
            set_error(errbuf, "NATS: failed to store binary data in KV store");
            return nullptr;
        }
        key = staged;
        free(staged);
        staged_here = true;
    }

    std::string payload = request->json;
    if (!key.empty()) {
        std::string extended = with_members(request->json, {{"_kv_key", key.c_str()}});
        if (!extended.empty()) payload = std::move(extended);
    }

    qz_nats_nr backoff;
    qz_nats_nr_init(&backoff);
    json_object* reply = nullptr;
    bool use_core = true;
    if (config->js_services != nullptr && js_services_contains(config->js_services, subject)) {
        use_core = false;
        natsMsg* raw = nullptr;
        const natsStatus s =
            qz_nats_js_publish_and_wait(config, subject, payload.c_str(), wait, &raw);
        MsgPtr msg(raw);
        if (s == NATS_OK && msg) {
            reply = reply_from_message(msg.get(), subject, errbuf);
        } else if (s == NATS_NO_RESPONDERS) {
            const uint64_t now = qz_monotonic_ms();
            if (now - s_wq_fallback_last_warn_ms.load(std::memory_order_relaxed) >
                kWqFallbackWarnIntervalMs) {
                LOG_WARN(
                    "NATS: work queue for '%s' has no stream (broker not provisioned with "
                    "it?) \xE2\x80\x94 falling back to core request/reply (throttled)",
                    subject);
                s_wq_fallback_last_warn_ms.store(now, std::memory_order_relaxed);
            }
            use_core = true;
        } else {
            log_request_failure(s, subject, wait, errbuf);
        }
    }
    if (use_core) {
        reply =
            core_request(config->conn, subject, payload, wait, timeout, retries, &backoff, errbuf);
    }
    // A failed call leaves the staged payload to its TTL: a worker may still be reading it.
    if (reply != nullptr && staged_here) qz_nats_unstage_scan_data(config, key.c_str());
    return reply;
}

int qz_nats_simple_request(qz_connection_config* config, const char* subject, const char* json,
                           uint32_t timeout, uint32_t retries, char* errbuf) {
    JsonPtr reply(qz_nats_send_recv_json(config, subject, json, timeout, retries, errbuf));
    if (!reply) return -1;
    return reply_return_code(reply.get(), subject);
}
}
