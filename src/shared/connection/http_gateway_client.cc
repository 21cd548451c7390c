#include "connection/http_gateway_client.h"

#include <curl/curl.h>
#include <strings.h>

#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "connection/nats_handles.h"
#include "log/log.h"

namespace {

using qz::nats::JsonPtr;

constexpr size_t kErrbufSize = 1024;
constexpr size_t kInitialCapacity = 4096;
constexpr long kConnectTimeoutMs = 10000;
constexpr char kUserAgent[] = "vendrix-av-client/4";
constexpr char kDefaultPath[] = "/vsi";
constexpr int kExcerptLength = 200;
constexpr char kInvalidParameters[] = "invalid parameters for the HTTP gateway request";

std::atomic<bool> s_unverified_warned{false};

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct MimeDeleter {
    void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};
using EasyPtr = std::unique_ptr<CURL, EasyDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;
using MimePtr = std::unique_ptr<curl_mime, MimeDeleter>;

// The response body, kept NUL-terminated so that it can be traced and parsed as text.
struct ResponseBuffer {
    char* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
    bool too_large = false;
    ~ResponseBuffer() { free(data); }
};

// The caller's payload, handed to libcurl piece by piece as the body is sent.
struct PayloadCursor {
    const unsigned char* data;
    size_t size;
    size_t offset;
};

void set_error(char* errbuf, const char* format, ...) __attribute__((format(printf, 2, 3)));
void set_error(char* errbuf, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(errbuf, kErrbufSize, format, args);
    va_end(args);
}

// Sets the failure text and writes it as the one error line every failure gets.
int fail(char* errbuf, const char* format, ...) __attribute__((format(printf, 2, 3)));
int fail(char* errbuf, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(errbuf, kErrbufSize, format, args);
    va_end(args);
    LOG_ERROR("qz_http_gateway_client: %s", errbuf);
    return -1;
}

bool is_set(const char* text) { return text != nullptr && text[0] != '\0'; }

// A service name goes into a request header: a line break in it would smuggle in headers of its
// own, so control characters are refused.
bool usable_service_name(const char* service) {
    if (!is_set(service)) return false;
    for (const char* c = service; *c != '\0'; ++c) {
        if (iscntrl(static_cast<unsigned char>(*c))) return false;
    }
    return true;
}

// Up to kExcerptLength characters of a body for a one-line message: line breaks and other
// control characters become blanks, so an HTML error page cannot split the trace line.
std::string excerpt(const char* body) {
    std::string text;
    for (int i = 0; i < kExcerptLength && body[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(body[i]);
        text += iscntrl(c) ? ' ' : static_cast<char>(c);
    }
    return text;
}

size_t s_write_callback(char* bytes, size_t size, size_t count, void* buffer) {
    auto* response = static_cast<ResponseBuffer*>(buffer);
    const size_t incoming = size * count;
    if (incoming > qz::gateway::kMaxResponseBytes - response->length) {
        response->too_large = true;
        return 0;
    }
    if (response->length + incoming + 1 > response->capacity) {
        const size_t capacity = (response->capacity + incoming + 1) * 2;
        char* grown = static_cast<char*>(realloc(response->data, capacity));
        if (grown == nullptr) {
            LOG_ERROR("qz_http_gateway_client: realloc(%zu) failed", capacity);
            return 0;
        }
        response->data = grown;
        response->capacity = capacity;
    }
    memcpy(response->data + response->length, bytes, incoming);
    response->length += incoming;
    response->data[response->length] = '\0';
    return incoming;
}

size_t read_payload(char* buffer, size_t size, size_t count, void* cursor_arg) {
    auto* cursor = static_cast<PayloadCursor*>(cursor_arg);
    size_t n = size * count;
    if (n > cursor->size - cursor->offset) n = cursor->size - cursor->offset;
    memcpy(buffer, cursor->data + cursor->offset, n);
    cursor->offset += n;
    return n;
}

// libcurl rewinds the body when it has to send it again (a redirect or an authentication
// round); the bytes are still in the caller's buffer.
int seek_payload(void* cursor_arg, curl_off_t offset, int origin) {
    auto* cursor = static_cast<PayloadCursor*>(cursor_arg);
    if (origin != SEEK_SET || offset < 0 || static_cast<size_t>(offset) > cursor->size) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    cursor->offset = static_cast<size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

bool starts_with_ignoring_case(std::string_view line, std::string_view prefix) {
    return line.size() >= prefix.size() &&
           strncasecmp(line.data(), prefix.data(), prefix.size()) == 0;
}

// Credentials must never reach the trace file: of an authorisation header only the scheme stays.
void trace_header_line(const char* prefix, std::string_view line, bool outgoing) {
    if (outgoing && (starts_with_ignoring_case(line, "Authorization:") ||
                     starts_with_ignoring_case(line, "Proxy-Authorization:"))) {
        size_t at = line.find(':') + 1;
        while (at < line.size() && line[at] == ' ') ++at;
        const size_t scheme_end = line.find(' ', at);
        if (scheme_end != std::string_view::npos) line = line.substr(0, scheme_end);
        LOG_TRACE("%s: %.*s <redacted>", prefix, static_cast<int>(line.size()), line.data());
        return;
    }
    LOG_TRACE("%s: %.*s", prefix, static_cast<int>(line.size()), line.data());
}

int s_curl_debug_callback(CURL*, curl_infotype type, char* bytes, size_t size, void*) {
    const char* prefix = nullptr;
    switch (type) {
        case CURLINFO_TEXT:
            prefix = "curl";
            break;
        case CURLINFO_HEADER_IN:
            prefix = "curl <<";
            break;
        case CURLINFO_HEADER_OUT:
            prefix = "curl >>";
            break;
        default:
            return 0;
    }
    std::string_view rest(bytes, size);
    while (!rest.empty()) {
        const size_t lf = rest.find('\n');
        std::string_view line = rest.substr(0, lf);
        rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        trace_header_line(prefix, line, type == CURLINFO_HEADER_OUT);
    }
    return 0;
}

// Failures of the transfer that the same request meets again: the gateway's certificate is not
// trusted, the CA file cannot be used, or the URL cannot be posted to at all.
bool permanent_transfer_failure(CURLcode rc) {
    return rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CACERT_BADFILE ||
           rc == CURLE_URL_MALFORMAT || rc == CURLE_UNSUPPORTED_PROTOCOL;
}

// A 4xx answer rejects the request itself (credentials, form, size); only a request time-out and
// too many requests are worth trying again.
bool permanent_status(long status) {
    return status >= 400 && status < 500 && status != 408 && status != 429;
}

// Parses the whole body as one JSON value; blanks and NULs may follow it, nothing else.
JsonPtr parse_body(const char* body, size_t length) {
    std::unique_ptr<json_tokener, qz::nats::HandleDeleter<json_tokener, json_tokener_free>> tokener(
        json_tokener_new());
    if (!tokener || length > static_cast<size_t>(INT32_MAX)) return nullptr;
    JsonPtr object(json_tokener_parse_ex(tokener.get(), body, static_cast<int>(length)));
    if (!object || json_tokener_get_error(tokener.get()) != json_tokener_success) return nullptr;
    for (size_t i = json_tokener_get_parse_end(tokener.get()); i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(body[i]);
        if (c != '\0' && !isspace(c)) return nullptr;
    }
    return object;
}

int s_gateway_request(const char* server_url, const char* user, const char* password,
                      const char* service, const char* json, const void* data, size_t data_len,
                      const qz_gateway_opts* opts, unsigned long timeout_ms,
                      json_object** out_reply, char* errbuf, bool* permanent) {
    *permanent = false;
    *out_reply = nullptr;
    if (server_url == nullptr || json == nullptr) {
        *permanent = true;
        return fail(errbuf, "%s", kInvalidParameters);
    }
    if (!usable_service_name(service)) {
        *permanent = true;
        return fail(errbuf, "invalid target service name for the HTTP gateway request");
    }
    qz_gateway_opts defaults;
    if (opts == nullptr) {
        qz_gateway_opts_defaults(&defaults);
        opts = &defaults;
    }
    const bool with_payload = data != nullptr && data_len != 0;

    std::string url, proxy, proxy_credentials, target_header;
    try {
        url = qz::gateway::request_url(server_url, opts->path);
    } catch (const std::bad_alloc&) {
        return fail(errbuf, "OOM allocating URL buffer");
    }
    ResponseBuffer response;
    response.data = static_cast<char*>(malloc(kInitialCapacity));
    if (response.data == nullptr) return fail(errbuf, "OOM allocating receive buffer");
    response.capacity = kInitialCapacity;
    response.data[0] = '\0';
    EasyPtr handle(curl_easy_init());
    if (!handle) return fail(errbuf, "curl_easy_init failed");
    CURL* curl = handle.get();
    char curl_detail[CURL_ERROR_SIZE] = "";

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curl_detail);
    // Many threads run requests at once; libcurl's time-outs must not use signals.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    if (log_get_level() > QZ_LOG_DEBUG) {
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, s_curl_debug_callback);
    }
    if (user != nullptr && password != nullptr) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(curl, CURLOPT_USERNAME, user);
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password);
    } else {
        LOG_WARN("qz_http_gateway_client: no Basic Auth credentials set");
    }
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_ms));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);

    if (is_set(opts->proxy_host)) {
        try {
            proxy = qz::gateway::proxy_address(opts->proxy_host, opts->proxy_port);
        } catch (const std::bad_alloc&) {
            return fail(errbuf, "OOM allocating proxy string");
        }
        curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
        if (opts->proxy_user != nullptr && opts->proxy_password != nullptr) {
            try {
                proxy_credentials = std::string(opts->proxy_user) + ":" + opts->proxy_password;
            } catch (const std::bad_alloc&) {
                return fail(errbuf, "OOM allocating proxy creds");
            }
            curl_easy_setopt(curl, CURLOPT_PROXYUSERPWD, proxy_credentials.c_str());
        }
        LOG_DEBUG("qz_http_gateway_client: using proxy %s", proxy.c_str());
    } else {
        // "No proxy" means none: libcurl would otherwise take one from https_proxy and the like.
        curl_easy_setopt(curl, CURLOPT_PROXY, "");
    }

    const bool verify_peer = opts->verify_peer != 0;
    const bool verify_host = opts->verify_host != 0;
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verify_peer ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verify_host ? 2L : 0L);
    if (is_set(opts->ca_file)) curl_easy_setopt(curl, CURLOPT_CAINFO, opts->ca_file);
    if ((!verify_peer || !verify_host) && strncmp(url.c_str(), "https://", 8) == 0 &&
        !s_unverified_warned.exchange(true)) {
        LOG_WARN(
            "qz_http_gateway_client: TLS certificate verification is switched off "
            "(verify_peer=%d verify_host=%d) for %s: the gateway's identity is not checked, so "
            "credentials and scanned objects may reach an impostor",
            verify_peer ? 1 : 0, verify_host ? 1 : 0, url.c_str());
    }

    SlistPtr headers;
    try {
        target_header = std::string("X-Target-Service: ") + service;
    } catch (const std::bad_alloc&) {
        return fail(errbuf, "OOM allocating X-Target-Service header");
    }
    for (const char* line : {target_header.c_str(), "Expect:"}) {
        curl_slist* extended = curl_slist_append(headers.get(), line);
        if (extended == nullptr) return fail(errbuf, "OOM allocating X-Target-Service header");
        headers.release();
        headers.reset(extended);
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());

    MimePtr mime(curl_mime_init(curl));
    if (!mime) return fail(errbuf, "curl_mime_init failed");
    curl_mimepart* part = curl_mime_addpart(mime.get());
    if (part == nullptr || curl_mime_name(part, "request") != CURLE_OK ||
        curl_mime_type(part, "application/json") != CURLE_OK ||
        curl_mime_data(part, json, CURL_ZERO_TERMINATED) != CURLE_OK) {
        return fail(errbuf, "curl_mime_addpart(request) failed");
    }
    PayloadCursor cursor{static_cast<const unsigned char*>(data), data_len, 0};
    if (with_payload) {
        // The object may be large: libcurl reads it from the caller's buffer while sending
        // instead of taking a copy (curl_mime_data would copy it).
        part = curl_mime_addpart(mime.get());
        if (part == nullptr || curl_mime_name(part, "payload") != CURLE_OK ||
            curl_mime_type(part, "application/octet-stream") != CURLE_OK ||
            curl_mime_data_cb(part, static_cast<curl_off_t>(data_len), read_payload, seek_payload,
                              nullptr, &cursor) != CURLE_OK) {
            return fail(errbuf, "curl_mime_addpart(payload) failed");
        }
    }
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, s_write_callback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);

    LOG_DEBUG("qz_http_gateway_client: POST %s service=%s json_len=%zu body_len=%zu timeout=%lums",
              url.c_str(), service, strlen(json), with_payload ? data_len : size_t{0}, timeout_ms);
    const CURLcode rc = curl_easy_perform(curl);

    if (rc != CURLE_OK) {
        long connect_status = 0;
        curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &connect_status);
        *permanent = permanent_transfer_failure(rc) || connect_status == 407;
        if (response.too_large) {
            return fail(errbuf, "HTTP gateway request failed: response larger than %zu bytes",
                        qz::gateway::kMaxResponseBytes);
        }
        if (connect_status == 407) {
            LOG_ERROR("qz_http_gateway_client: the proxy %s refused the proxy credentials%s",
                      proxy.c_str(), proxy_credentials.empty() ? " (none configured)" : "");
        }
        return fail(errbuf, "HTTP gateway request failed: %s",
                    curl_detail[0] != '\0' ? curl_detail : curl_easy_strerror(rc));
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        *permanent = permanent_status(status);
        if (status == 401) {
            LOG_ERROR(
                "qz_http_gateway_client: the gateway at %s rejected the credentials of user '%s'; "
                "check the configured user and password",
                url.c_str(), user != nullptr ? user : "(none)");
        }
        return fail(errbuf, "HTTP gateway returned status %ld: %s", status,
                    excerpt(response.data).c_str());
    }
    if (response.length == 0) return fail(errbuf, "empty response from HTTP gateway");
    LOG_TRACE("qz_http_gateway_client: response (%zu bytes): %s", response.length, response.data);
    JsonPtr reply = parse_body(response.data, response.length);
    if (!reply) {
        set_error(errbuf, "failed to parse JSON from HTTP gateway response");
        LOG_ERROR("qz_http_gateway_client: %s (body=%s)", errbuf, excerpt(response.data).c_str());
        return -1;
    }
    *out_reply = reply.release();
    return 0;
}

}  // namespace

