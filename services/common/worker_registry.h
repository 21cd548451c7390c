// The worker registry as the reference services use it: a live worker keeps one entry in the
// bucket "qz-av-worker-registry" with its service name and driver information, renewed by a
// heartbeat thread well within the entry's TTL and deleted on a clean stop, so that a worker that
// dies stops counting as live once its last entry expires. qz-av-control reads the entries back.
//
// Entry layout (key "<service>.<host>.<pid>.<n>", every character other than letters, digits,
// '-' and '_' in service and host replaced by '_'; the value is authoritative, the key only keeps
// workers apart), a compact JSON object:
//   {"Servicename": "qz-av-dummy",
//    "Driverinfo": {"DriverName": "...", "MajorVersion": 1, "MinorVersion": 0,
//                   "NumberOfViruses": 0, "NumberOfVariants": 0, "Timestamp": 1700000000},
//    "Hostname": "node1", "PID": 4711, "Started": 1700000000, "Refreshed": 1700000020,
//    "LeaseMs": 15000}
// Started and Refreshed are seconds since 1970 (for people reading the bucket; liveness does not
// depend on the clocks of worker and reader agreeing). An entry counts as live while it exists:
// it is written with a TTL of LeaseMs where the broker honours per-message TTLs, and the bucket's
// own TTL (15 s as provisioned) removes it otherwise. A dead worker therefore stops counting after
// at most min(LeaseMs, bucket TTL) from its last refresh; a live one refreshes every third of it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "connection/connection.h"

namespace qz::service {

// What a scan service reports about its engine; the members of "Driverinfo".
struct DriverInfo {
    std::string driver_name;     // "DriverName"
    int major_version = 0;       // "MajorVersion"
    int minor_version = 0;       // "MinorVersion"
    int number_of_viruses = 0;   // "NumberOfViruses"
    int number_of_variants = 0;  // "NumberOfVariants"
    int64_t timestamp = 0;       // "Timestamp", seconds since 1970 (e.g. of the signatures)
};

struct RegistrationTiming {
    int64_t ttl_ms = 15000;  // lifetime of one write of the entry ("LeaseMs"), at least 300
    int64_t refresh_ms = 0;  // between writes; 0 or not below ttl_ms: a third of ttl_ms
};

// One registered worker, keeps its entry alive from its own thread ("qz-registry") until stop()
// or destruction, which delete the entry. Move-only. Stop it before the connection is closed.
class WorkerRegistration {
  public:
    WorkerRegistration();
    ~WorkerRegistration();
    WorkerRegistration(WorkerRegistration&&) noexcept;
    WorkerRegistration& operator=(WorkerRegistration&&) noexcept;
    WorkerRegistration(const WorkerRegistration&) = delete;
    WorkerRegistration& operator=(const WorkerRegistration&) = delete;

    // Ends the refreshing and deletes the entry; while the broker is not reachable it leaves the
    // entry to expire instead of waiting for a time-out. Idempotent.
    void stop();
    // Refreshing (false for a default-constructed, moved-from or stopped registration).
    bool active() const;
    // The last write reached the bucket. A failed write is retried at every refresh (the bucket
    // may be provisioned, or the broker come back, later) and leaves a WARN trace line; no write
    // is tried while the connection is down.
    bool registered() const;
    const std::string& key() const;

    struct State;

  private:
    friend WorkerRegistration register_worker(qz_connection_config*, const std::string&,
                                              const DriverInfo&, const RegistrationTiming&);
    std::unique_ptr<State> state_;
};

// Writes the entry once and starts the refresh thread. config must stay connected until the
// registration is stopped. An empty service name, a NULL config or a thread that cannot be
// started give an inactive registration (ERROR trace line).
WorkerRegistration register_worker(qz_connection_config* config, const std::string& service_name,
                                   const DriverInfo& driver, const RegistrationTiming& timing = {});

// An entry as read back from the bucket.
struct RegistryEntry {
    std::string key;
    std::string service_name;
    DriverInfo driver;
    std::string hostname;
    int64_t pid = 0;
    int64_t started = 0;
    int64_t refreshed = 0;
    int64_t lease_ms = 0;
};

// The value text for an entry (the layout above).
std::string registry_value(const RegistryEntry& entry);
// false when value is not an entry of this layout ("Servicename" and "Driverinfo" with a string
// "DriverName" are required; missing numbers count as 0).
bool parse_registry_entry(const std::string& key, const std::string& value, RegistryEntry* out);

// Every live entry of the bucket (malformed ones skipped with a WARN line). false when the
// bucket cannot be read.
bool read_registry(qz_connection_config* config, std::vector<RegistryEntry>* out);

}  // namespace qz::service
