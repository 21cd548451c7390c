#include "connection/connection.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "connection/http_gateway_client.h"
#include "connection/nats_client.h"
#include "connection/nats_handles.h"
#include "log/log.h"

namespace {

constexpr size_t kErrbufSize = 1024;

bool gateway_mode(const qz_connection_config* config) {
    const char* url = config != nullptr ? config->server_url : nullptr;
    return url != nullptr && (strncmp(url, "http://", 7) == 0 || strncmp(url, "https://", 8) == 0);
}

char* copy_text(const char* text) { return text != nullptr ? strdup(text) : nullptr; }

// What one gateway request carries; the texts and the payload stay the caller's.
struct GatewayRequest {
    const char* subject;
    const char* json;
    const void* data;
    size_t data_len;
    unsigned long timeout_ms;
};

// Attempts 1 .. retries + 1 back to back; retries is taken as unsigned, so -1 makes no attempt.
// A failure the gateway would repeat for the same request (rejected credentials, an untrusted
// certificate, a malformed request) ends the loop at once instead of hammering the gateway.
json_object* gateway_with_retries(const qz_connection_config* config, const char* caller,
                                  const GatewayRequest& request, uint32_t retries, char* errbuf) {
    char own[kErrbufSize];
    char* message = errbuf != nullptr ? errbuf : own;
    message[0] = '\0';
    qz_gateway_opts opts;
    qz_gateway_opts_defaults(&opts);
    opts.proxy_host = config->proxy_host;
    opts.proxy_port = config->proxy_port;
    opts.proxy_user = config->proxy_user;
    opts.proxy_password = config->proxy_password;
    opts.ca_file = config->cert_path;
    const char* subject = request.subject != nullptr ? request.subject : "(null)";
    const uint32_t attempts = retries + 1;
    for (uint32_t n = 1; n <= attempts && n != 0; ++n) {
        const qz::gateway::Outcome outcome = qz::gateway::exchange(
            config->server_url, config->user, config->password, request.subject, request.json,
            request.data, request.data_len, &opts, request.timeout_ms, message);
        if (outcome.reply != nullptr) return outcome.reply;
        LOG_DEBUG("%s: HTTP attempt %u/%u to %s failed: %s", caller, n, attempts, subject, message);
        if (outcome.permanent && n < attempts) {
            LOG_WARN("%s: not retrying %s: the gateway would refuse the same request again (%s)",
                     caller, subject, message);
            break;
        }
    }
    return nullptr;
}

// -1 keeps its meaning (send nothing); any other negative count would read as some four billion
// retries once taken as unsigned, so it counts as 0.
uint32_t retry_count(int32_t retries) { return retries < -1 ? 0u : static_cast<uint32_t>(retries); }

}  // namespace

