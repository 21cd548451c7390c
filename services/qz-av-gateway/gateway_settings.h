// The settings of qz-av-gateway: who may use it (one Basic user), where it listens, its
// certificate and key, and how it forwards. Read from an INI file (section [gateway]) with the
// library's INI reader; --listen, --port, --cert and --key override the file. The format is
// documented for administrators in docs/services.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qz::gateway_service {

struct GatewaySettings {
    std::string user;  // Basic authentication; both required
    std::string password;
    std::string listen = "127.0.0.1";  // loopback unless an administrator opens it up
    int port = 8443;
    std::string cert_file;               // PEM server certificate (chain); required
    std::string key_file;                // PEM private key; required
    std::string path = "/vsi";           // the one path requests are posted to
    uint32_t timeout_ms = 60000;         // wait for a service's reply on the broker
    size_t max_body_bytes = 256u << 20;  // whole request body (JSON and object)
    std::vector<std::string> services;   // subjects that may be asked; empty: any valid subject
    std::string js_services;             // subjects reached through their work queue
};

// Reads the file into *out (defaults for what it does not set). false with a one-line reason
// naming the file in *error: unreadable file, unknown key, value out of range.
bool load_gateway_settings(const std::string& path, GatewaySettings* out, std::string* error);

// What a complete configuration needs once the command line has had its say: credentials,
// certificate and key. false with the reason in *error.
bool check_gateway_settings(const GatewaySettings& settings, std::string* error);

}  // namespace qz::gateway_service
