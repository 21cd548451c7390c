// What every reference service program shares: the common command-line flags, the worker-side
// broker connection through libqzvsa, the stop signals and the ready file by which a launcher
// (tests, scripts/farm.sh) learns that the service serves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "connection/connection.h"

namespace qz::service {

struct Options {
    std::string server = "nats://127.0.0.1:4222";  // --server URL
    std::string user;                               // --user NAME
    std::string password;                           // --password TEXT
    std::string ca_file;                            // --ca FILE (tls:// brokers)
    std::string trace_file;                         // --trace FILE (none: no trace)
    int trace_level = 4;                            // --trace-level 0..6
    std::string ready_file;                         // --ready-file FILE
    int threads = 4;                                // --threads N handler threads
    std::vector<std::string> rest;                  // everything else, in order, for the service
};

// The usage text of the common flags, for the services' --help.
const char* common_usage();

// Takes the common flags out of argv; what is not a common flag lands in rest. false with a
// reason in *error for a flag without its value or a value out of range.
bool parse_common_options(int argc, char** argv, Options* options, std::string* error);

// Opens the trace file of the options (if any) and connects to the broker as a worker. The
// record is released with disconnect(). NULL, with the reason on stderr, when it fails.
qz_connection_config* connect(const Options& options, const char* program);
void disconnect(qz_connection_config* config);

// SIGINT and SIGTERM set the returned flag (also the stop flag of the handler threads); SIGPIPE
// is ignored.
volatile int32_t* install_stop_signals();

// Creates the ready file (written under a temporary name and renamed, so that a launcher never
// reads half of it) holding the process id. No ready file configured: true.
bool signal_ready(const Options& options);

// Blocks until a stop signal arrives.
void wait_for_stop();

}  // namespace qz::service
