#include "connection/worker_ping.h"

#include <cstdio>
#include <cstring>

#include "connection/connection.h"
#include "connection/nats_handles.h"
#include "log/log.h"
#include "platform/thread.h"

extern "C" {

int qz_worker_ping(qz_connection_config* config, const char* service, int add_ping_suffix,
                   int attempts, uint32_t timeout, uint32_t delay) {
    if (service == nullptr) {
        LOG_ERROR("qz_worker_ping: no service name");
        return -1;
    }
    // The broker itself has no ping subject; reaching this point means the connection is up.
    if (strcmp(service, "qz-av-broker") == 0) return 0;
    char subject[256];
    const int length = add_ping_suffix ? snprintf(subject, sizeof(subject), "%s.ping", service)
                                       : snprintf(subject, sizeof(subject), "%s", service);
    if (length < 0 || length >= static_cast<int>(sizeof(subject))) {
        LOG_ERROR("qz_worker_ping: subject for service '%.64s...' is longer than 255 characters",
                  service);
        return -1;
    }
    if (attempts < 1) return -1;
    char request[64];
    snprintf(request, sizeof(request), "{ \"Command\" : %d }", 3);
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        qz::nats::JsonPtr reply(
            qz_connection_send_recv_json(config, subject, request, timeout, 0, nullptr));
        if (reply) {
            LOG_DEBUG("qz_worker_ping: %s answered on attempt %d/%d", subject, attempt, attempts);
            return 0;
        }
        QZ_Sleep(static_cast<long>(delay));
    }
    LOG_DEBUG("qz_worker_ping: no reply from %s after %d attempt(s)", subject, attempts);
    return -1;
}
}
