// The program name in every trace line the implementation library writes, and what must hold
// while the library is mapped.
#include <nats/nats.h>

#include "log/log.h"
#include "platform/dynlib.h"

const char* qz__progname = "vsa-lib";

namespace {

// Once the broker client has set up TLS (a CA file is configured), unmapping it runs its own
// OpenSSL teardown, and OpenSSL frees the same state again at process exit: the host crashes on
// exit after the adapter unloaded this library. The client therefore stays mapped for the life
// of the process; this library itself still unloads.
struct PinBrokerClientLibrary {
    PinBrokerClientLibrary() {
        if (qz_dl_pin_module_of(reinterpret_cast<const void*>(&nats_Open)) != 0) {
            LOG_WARN("Could not keep the broker client library loaded: %s", qz_dl_error());
        }
    }
};
PinBrokerClientLibrary s_pin_broker_client;

}  // namespace
