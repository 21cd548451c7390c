// Serving one gateway request: Basic authentication, the multipart form with the request JSON
// and the optional object to scan, routing by "X-Target-Service" to the service over the broker
// (the object staged in "qz-av-scan-data" by the library's requester side), and the mapping of
// the outcome to an HTTP status with a JSON body.
#pragma once

#include <httplib.h>

#include <string>

#include "connection/connection.h"
#include "gateway_settings.h"

namespace qz::gateway_service {

class RequestHandler {
  public:
    // Both are borrowed and must outlive the handler; the config is connected already.
    RequestHandler(const GatewaySettings& settings, qz_connection_config* config)
        : settings_(settings), config_(config) {}

    // Answers 200 with the service's reply; 401 for missing or wrong credentials, 400 for a
    // request that is not the expected form, 403 for a service outside the configured list, 502
    // when the service cannot be reached or answers nonsense, 504 when it does not answer in
    // time. Every answer but 200 carries {"ReturnCode": -1, "Error": "..."}.
    void serve(const httplib::Request& request, httplib::Response& response,
               const httplib::ContentReader& reader) const;

  private:
    const GatewaySettings& settings_;
    qz_connection_config* config_;
};

// True when authorization is "Basic <base64 of user:password>" for exactly these credentials;
// compared in constant time.
bool credentials_match(const std::string& authorization, const std::string& user,
                       const std::string& password);

// A subject the gateway forwards to: 1 to 255 characters of letters, digits, '-', '_' and '.',
// no empty token, and nothing of the broker's own ("_INBOX.", "$..."). Wildcards never pass.
bool usable_subject(const std::string& subject);

// 504 for a request to the broker that timed out, 502 for every other failure.
int status_for_broker_failure(const char* reason);

// {"ReturnCode": -1, "Error": text}, JSON-escaped.
std::string error_body(const std::string& text);

}  // namespace qz::gateway_service
