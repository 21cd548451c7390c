#include "worker_registry.h"

#include <json-c/json.h>
#include <nats/nats.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>

#include "connection/nats_handles.h"
#include "log/log.h"

namespace qz::service {

using qz::nats::JsonPtr;

namespace {

constexpr int64_t kMinTtlMs = 300;

std::string key_part(const std::string& text) {
    std::string out = text.empty() ? std::string("_") : text;
    for (char& c : out) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!keep) c = '_';
    }
    return out;
}

std::string local_hostname() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) return "unknown";
    name[sizeof name - 1] = '\0';
    return name[0] != '\0' ? name : "unknown";
}

int64_t now_seconds() { return static_cast<int64_t>(time(nullptr)); }

// Key-value calls through a connection that is down wait out the JetStream time-out (seconds)
// for a certain failure: a refresh would hold up a stop, a delete the exit.
bool connected(const qz_connection_config* config) {
    return config->conn != nullptr &&
           natsConnection_Status(config->conn) == NATS_CONN_STATUS_CONNECTED;
}

void add_string(json_object* object, const char* name, const std::string& value) {
    json_object_object_add(object, name, json_object_new_string(value.c_str()));
}

void add_int(json_object* object, const char* name, int64_t value) {
    json_object_object_add(object, name, json_object_new_int64(value));
}

int64_t int_member(json_object* object, const char* name) {
    json_object* member = nullptr;
    if (!json_object_object_get_ex(object, name, &member)) return 0;
    if (!json_object_is_type(member, json_type_int)) return 0;
    return json_object_get_int64(member);
}

int clamp_int(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

void collect_entry(void* context, const char* key, const char* value, size_t value_len) {
    auto* out = static_cast<std::vector<RegistryEntry>*>(context);
    RegistryEntry entry;
    if (!parse_registry_entry(key, std::string(value, value_len), &entry)) {
        LOG_WARN("Worker registry: entry '%s' is not a worker entry — ignored", key);
        return;
    }
    out->push_back(std::move(entry));
}

std::atomic<unsigned> s_registration_number{0};

}  // namespace

struct WorkerRegistration::State {
    qz_connection_config* config = nullptr;
    RegistryEntry entry;
    int64_t refresh_ms = 0;
    std::mutex mu;
    std::condition_variable wake;
    bool stopping = false;
    std::atomic<bool> registered{false};
    bool first_write = true;  // touched by the registering thread, then by the refresh thread
    std::thread thread;

    // One write of the entry; the outcome is traced only when it changes, so that a broker that
    // stays away leaves one line, not one per refresh.
    void write() {
        entry.refreshed = now_seconds();
        const std::string value = registry_value(entry);
        const bool ok =
            connected(config) && qz_connection_registry_put(config, entry.key.c_str(),
                                                            value.c_str(), entry.lease_ms) == 0;
        const bool was = registered.exchange(ok);
        if (ok && !was) {
            LOG_INFO(
                "Worker registry: %s registered as '%s' (lease %lld ms, refresh every %lld ms)",
                entry.service_name.c_str(), entry.key.c_str(),
                static_cast<long long>(entry.lease_ms), static_cast<long long>(refresh_ms));
        } else if (!ok && (was || first_write)) {
            LOG_WARN("Worker registry: cannot write '%s' to " QZ_NATS_KV_REGISTRY_BUCKET
                     " — %s does not count as live until a refresh gets through (retrying every "
                     "%lld ms)",
                     entry.key.c_str(), entry.service_name.c_str(),
                     static_cast<long long>(refresh_ms));
        }
        first_write = false;
    }

    void run() {
        pthread_setname_np(pthread_self(), "qz-registry");
        std::unique_lock<std::mutex> lock(mu);
        while (!stopping) {
            if (wake.wait_for(lock, std::chrono::milliseconds(refresh_ms),
                              [this] { return stopping; })) {
                break;
            }
            lock.unlock();
            write();
            lock.lock();
        }
    }
};

WorkerRegistration::WorkerRegistration() = default;
WorkerRegistration::~WorkerRegistration() { stop(); }
WorkerRegistration::WorkerRegistration(WorkerRegistration&&) noexcept = default;

WorkerRegistration& WorkerRegistration::operator=(WorkerRegistration&& other) noexcept {
    if (this != &other) {
        stop();
        state_ = std::move(other.state_);
    }
    return *this;
}

void WorkerRegistration::stop() {
    if (!state_) return;
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    if (state_->thread.joinable()) state_->thread.join();
    if (state_->registered.load() && connected(state_->config)) {
        qz_connection_registry_delete(state_->config, state_->entry.key.c_str());
        LOG_INFO("Worker registry: '%s' deleted", state_->entry.key.c_str());
    } else {
        LOG_INFO(
            "Worker registry: '%s' not deleted (broker not reachable, or the last write did not "
            "get through); an entry left behind expires with its lease of %lld ms",
            state_->entry.key.c_str(), static_cast<long long>(state_->entry.lease_ms));
    }
    state_.reset();
}

bool WorkerRegistration::active() const { return state_ != nullptr; }

bool WorkerRegistration::registered() const { return state_ && state_->registered.load(); }

