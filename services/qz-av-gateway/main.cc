// qz-av-gateway: the HTTPS gateway for hosts that may not reach the broker. Accepts the
// adapter's multipart POST (request JSON and, for scans, the object), checks the Basic
// credentials of its configuration, forwards the request to the service named by the
// "X-Target-Service" header over the broker and answers with the service's JSON reply.
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "connection/connection.h"
#include "gateway_requests.h"
#include "gateway_settings.h"
#include "log/log.h"
#include "service_main.h"

namespace {

using qz::gateway_service::GatewaySettings;

constexpr const char* kProgram = "qz-av-gateway";

constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "Usage: qz-av-gateway --config FILE [--listen ADDRESS] [--port N] [--cert FILE]\n"
    "                     [--key FILE] [OPTIONS]\n"
    "\n"
    "Serves HTTPS POST requests of the adapter in gateway mode (multipart form with a\n"
    "\"request\" part and an optional \"payload\" part, Basic authentication, the service\n"
    "subject in the X-Target-Service header), forwards each to its service over the broker\n"
    "given with --server and answers with the service's JSON reply. Stops on SIGTERM or SIGINT.\n"
    "\n"
    "Options:\n"
    "  --config FILE       settings, section [gateway] (user, password, listen, port, cert,\n"
    "                      key, path, timeout_ms, max_body_mb, services, js_services); required\n"
    "  --listen ADDRESS    listen address (default 127.0.0.1, or listen= of the file)\n"
    "  --port N            listen port (default 8443, or port= of the file)\n"
    "  --cert FILE         server certificate chain, PEM (or cert= of the file)\n"
    "  --key FILE          server private key, PEM (or key= of the file)\n"
    "  --help              this text\n";

int usage_error(const std::string& why) {
    fprintf(stderr, "%s: %s\n\n%s%s", kProgram, why.c_str(), kUsage, qz::service::common_usage());
    return kExitUsage;
}

// Takes the gateway's own flags out of the rest of the command line; the file named by
// --config is read first, so that the flags override it.
bool parse_gateway_flags(const std::vector<std::string>& rest, GatewaySettings* settings,
                         std::string* error) {
    std::string config_file, listen, port, cert, key;
    for (size_t i = 0; i < rest.size(); ++i) {
        const std::string& flag = rest[i];
        std::string* target = flag == "--config"   ? &config_file
                              : flag == "--listen" ? &listen
                              : flag == "--port"   ? &port
                              : flag == "--cert"   ? &cert
                              : flag == "--key"    ? &key
                                                   : nullptr;
        if (target == nullptr) {
            *error = "unknown argument \"" + flag + "\"";
            return false;
        }
        if (i + 1 >= rest.size()) {
            *error = flag + " needs a value";
            return false;
        }
        *target = rest[++i];
    }
    if (config_file.empty()) {
        *error = "--config FILE is required";
        return false;
    }
    if (!qz::gateway_service::load_gateway_settings(config_file, settings, error)) return false;
    if (!listen.empty()) settings->listen = listen;
    if (!cert.empty()) settings->cert_file = cert;
    if (!key.empty()) settings->key_file = key;
    if (!port.empty()) {
        char* end = nullptr;
        const long value = strtol(port.c_str(), &end, 10);
        if (end == port.c_str() || *end != '\0' || value < 1 || value > 65535) {
            *error = "--port takes 1 to 65535, not \"" + port + "\"";
            return false;
        }
        settings->port = static_cast<int>(value);
    }
    return qz::gateway_service::check_gateway_settings(*settings, error);
}

// Fills the JSON error body into answers that have none of their own: unknown paths, methods,
// bodies above the limit or that cannot be read.
httplib::Server::HandlerResponse fill_error_body(const httplib::Request&,
                                                 httplib::Response& response) {
    if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    const char* why = response.status == 404   ? "no such path on this gateway"
                      : response.status == 405 ? "method not allowed; use POST"
                      : response.status == 413 ? "request body too large"
                                               : "bad request";
    response.set_content(qz::gateway_service::error_body(why), "application/json");
    return httplib::Server::HandlerResponse::Handled;
}

int run(const qz::service::Options& options, const GatewaySettings& settings) {
    volatile int32_t* stop = qz::service::install_stop_signals();
    qz_connection_config* config = qz::service::connect(options, kProgram);
    if (config == nullptr) return kExitFailed;
    if (!settings.js_services.empty()) config->js_services = strdup(settings.js_services.c_str());

    httplib::SSLServer server(settings.cert_file.c_str(), settings.key_file.c_str());
    if (!server.is_valid()) {
        fprintf(stderr, "%s: cannot use the certificate %s with the key %s\n", kProgram,
                settings.cert_file.c_str(), settings.key_file.c_str());
        LOG_ERROR("gateway: cannot use the certificate %s with the key %s",
                  settings.cert_file.c_str(), settings.key_file.c_str());
        qz::service::disconnect(config);
        return kExitFailed;
    }
    const size_t threads = static_cast<size_t>(options.threads);
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_payload_max_length(settings.max_body_bytes);
    server.set_read_timeout(30, 0);
    server.set_write_timeout(30, 0);
    server.set_error_handler(httplib::Server::HandlerWithResponse(fill_error_body));
    qz::gateway_service::RequestHandler handler(settings, config);
    server.Post(settings.path,
                [&handler](const httplib::Request& request, httplib::Response& response,
                           const httplib::ContentReader& reader) {
                    handler.serve(request, response, reader);
                });
    server.set_exception_handler(
        [](const httplib::Request& request, httplib::Response& response, std::exception_ptr) {
            LOG_ERROR("gateway: request for %s failed inside the gateway", request.path.c_str());
            response.status = 500;
            response.set_content(qz::gateway_service::error_body("internal gateway error"),
                                 "application/json");
        });

    if (!server.bind_to_port(settings.listen, settings.port)) {
        fprintf(stderr, "%s: cannot listen on %s port %d\n", kProgram, settings.listen.c_str(),
                settings.port);
        LOG_ERROR("gateway: cannot listen on %s port %d", settings.listen.c_str(), settings.port);
        qz::service::disconnect(config);
        return kExitFailed;
    }
    std::thread listener([&server] { server.listen_after_bind(); });
    LOG_INFO("%s listening on https://%s:%d%s for user %s, forwarding to %s (%s)", kProgram,
             settings.listen.c_str(), settings.port, settings.path.c_str(), settings.user.c_str(),
             options.server.c_str(),
             settings.services.empty() ? "any service" : "listed services only");
    const bool ready = qz::service::signal_ready(options);
    if (ready) qz::service::wait_for_stop();

    __atomic_store_n(stop, 1, __ATOMIC_SEQ_CST);
    LOG_INFO("%s stopping", kProgram);
    // Ends the accept loop; the task queue's shutdown lets the requests in progress finish.
    server.stop();
    listener.join();
    qz::service::disconnect(config);
    return ready ? kExitStopped : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            printf("%s%s", kUsage, qz::service::common_usage());
            return kExitStopped;
        }
    }
    qz::service::Options options;
    std::string error;
    if (!qz::service::parse_common_options(argc, argv, &options, &error)) {
        return usage_error(error);
    }
    GatewaySettings settings;
    if (!parse_gateway_flags(options.rest, &settings, &error)) return usage_error(error);
    return run(options, settings);
}
