// qz-av-control: the reference control service. Answers CONSOLIDATED_INIT on "qz-av-control"
// with the tenant, realm name and SCAN settings of its configuration file and the driver
// information of the services that have a live worker in the worker registry, where it also
// registers itself. Runs until SIGTERM or SIGINT.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "control_config.h"
#include "control_requests.h"
#include "log/log.h"
#include "service_main.h"
#include "worker_registry.h"

namespace {

constexpr const char* kProgram = "qz-av-control";
constexpr const char* kSubject = "qz-av-control";

constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// How long a stop waits for requests in progress before the connection is closed anyway.
constexpr long kJoinTimeoutMs = 5000;

void print_usage(FILE* out) {
    fprintf(out,
            "Usage: %s --config FILE [OPTIONS]\n"
            "\n"
            "The control service of qz-av-vsa. Answers the CONSOLIDATED_INIT request that every\n"
            "init handle of the library sends at start-up on the subject %s: the tenant,\n"
            "the realm name and the SCAN settings of FILE (per realm where FILE has overrides),\n"
            "and for each requested service whether a live worker of it is registered in the\n"
            "key-value bucket qz-av-worker-registry, with that worker's driver information.\n"
            "It registers itself there too. Stops cleanly on SIGTERM or SIGINT.\n"
            "\n"
            "Options:\n"
            "  --config FILE       configuration file (required); format in docs/services.md,\n"
            "                      annotated sample in config/qz-av-control.cfg\n"
            "%s"
            "  --help              this text\n"
            "\n"
            "Example:\n"
            "  %s --config /etc/qz-av-vsa/qz-av-control.cfg --server nats://broker:4222 \\\n"
            "                --trace /var/log/qz-av-vsa/control.log --trace-level 5\n"
            "\n"
            "Exit codes: 0 stopped by a signal, 1 broker not reachable or subject not served,\n"
            "2 bad command line or configuration file.\n",
            kProgram, kSubject, qz::service::common_usage(), kProgram);
}

struct Handler {
    const qz::control::ControlConfig* config;
    qz_connection_config* connection;
};

void handle(void* closure, qz_request_reply* pair) {
    auto* handler = static_cast<Handler*>(closure);
    qz::control::answer_request(
        *handler->config,
        [handler](std::vector<qz::service::RegistryEntry>* entries) {
            return qz::service::read_registry(handler->connection, entries);
        },
        pair);
}

}  // namespace

int main(int argc, char** argv) {
    qz::service::Options options;
    std::string error;
    if (!qz::service::parse_common_options(argc, argv, &options, &error)) {
        fprintf(stderr, "%s: %s (see --help)\n", kProgram, error.c_str());
        return kExitUsage;
    }
    std::string config_path;
    for (size_t i = 0; i < options.rest.size(); ++i) {
        const std::string& arg = options.rest[i];
        if (arg == "--help" || arg == "-h") {
            print_usage(stdout);
            return kExitStopped;
        }
        if (arg == "--config" && i + 1 < options.rest.size()) {
            config_path = options.rest[++i];
            continue;
        }
        fprintf(stderr, "%s: %s (see --help)\n", kProgram,
                arg == "--config" ? "--config needs a value"
                                  : ("unknown argument \"" + arg + "\"").c_str());
        return kExitUsage;
    }
    if (config_path.empty()) {
        fprintf(stderr, "%s: --config FILE is required (see --help)\n", kProgram);
        return kExitUsage;
    }
    qz::control::ControlConfig config;
    if (!qz::control::load_control_config(config_path, &config, &error)) {
        fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return kExitUsage;
    }

    volatile int32_t* stop = qz::service::install_stop_signals();
    qz_connection_config* connection = qz::service::connect(options, kProgram);
    if (connection == nullptr) return kExitFailed;
    LOG_INFO(
        "%s: configuration %s: tenant '%s', realm name '%s', %zu SCAN setting(s), %zu "
        "realm override(s)",
        kProgram, config_path.c_str(), config.tenant_id.c_str(), config.realm_name.c_str(),
        config.scan.size(), config.realms.size());

    Handler handler{&config, connection};
    if (qz_connection_start_service_handler_threads(connection, kSubject, handle, &handler, stop,
                                                    options.threads) != 0) {
        fprintf(stderr, "%s: cannot serve %s (see the trace for the reason)\n", kProgram, kSubject);
        qz::service::disconnect(connection);
        return kExitFailed;
    }
    qz::service::DriverInfo self;
    self.driver_name = "qz-av-control reference control service";
    self.major_version = 1;
    self.minor_version = 0;
    self.timestamp = static_cast<int64_t>(time(nullptr));
    qz::service::WorkerRegistration registration =
        qz::service::register_worker(connection, kSubject, self);
    if (!registration.registered()) {
        fprintf(stderr,
                "%s: warning: cannot register in qz-av-worker-registry yet (broker not reachable "
                "or not provisioned); serving anyway and retrying\n",
                kProgram);
    }
    if (!qz::service::signal_ready(options)) {
        *stop = 1;
        registration.stop();
        qz_connection_join_worker_threads(stop, kJoinTimeoutMs);
        qz::service::disconnect(connection);
        return kExitFailed;
    }
    fprintf(stdout, "%s: serving %s on %s\n", kProgram, kSubject, options.server.c_str());
    fflush(stdout);

    qz::service::wait_for_stop();
    LOG_INFO("%s: stopping", kProgram);
    registration.stop();
    if (qz_connection_join_worker_threads(stop, kJoinTimeoutMs) != 0) {
        // Closing the connection under a thread that still uses it could crash the process;
        // ending it without cleanup cannot.
        LOG_WARN("%s: handler threads still busy after %ld ms; exiting without cleanup", kProgram,
                 kJoinTimeoutMs);
        std::_Exit(kExitStopped);
    }
    qz::service::disconnect(connection);
    return kExitStopped;
}