namespace qz::gateway {

std::string request_url(const char* server_url, const char* path) {
    const std::string_view url(server_url);
    const size_t scheme = url.find("://");
    const size_t host = scheme != std::string_view::npos ? scheme + 3 : 0;
    if (scheme != std::string_view::npos) {
        const size_t slash = url.find('/', host);
        if (slash != std::string_view::npos && slash > host && slash + 1 < url.size()) {
            return std::string(url);
        }
    }
    const std::string_view tail = path != nullptr ? path : kDefaultPath;
    std::string joined(url);
    // One slash between them: "https://gw/" and "vsi" alike give "https://gw/vsi". The slashes
    // of "://" are not the URL's own.
    const bool url_slash = joined.size() > host && joined.back() == '/';
    const bool tail_slash = !tail.empty() && tail.front() == '/';
    if (url_slash && tail_slash) {
        joined.pop_back();
    } else if (!url_slash && !tail_slash && !tail.empty()) {
        joined += '/';
    }
    joined += tail;
    return joined;
}

std::string proxy_address(const char* host, const char* port) {
    if (!is_set(host)) return {};
    std::string address(host);
    if (is_set(port)) address.append(":").append(port);
    return address;
}

void reset_unverified_warning() { s_unverified_warned.store(false); }

Outcome exchange(const char* server_url, const char* user, const char* password,
                 const char* service, const char* json, const void* data, size_t data_len,
                 const qz_gateway_opts* opts, unsigned long timeout_ms, char* errbuf) {
    char own[kErrbufSize];
    char* message = errbuf != nullptr ? errbuf : own;
    message[0] = '\0';
    Outcome outcome;
    s_gateway_request(server_url, user, password, service, json, data, data_len, opts, timeout_ms,
                      &outcome.reply, message, &outcome.permanent);
    return outcome;
}

}  // namespace qz::gateway

