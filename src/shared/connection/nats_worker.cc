// Placeholder for the worker side, which is built separately: until it lands, every start call
// is refused with an ERROR line so that a service program fails loudly instead of idling.
#include "connection/nats_worker.h"

#include "log/log.h"

extern "C" {

int qz_nats_start_service_handler_threads(qz_connection_config*, const char* subject,
                                          qz_request_handler_fn, void*, volatile int32_t*, int) {
    LOG_ERROR("NATS: worker side not available in this build (service handlers for '%s')",
              subject != nullptr ? subject : "(null)");
    return -1;
}

int qz_nats_start_broadcast_handler_threads(qz_connection_config*, const char* subject,
                                            qz_request_handler_fn, void*, volatile int32_t*, int) {
    LOG_ERROR("NATS: worker side not available in this build (broadcast handlers for '%s')",
              subject != nullptr ? subject : "(null)");
    return -1;
}

int qz_nats_start_js_work_consumer(qz_connection_config*, const char* service,
                                   qz_request_handler_fn, void*, volatile int32_t*, int,
                                   QZ_SEM_HANDLE) {
    LOG_ERROR("NATS: worker side not available in this build (work-queue pullers for '%s')",
              service != nullptr ? service : "(null)");
    return -1;
}
}
