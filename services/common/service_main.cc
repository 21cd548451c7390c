#include "service_main.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "connection/connection.h"
#include "log/log.h"

namespace qz::service {
namespace {

volatile int32_t g_stop = 0;
char* s_trace_path = nullptr;

void on_stop_signal(int) { g_stop = 1; }

char* copy_or_null(const std::string& text) {
    return text.empty() ? nullptr : strdup(text.c_str());
}

bool take_int(const char* text, int low, int high, int* out) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
    *out = static_cast<int>(value);
    return true;
}

}  // namespace

const char* common_usage() {
    return "  --server URL        broker URL (default nats://127.0.0.1:4222; tls:// for TLS)\n"
           "  --user NAME         broker user (default: none)\n"
           "  --password TEXT     broker password\n"
           "  --ca FILE           CA certificate file for a tls:// broker\n"
           "  --trace FILE        trace file (default: no trace)\n"
           "  --trace-level N     0 off, 1 fatal .. 6 trace (default 4, info)\n"
           "  --ready-file FILE   created with the process id once the service serves\n"
           "  --threads N         handler threads (default 4)\n";
}

bool parse_common_options(int argc, char** argv, Options* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        std::string* text_target = nullptr;
        int* int_target = nullptr;
        int low = 0, high = 0;
        if (flag == "--server") text_target = &options->server;
        else if (flag == "--user") text_target = &options->user;
        else if (flag == "--password") text_target = &options->password;
        else if (flag == "--ca") text_target = &options->ca_file;
        else if (flag == "--trace") text_target = &options->trace_file;
        else if (flag == "--ready-file") text_target = &options->ready_file;
        else if (flag == "--trace-level") int_target = &options->trace_level, low = 0, high = 6;
        else if (flag == "--threads") int_target = &options->threads, low = 1, high = 256;
        else {
            options->rest.push_back(flag);
            continue;
        }
        if (i + 1 >= argc) {
            *error = flag + " needs a value";
            return false;
        }
        const char* value = argv[++i];
        if (text_target != nullptr) {
            *text_target = value;
        } else if (!take_int(value, low, high, int_target)) {
            *error = flag + " takes a number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not \"" + value + "\"";
            return false;
        }
    }
    return true;
}

qz_connection_config* connect(const Options& options, const char* program) {
    if (!options.trace_file.empty()) {
        // The trace log borrows the path, and broker client threads may still trace while the
        // process exits and runs its destructors: the copy stays for the life of the process.
        if (s_trace_path == nullptr) s_trace_path = strdup(options.trace_file.c_str());
        if (s_trace_path != nullptr) QZOpenTraceFile(s_trace_path, options.trace_level, 0);
    }
    log_set_quiet(1);
    qz_connection_config* config = qz_connection_config_new();
    if (config == nullptr) {
        fprintf(stderr, "%s: out of memory\n", program);
        return nullptr;
    }
    config->server_url = copy_or_null(options.server);
    config->user = copy_or_null(options.user);
    config->password = copy_or_null(options.password);
    config->cert_path = copy_or_null(options.ca_file);
    if (qz_connection_init(config) != 0) {
        fprintf(stderr, "%s: cannot connect to the broker at %s (see the trace for the reason)\n",
                program, options.server.c_str());
        qz_connection_config_free(config);
        return nullptr;
    }
    LOG_INFO("%s connected to %s", program, options.server.c_str());
    return config;
}

void disconnect(qz_connection_config* config) {
    if (config == nullptr) return;
    qz_connection_deinit(config);
    qz_connection_config_free(config);
}

volatile int32_t* install_stop_signals() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return &g_stop;
}

bool signal_ready(const Options& options) {
    if (options.ready_file.empty()) return true;
    const std::string temp = options.ready_file + ".tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "cannot write the ready file %s: %s\n", temp.c_str(), strerror(errno));
        return false;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    const bool written = write(fd, pid.data(), pid.size()) == static_cast<ssize_t>(pid.size());
    close(fd);
    if (!written || rename(temp.c_str(), options.ready_file.c_str()) != 0) {
        fprintf(stderr, "cannot write the ready file %s: %s\n", options.ready_file.c_str(),
                strerror(errno));
        unlink(temp.c_str());
        return false;
    }
    return true;
}

void wait_for_stop() {
    while (g_stop == 0) usleep(50 * 1000);
}

}  // namespace qz::service
