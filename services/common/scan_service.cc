#include "scan_service.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "connection/connection.h"
#include "log/log.h"

namespace qz::service {

namespace {

// How long a stop waits for jobs in progress before the process ends without cleanup.
constexpr long kJoinTimeoutMs = 5000;

void stop_serving(volatile int32_t* stop, WorkerRegistration* registration,
                  qz_connection_config* connection, const std::string& program) {
    __atomic_store_n(stop, 1, __ATOMIC_SEQ_CST);
    // The entry goes first: from now on nobody should count on this worker.
    registration->stop();
    if (qz_connection_join_worker_threads(stop, kJoinTimeoutMs) != 0) {
        // Closing the connection under a thread that still uses it could crash the process;
        // ending it without cleanup cannot, and the broker redelivers an unacknowledged job.
        LOG_WARN("%s: jobs still running after %ld ms; exiting without cleanup", program.c_str(),
                 kJoinTimeoutMs);
        std::_Exit(0);
    }
    disconnect(connection);
}

}  // namespace

int64_t build_timestamp() {
    struct tm when;
    memset(&when, 0, sizeof when);
    if (strptime(__DATE__ " " __TIME__, "%b %d %Y %H:%M:%S", &when) == nullptr) return 0;
    return static_cast<int64_t>(timegm(&when));
}

const char* pullers_usage() {
    return "  --pullers N         work-queue pullers per queue, 0 to 64 (default 2; 0: core\n"
           "                      subject only)\n";
}

bool take_pullers_option(std::vector<std::string>* rest, int* pullers, std::string* error) {
    for (size_t i = 0; i < rest->size(); ++i) {
        if ((*rest)[i] != "--pullers") continue;
        if (i + 1 >= rest->size()) {
            *error = "--pullers needs a value";
            return false;
        }
        const std::string& text = (*rest)[i + 1];
        char* end = nullptr;
        errno = 0;
        const long value = strtol(text.c_str(), &end, 10);
        if (errno != 0 || end == text.c_str() || *end != '\0' || value < 0 ||
            value > kMaxPullers) {
            *error = "--pullers takes a number from 0 to " + std::to_string(kMaxPullers) +
                     ", not \"" + text + "\"";
            return false;
        }
        *pullers = static_cast<int>(value);
        rest->erase(rest->begin() + static_cast<std::ptrdiff_t>(i),
                    rest->begin() + static_cast<std::ptrdiff_t>(i) + 2);
        --i;
    }
    return true;
}

int run_scan_service(const Options& options, const ScanServiceSetup& setup,
                     volatile int32_t* stop) {
    const char* program = setup.program.c_str();
    qz_connection_config* connection = connect(options, program);
    if (connection == nullptr) return 1;

    if (qz_connection_start_service_handler_threads(connection, setup.subject.c_str(),
                                                    setup.handler, setup.closure, stop,
                                                    options.threads) != 0) {
        fprintf(stderr, "%s: cannot serve %s (see the trace for the reason)\n", program,
                setup.subject.c_str());
        __atomic_store_n(stop, 1, __ATOMIC_SEQ_CST);
        qz_connection_join_worker_threads(stop, kJoinTimeoutMs);
        disconnect(connection);
        return 1;
    }
    if (setup.pullers > 0) {
        for (const std::string& queue : setup.work_queues) {
            // Pullers bind once the broker side has provisioned the queue; until then requests
            // reach the core subject, so a missing queue is no reason to stop.
            if (qz_connection_start_js_work_consumer(connection, queue.c_str(), setup.handler,
                                                     setup.closure, stop, setup.pullers,
                                                     nullptr) != 0) {
                LOG_WARN("%s: cannot pull the work queue of %s; serving the core subject only",
                         program, queue.c_str());
            }
        }
    }

    WorkerRegistration registration = register_worker(connection, setup.program, setup.driver);
    if (!registration.registered()) {
        fprintf(stderr,
                "%s: warning: cannot register in qz-av-worker-registry (not provisioned yet?); "
                "serving anyway and retrying\n",
                program);
    }
    if (!signal_ready(options)) {
        stop_serving(stop, &registration, connection, setup.program);
        return 1;
    }
    LOG_INFO("%s: serving %s (%d handler thread(s), %zu work queue(s) with %d puller(s) each)",
             program, setup.subject.c_str(), options.threads,
             setup.pullers > 0 ? setup.work_queues.size() : 0, setup.pullers);
    fprintf(stdout, "%s: serving %s on %s\n", program, setup.subject.c_str(),
            options.server.c_str());
    fflush(stdout);

    wait_for_stop();
    LOG_INFO("%s: stopping", program);
    stop_serving(stop, &registration, connection, setup.program);
    return 0;
}

}  // namespace qz::service