const std::string& WorkerRegistration::key() const {
    static const std::string none;
    return state_ ? state_->entry.key : none;
}

WorkerRegistration register_worker(qz_connection_config* config, const std::string& service_name,
                                   const DriverInfo& driver, const RegistrationTiming& timing) {
    WorkerRegistration registration;
    if (config == nullptr || service_name.empty()) {
        LOG_ERROR("Worker registry: a connection and a service name are needed to register");
        return registration;
    }
    auto state = std::make_unique<WorkerRegistration::State>();
    state->config = config;
    RegistryEntry& entry = state->entry;
    entry.service_name = service_name;
    entry.driver = driver;
    entry.hostname = local_hostname();
    entry.pid = static_cast<int64_t>(getpid());
    entry.started = now_seconds();
    entry.lease_ms = std::max(timing.ttl_ms, kMinTtlMs);
    entry.key = key_part(service_name) + "." + key_part(entry.hostname) + "." +
                std::to_string(entry.pid) + "." + std::to_string(++s_registration_number);
    // Three refreshes per lease: one lost write never lets a live worker drop out.
    state->refresh_ms = (timing.refresh_ms > 0 && timing.refresh_ms < entry.lease_ms)
                            ? timing.refresh_ms
                            : entry.lease_ms / 3;

    state->write();
    try {
        WorkerRegistration::State* raw = state.get();
        state->thread = std::thread([raw] { raw->run(); });
    } catch (const std::system_error& e) {
        LOG_ERROR("Worker registry: cannot start the refresh thread for '%s': %s",
                  entry.key.c_str(), e.what());
        qz_connection_registry_delete(config, entry.key.c_str());
        return registration;
    }
    registration.state_ = std::move(state);
    return registration;
}

std::string registry_value(const RegistryEntry& entry) {
    JsonPtr object(json_object_new_object());
    add_string(object.get(), "Servicename", entry.service_name);
    json_object* driver = json_object_new_object();
    add_string(driver, "DriverName", entry.driver.driver_name);
    add_int(driver, "MajorVersion", entry.driver.major_version);
    add_int(driver, "MinorVersion", entry.driver.minor_version);
    add_int(driver, "NumberOfViruses", entry.driver.number_of_viruses);
    add_int(driver, "NumberOfVariants", entry.driver.number_of_variants);
    add_int(driver, "Timestamp", entry.driver.timestamp);
    json_object_object_add(object.get(), "Driverinfo", driver);
    add_string(object.get(), "Hostname", entry.hostname);
    add_int(object.get(), "PID", entry.pid);
    add_int(object.get(), "Started", entry.started);
    add_int(object.get(), "Refreshed", entry.refreshed);
    add_int(object.get(), "LeaseMs", entry.lease_ms);
    return json_object_to_json_string_ext(object.get(),
                                          JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

bool parse_registry_entry(const std::string& key, const std::string& value, RegistryEntry* out) {
    JsonPtr object(json_tokener_parse(value.c_str()));
    if (!object || !json_object_is_type(object.get(), json_type_object)) return false;
    json_object* service = nullptr;
    json_object* driver = nullptr;
    json_object* driver_name = nullptr;
    if (!json_object_object_get_ex(object.get(), "Servicename", &service) ||
        !json_object_is_type(service, json_type_string) ||
        json_object_get_string_len(service) == 0 ||
        !json_object_object_get_ex(object.get(), "Driverinfo", &driver) ||
        !json_object_is_type(driver, json_type_object) ||
        !json_object_object_get_ex(driver, "DriverName", &driver_name) ||
        !json_object_is_type(driver_name, json_type_string)) {
        return false;
    }
    RegistryEntry entry;
    entry.key = key;
    entry.service_name = json_object_get_string(service);
    entry.driver.driver_name = json_object_get_string(driver_name);
    entry.driver.major_version = clamp_int(int_member(driver, "MajorVersion"));
    entry.driver.minor_version = clamp_int(int_member(driver, "MinorVersion"));
    entry.driver.number_of_viruses = clamp_int(int_member(driver, "NumberOfViruses"));
    entry.driver.number_of_variants = clamp_int(int_member(driver, "NumberOfVariants"));
    entry.driver.timestamp = int_member(driver, "Timestamp");
    json_object* hostname = nullptr;
    if (json_object_object_get_ex(object.get(), "Hostname", &hostname) &&
        json_object_is_type(hostname, json_type_string)) {
        entry.hostname = json_object_get_string(hostname);
    }
    entry.pid = int_member(object.get(), "PID");
    entry.started = int_member(object.get(), "Started");
    entry.refreshed = int_member(object.get(), "Refreshed");
    entry.lease_ms = int_member(object.get(), "LeaseMs");
    *out = std::move(entry);
    return true;
}

bool read_registry(qz_connection_config* config, std::vector<RegistryEntry>* out) {
    out->clear();
    if (qz_connection_kv_snapshot(config, QZ_NATS_KV_REGISTRY_BUCKET, collect_entry, out) != 0) {
        out->clear();
        return false;
    }
    return true;
}

}  // namespace qz::service