extern "C" {

qz_connection_config* qz_connection_config_new(void) { return qz_nats_config_new(); }

void qz_connection_config_free(qz_connection_config* config) {
    if (config == nullptr) return;
    char** texts[] = {&config->server_url,   &config->user,          &config->password,
                      &config->cert_path,    &config->client_cert,   &config->client_key,
                      &config->js_services,  &config->broker_host,   &config->broker_port,
                      &config->default_user, &config->default_password, &config->proxy_host,
                      &config->proxy_port,   &config->proxy_user,    &config->proxy_password};
    for (char** text : texts) {
        free(*text);
        *text = nullptr;
    }
    free(config);
}

int qz_connection_init(qz_connection_config* config) {
    if (config != nullptr) {
        if (config->server_url == nullptr && config->broker_host != nullptr &&
            config->broker_port != nullptr) {
            const size_t size = strlen(config->broker_host) + strlen(config->broker_port) + 8;
            char* url = static_cast<char*>(malloc(size));
            if (url == nullptr) {
                LOG_ERROR("Failed to allocate %s", "server_url");
                return -1;
            }
            snprintf(url, size, "tls://%s:%s", config->broker_host, config->broker_port);
            config->server_url = url;
            LOG_INFO(
                "qz_connection_init: synthesised server_url=%s from broker_host/broker_port "
                "(no explicit URL supplied; tls:// is the default \xE2\x80\x94 set "
                "cfg->server_url before calling if you need a different scheme)",
                url);
        }
        if (config->user == nullptr && config->default_user != nullptr) {
            config->user = copy_text(config->default_user);
        }
        if (config->password == nullptr && config->default_password != nullptr) {
            config->password = copy_text(config->default_password);
        }
    }
    if (!gateway_mode(config)) return qz_nats_init(config);

    const CURLcode rc = curl_global_init(CURL_GLOBAL_ALL);
    if (rc != CURLE_OK) {
        LOG_ERROR("qz_connection_init: curl_global_init failed: %s", curl_easy_strerror(rc));
        return -1;
    }
    LOG_INFO("qz_connection_init: HTTP gateway mode (server=%s user=%s proxy=%s)",
             config->server_url, config->user != nullptr ? config->user : "(none)",
             config->proxy_host != nullptr && config->proxy_host[0] != '\0' ? config->proxy_host
                                                                            : "(none)");
    if (strncmp(config->server_url, "http://", 7) == 0) {
        LOG_WARN(
            "qz_connection_init: the HTTP gateway URL %s is not encrypted: the gateway password "
            "and every scanned object cross the network in clear text; use https://",
            config->server_url);
    }
    return 0;
}

void qz_connection_deinit(qz_connection_config* config) {
    if (config == nullptr || gateway_mode(config)) return;
    qz_nats_deinit(config);
}

json_object* qz_connection_send_recv_json(qz_connection_config* config, const char* subject,
                                          const char* json, uint32_t timeout, int32_t retries,
                                          char* errbuf) {
    if (!gateway_mode(config)) {
        return qz_nats_send_recv_json(config, subject, json, timeout, retry_count(retries), errbuf);
    }
    return gateway_with_retries(config, "qz_connection_send_recv_json",
                                {subject, json, nullptr, 0, timeout}, retry_count(retries), errbuf);
}

json_object* qz_connection_send_recv_json_data(qz_connection_config* config, const char* subject,
                                               qz_request_reply* pair, uint32_t timeout,
                                               uint32_t extra_timeout, int32_t retries,
                                               char* errbuf) {
    if (!gateway_mode(config)) {
        return qz_nats_send_recv_json_data(config, subject, pair, timeout, extra_timeout,
                                           retry_count(retries), errbuf);
    }
    if (pair == nullptr || pair->request == nullptr) {
        if (errbuf != nullptr) {
            snprintf(errbuf, kErrbufSize,
                     "HTTP gateway: invalid parameters for send_recv_json_data");
        }
        LOG_ERROR("qz_connection_send_recv_json_data: no request to send to %s",
                  subject != nullptr ? subject : "(null)");
        return nullptr;
    }
    // The sum in 64 bits: two large 32-bit time-outs must not wrap into a short one.
    const GatewayRequest request{subject, pair->request->json, pair->request->data,
                                 pair->request->data_len,
                                 static_cast<unsigned long>(timeout) + extra_timeout};
    json_object* reply = gateway_with_retries(config, "qz_connection_send_recv_json_data", request,
                                              retry_count(retries), errbuf);
    if (reply != nullptr && pair->reply != nullptr) {
        free(pair->reply->json);
        pair->reply->json = copy_text(json_object_to_json_string(reply));
    }
    return reply;
}

int qz_connection_simple_request(qz_connection_config* config, const char* subject,
                                 const char* json, uint32_t timeout, int32_t retries,
                                 char* errbuf) {
    if (!gateway_mode(config)) {
        return qz_nats_simple_request(config, subject, json, timeout, retry_count(retries), errbuf);
    }
    qz::nats::JsonPtr reply(gateway_with_retries(config, "qz_connection_send_recv_json",
                                                 {subject, json, nullptr, 0, timeout},
                                                 retries < 0 ? 0u : retry_count(retries), errbuf));
    if (!reply) return -1;
    return qz::nats::reply_return_code(reply.get(), subject);
}

int qz_connection_stage_scan_data(qz_connection_config* config, const void* data, size_t length,
                                  uint32_t timeout, char** out_key, char* errbuf) {
    if (out_key == nullptr) return -1;
    *out_key = nullptr;
    if (config == nullptr || data == nullptr || length == 0) return -1;
    if (gateway_mode(config)) return 0;
    return qz_nats_stage_scan_data(config, data, length, timeout, out_key, errbuf);
}

void qz_connection_unstage_scan_data(qz_connection_config* config, const char* key) {
    if (config == nullptr || key == nullptr || gateway_mode(config)) return;
    qz_nats_unstage_scan_data(config, key);
}

int qz_connection_registry_put(qz_connection_config* config, const char* worker_key,
                               const char* value, int64_t ttl) {
    if (config == nullptr || worker_key == nullptr || value == nullptr) return -1;
    if (gateway_mode(config)) return 0;
    return qz_nats_registry_put(config, worker_key, value, ttl);
}

void qz_connection_registry_delete(qz_connection_config* config, const char* worker_key) {
    if (config == nullptr || worker_key == nullptr || gateway_mode(config)) return;
    qz_nats_registry_delete(config, worker_key);
}

int qz_connection_kv_get(qz_connection_config* config, const char* bucket, const char* key,
                         char** out_value, size_t* out_len) {
    if (out_value != nullptr) *out_value = nullptr;
    if (out_len != nullptr) *out_len = 0;
    if (config == nullptr || bucket == nullptr || key == nullptr || out_value == nullptr) {
        return -1;
    }
    if (gateway_mode(config)) return 1;
    return qz_nats_kv_get(config, bucket, key, out_value, out_len);
}

int qz_connection_kv_put(qz_connection_config* config, const char* bucket, const char* key,
                         const char* value, int64_t ttl) {
    if (config == nullptr || bucket == nullptr || key == nullptr || value == nullptr) return -1;
    if (gateway_mode(config)) return 0;
    return qz_nats_kv_put(config, bucket, key, value, ttl);
}

void qz_connection_kv_delete(qz_connection_config* config, const char* bucket, const char* key) {
    if (config == nullptr || bucket == nullptr || key == nullptr || gateway_mode(config)) return;
    qz_nats_kv_delete(config, bucket, key);
}

int qz_connection_kv_keys(qz_connection_config* config, const char* bucket, const char* prefix,
                          qz_nats_kv_key_fn callback, void* context) {
    if (config == nullptr || bucket == nullptr || callback == nullptr) return -1;
    if (gateway_mode(config)) return 0;
    return qz_nats_kv_keys(config, bucket, prefix, callback, context);
}

int qz_connection_kv_snapshot(qz_connection_config* config, const char* bucket,
                              qz_nats_kv_entry_fn callback, void* context) {
    if (config == nullptr || bucket == nullptr || callback == nullptr) return -1;
    if (gateway_mode(config)) return -1;
    return qz_nats_kv_snapshot(config, bucket, callback, context);
}

int qz_connection_kv_lease(qz_connection_config* config, const char* bucket, const char* key,
                           const char* owner, int64_t ttl) {
    if (config == nullptr || bucket == nullptr || key == nullptr || owner == nullptr) return -1;
    if (gateway_mode(config)) return 1;
    return qz_nats_kv_lease(config, bucket, key, owner, ttl);
}

int qz_connection_start_service_handler_threads(qz_connection_config* config, const char* subject,
                                                qz_request_handler_fn handler, void* closure,
                                                volatile int32_t* stop_flag, int thread_count) {
    if (gateway_mode(config)) {
        LOG_ERROR(
            "qz_connection_start_service_handler_threads: HTTP gateway mode is client-only; "
            "cannot run service handler threads for service '%s' (server_url=%s)",
            subject != nullptr ? subject : "(null)", config->server_url);
        return -1;
    }
    return qz_nats_start_service_handler_threads(config, subject, handler, closure, stop_flag,
                                                 thread_count);
}

int qz_connection_start_js_work_consumer(qz_connection_config* config, const char* service,
                                         qz_request_handler_fn handler, void* closure,
                                         volatile int32_t* stop_flag, int puller_count,
                                         QZ_SEM_HANDLE slot_semaphore) {
    if (gateway_mode(config)) {
        LOG_ERROR(
            "qz_connection_start_js_work_consumer: HTTP gateway mode is client-only; cannot "
            "run JS work-queue pullers for service '%s' (server_url=%s)",
            service != nullptr ? service : "(null)", config->server_url);
        return -1;
    }
    return qz_nats_start_js_work_consumer(config, service, handler, closure, stop_flag,
                                          puller_count, slot_semaphore);
}

int qz_connection_join_worker_threads(volatile int32_t* stop_flag, long timeout_ms) {
    return qz_nats_join_worker_threads(stop_flag, timeout_ms);
}
}
