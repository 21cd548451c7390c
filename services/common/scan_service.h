// The life of a scan service process, shared by the reference scan services: connect as a worker,
// serve the core subject from a pool of handler threads and the service's work queues from
// pullers, register a live worker with its driver information, signal ready, and on SIGTERM or
// SIGINT stop in the reverse order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "connection/nats_worker.h"
#include "service_main.h"
#include "worker_registry.h"

namespace qz::service {

struct ScanServiceSetup {
    std::string program;                   // program name; also the registry's service name
    std::string subject;                   // core subject, may hold a wildcard
    std::vector<std::string> work_queues;  // services whose "jobs.<service>" queues are pulled
    int pullers = 2;                       // pullers per work queue; 0: no work queue at all
    qz_request_handler_fn handler = nullptr;
    void* closure = nullptr;
    DriverInfo driver;
};

// Default and upper limit of --pullers.
constexpr int kDefaultPullers = 2;
constexpr int kMaxPullers = 64;

// Takes "--pullers N" out of rest (the flags the common parser left); false with a reason in
// *error for a missing or out-of-range value.
bool take_pullers_option(std::vector<std::string>* rest, int* pullers, std::string* error);

// The usage lines of --pullers, for the services' --help.
const char* pullers_usage();

// Seconds since 1970 of the build of the services' common code, from the compiler's date and
// time (taken as UTC): the "Timestamp" of a service that has no signature set of its own.
int64_t build_timestamp();

// Runs the service until a stop signal; returns the exit code: 0 after a clean stop, 1 when the
// broker cannot be reached or the subject cannot be served. stop is the flag of
// install_stop_signals(), which the handler may watch to cut a long job short.
int run_scan_service(const Options& options, const ScanServiceSetup& setup,
                     volatile int32_t* stop);

}  // namespace qz::service
