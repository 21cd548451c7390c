#include "event/dispatcher.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <nats/nats.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "connection/connection.h"
#include "log/log.h"

namespace {

constexpr const char* kQueueOwner = "VSA";
constexpr long kMaxEntries = 10000;
constexpr long kMaxBytes = 50000000;
constexpr int kQueueMode = 1;
constexpr size_t kMaxDirectory = 4095;

constexpr const char* kEventSubject = "qz-av-events-dispatch";
constexpr const char* kLogSubject = "qz-av-log";
constexpr const char* kPrefixes = "LE";
constexpr int kBatchSize = 128;
constexpr long kStaleClaimSeconds = 3600;
constexpr uint32_t kRequestTimeoutMs = 3000;
constexpr int kRequestAttempts = 4;
constexpr long kLockRetryMs = 50;
constexpr long kIdleMs = 250;
constexpr long kBackoffStepMs = 250;
constexpr long kBackoffLimitMs = 2000;
// The stop flag is looked at no less often than this while the thread waits.
constexpr long kStopPollMs = 50;
constexpr size_t kErrbufSize = 1024;

bool stopping(const logThreadParams* params) {
    return __atomic_load_n(&params->stop, __ATOMIC_ACQUIRE) != 0;
}

// Sleeps in short slices so that a stop request is seen within kStopPollMs.
void sleep_unless_stopped(const logThreadParams* params, long milliseconds) {
    while (milliseconds > 0 && !stopping(params)) {
        const long slice = milliseconds < kStopPollMs ? milliseconds : kStopPollMs;
        QZ_Sleep(slice);
        milliseconds -= slice;
    }
}

const char* entry_name(const qz_pqueue_data* entry) {
    const char* path = entry->origpath != nullptr ? entry->origpath : entry->path;
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool is_set(const char* text) { return text != nullptr && *text != '\0'; }

// Host and port of the broker for trace lines: the configured ones, else those of the URL.
std::pair<std::string, std::string> broker_address(const qz_connection_config* config) {
    if (is_set(config->broker_host)) {
        return {config->broker_host, is_set(config->broker_port) ? config->broker_port : ""};
    }
    std::string url = is_set(config->server_url) ? config->server_url : "";
    const size_t scheme = url.find("://");
    if (scheme != std::string::npos) url.erase(0, scheme + 3);
    const size_t path = url.find('/');
    if (path != std::string::npos) url.erase(path);
    const size_t colon = url.rfind(':');
    if (colon == std::string::npos) return {url, ""};
    return {url.substr(0, colon), url.substr(colon + 1)};
}

// Only JSON objects can ever be accepted by the services; anything else would be offered again
// for ever and hold up every pass with its back-off.
bool is_json_object_text(const qz_pqueue_data* entry) {
    if (memchr(entry->data, '\0', entry->size) != nullptr) return false;
    json_tokener* tokener = json_tokener_new();
    if (tokener == nullptr) return true;  // cannot judge: let the service decide
    json_object* parsed =
        json_tokener_parse_ex(tokener, entry->data, static_cast<int>(entry->size));
    // Text after the object (a second document, trailing bytes) makes the entry garbage too.
    bool complete = json_tokener_get_error(tokener) == json_tokener_success;
    for (size_t at = json_tokener_get_parse_end(tokener); complete && at < entry->size; ++at) {
        complete = isspace(static_cast<unsigned char>(entry->data[at])) != 0;
    }
    const bool object = parsed != nullptr && json_object_is_type(parsed, json_type_object);
    json_object_put(parsed);
    json_tokener_free(tokener);
    return complete && object;
}

void remove_entry(const qz_pqueue_data* entry) {
    if (unlink(entry->path) != 0) {
        LOG_ERROR("Failed to remove %s: %s", entry->path, strerror(errno));
    }
}

// True once the service answered with ReturnCode 0. Attempts are made one by one so that a stop
// request waits for one request at most, and none is made while the broker connection is down:
// a request then only waits out its time-out.
bool deliver(logThreadParams* params, const char* subject, const char* text) {
    qz_connection_config* config = params->connection;
    for (int attempt = 1; attempt <= kRequestAttempts; ++attempt) {
        if (attempt > 1 && stopping(params)) return false;
        if (config->conn != nullptr &&
            natsConnection_Status(config->conn) != NATS_CONN_STATUS_CONNECTED) {
            LOG_DEBUG("Broker not connected; %s not offered", subject);
            return false;
        }
        char errbuf[kErrbufSize] = "";
        const int rc =
            qz_connection_simple_request(config, subject, text, kRequestTimeoutMs, 0, errbuf);
        if (rc == 0) return true;
        // A reply with another code is an answer: asking again at once would get the same.
        if (rc > 0) return false;
        if (errbuf[0] != '\0') LOG_DEBUG("Attempt %d to %s failed: %s", attempt, subject, errbuf);
    }
    return false;
}

void process_entry(logThreadParams* params, qz_pqueue_data* entry, long* backoff_ms) {
    if (qz_pqueue_data_read(entry) != 0 || entry->size == 0 || entry->data == nullptr) {
        LOG_WARN("Dropping unreadable/empty entry %s", entry_name(entry));
        remove_entry(entry);
        return;
    }
    if (!is_json_object_text(entry)) {
        LOG_WARN("Dropping entry %s: not a JSON object", entry_name(entry));
        remove_entry(entry);
        return;
    }
    const qz_connection_config* config = params->connection;
    const auto [host, port] = broker_address(config);
    LOG_TRACE("De-queueing entry to broker %s:%s", host.c_str(), port.c_str());
    const char* subject = entry->prefix == 'E' ? kEventSubject : kLogSubject;
    if (deliver(params, subject, entry->data)) {
        LOG_TRACE("Log/Event entry %s SENT to service %s", entry_name(entry), subject);
        remove_entry(entry);
        *backoff_ms = 0;
        return;
    }
    LOG_ERROR("Failed to send log/event entry %s; restoring for retry", entry_name(entry));
    if (qz_pqueue_put_back(entry) != 0) {
        LOG_ERROR("Failed to restore %s -> %s: %s", entry->path, entry->origpath, strerror(errno));
    }
    if (*backoff_ms < kBackoffLimitMs) *backoff_ms += kBackoffStepMs;
    sleep_unless_stopped(params, *backoff_ms);
}

void run_dispatcher(logThreadParams* params) {
    qz_pqueue* queue = params->pq;
    qz_pqueue_reclaim_stale_claims(queue, kStaleClaimSeconds);
    long backoff_ms = 0;
    while (!stopping(params)) {
        if (qz_pqueue_lock(queue) != 0) {
            sleep_unless_stopped(params, kLockRetryMs);
            continue;
        }
        qz_pqueue_data** batch = nullptr;
        const int claimed = qz_pqueue_claim_batch(queue, kPrefixes, kBatchSize, &batch);
        qz_pqueue_unlock(queue);
        if (claimed <= 0) {
            free(batch);
            if (stopping(params)) break;
            sleep_unless_stopped(params, kIdleMs);
            continue;
        }
        int next = 0;
        for (; next < claimed && !stopping(params); ++next) {
            process_entry(params, batch[next], &backoff_ms);
        }
        for (; next < claimed; ++next) {
            if (qz_pqueue_put_back(batch[next]) != 0) {
                LOG_TRACE("Shutdown restore failed for %s: %s", batch[next]->path, strerror(errno));
            }
        }
        for (int i = 0; i < claimed; ++i) qz_pqueue_data_free(batch[i]);
        free(batch);
    }
}

// The absolute form of directory; the directory need not exist.
std::string absolute_directory(const char* directory) {
    std::error_code error;
    std::filesystem::path path = std::filesystem::weakly_canonical(directory, error);
    if (error) path = std::filesystem::absolute(directory, error);
    if (error) return directory;
    std::string text = path.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

}  // namespace

extern "C" {

void qz_log_dequeue_thread(void* arg) {
    QZ_SetThreadName("qz-dispatch");
    LOG_TRACE("log dequeue thread started");
    auto* params = static_cast<logThreadParams*>(arg);
    if (params == nullptr || params->pq == nullptr || params->connection == nullptr) {
        LOG_ERROR("Invalid parameters");
        return;
    }
    run_dispatcher(params);
    LOG_DEBUG("Log dequeue thread ending");
}

logThreadParams* qz_log_create_log_dispatcher(const char* directory,
                                              qz_connection_config* connection) {
    auto* params = static_cast<logThreadParams*>(calloc(1, sizeof(logThreadParams)));
    if (params == nullptr) {
        LOG_ERROR("Failed to allocate %s", "logThreadParams");
        return nullptr;
    }
    char name[16];
    snprintf(name, sizeof name, "%s.pq", kQueueOwner);
    const std::string root = directory != nullptr ? absolute_directory(directory) : "";
    if (directory == nullptr || root.size() > kMaxDirectory) {
        LOG_ERROR("Failed to allocate persistent queue");
    } else {
        params->pq =
            qz_pqueue_open(root.c_str(), name, kMaxEntries, kMaxBytes, O_CREAT, kQueueMode);
        if (params->pq == nullptr) LOG_ERROR("Failed to allocate persistent queue");
    }
    LOG_DEBUG("Persistent log queue name: %s in directory %s", name, root.c_str());
    params->connection = connection;
    if (QZ_CreateThread(&params->thread, qz_log_dequeue_thread, params) != 0) {
        LOG_ERROR("Failed to start log dequeue thread");
        if (params->pq != nullptr) qz_pqueue_close(params->pq);
        free(params);
        return nullptr;
    }
    LOG_INFO("log dequeue thread created");
    return params;
}

int qz_log_stop_log_dispatcher(logThreadParams* params, long timeout_ms) {
    if (params == nullptr) return -1;
    __atomic_store_n(&params->stop, 1, __ATOMIC_RELEASE);
    if (params->thread != nullptr) {
        const int joined = timeout_ms < 0 ? QZ_JoinThread(params->thread)
                                          : QZ_JoinThreadTimeout(params->thread, timeout_ms);
        if (joined == 1) {
            LOG_ERROR("log dequeue thread still running after %ld ms", timeout_ms);
            return 1;
        }
        if (joined != 0) return -1;
        params->thread = nullptr;
    }
    if (params->pq != nullptr) qz_pqueue_close(params->pq);
    free(params);
    return 0;
}
}