extern "C" {

void qz_gateway_opts_defaults(qz_gateway_opts* opts) {
    if (opts == nullptr) return;
    opts->proxy_host = nullptr;
    opts->proxy_port = nullptr;
    opts->proxy_user = nullptr;
    opts->proxy_password = nullptr;
    opts->ca_file = nullptr;
    opts->verify_peer = 1;
    opts->verify_host = 1;
    opts->path = kDefaultPath;
}

int qz_gateway_send_recv_json(const char* server_url, const char* user, const char* password,
                              const char* service, const char* json, const qz_gateway_opts* opts,
                              unsigned long timeout_ms, json_object** out_reply, char* errbuf) {
    return qz_gateway_send_recv_scan(server_url, user, password, service, json, nullptr, 0, opts,
                                     timeout_ms, out_reply, errbuf);
}

int qz_gateway_send_recv_scan(const char* server_url, const char* user, const char* password,
                              const char* service, const char* json, const void* data,
                              size_t data_len, const qz_gateway_opts* opts,
                              unsigned long timeout_ms, json_object** out_reply, char* errbuf) {
    if (out_reply == nullptr) {
        char own[kErrbufSize];
        fail(errbuf != nullptr ? errbuf : own, "%s", kInvalidParameters);
        return -1;
    }
    *out_reply = qz::gateway::exchange(server_url, user, password, service, json, data, data_len,
                                       opts, timeout_ms, errbuf)
                     .reply;
    return *out_reply != nullptr ? 0 : -1;
}
}
