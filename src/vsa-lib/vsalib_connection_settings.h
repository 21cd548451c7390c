// The broker and proxy settings of the first init handle, taken from GLOBAL/BROKER and
// GLOBAL/PROXY into the connection settings record: the server URL (an "amqps://" URL becomes
// "tls://<host>:4222"), host and port, credentials given in the URL, and the HTTP proxy.
#pragma once

#include <string>

#include "connection/connection_config.h"

extern "C" {

// Fills server_url, broker_host and broker_port of config from url. A "user[:password]@" in the
// URL is taken out of it into user and password (percent-decoded): it wins over the configured
// default credentials and never appears in a trace line. 0, or -1 with "Failed to read or store
// message broker information" in message (VSALIB_MESSAGE_SIZE bytes) for a URL without a host or
// with unreadable credentials.
int vsalib_apply_broker_url(qz_connection_config* config, const char* url, char* message);

// "none" in any case clears the four proxy fields; any other text is parsed as
// "[user[:password]@]host:port" into them. 0, or -1 with "Failed to parse proxy information" in
// message. A NULL proxy changes nothing.
int vsalib_apply_proxy(qz_connection_config* config, const char* proxy, char* message);
}

namespace qz::vsalib {

// The URL without a "user[:password]@" part, for trace lines; "(null)" for NULL.
std::string url_for_trace(const char* url);

}  // namespace qz::vsalib
