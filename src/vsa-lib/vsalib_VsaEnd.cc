// vsalib_VsaEnd: ends one init handle. The last live handle announces the stop and takes down
// what the first one started: the heartbeat and dispatcher threads, the event queue, the broker
// connection and the broker client's process-wide state, so that the adapter can unload the
// library afterwards.
#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "connection/connection.h"
#include "connection/nats_client.h"
#include "event/dispatcher.h"
#include "log/log.h"
#include "platform/error_text.h"
#include "platform/semaphore.h"
#include "platform/thread.h"
#include "process/heartbeat.h"
#include "scan/scan_records.h"
#include "vsa/vsalib_entry_points.h"
#include "vsa_engine.h"
#include "vsalib_lifecycle_events.h"
#include "vsalib_store.h"
#include "vsalib_trace.h"

namespace {

constexpr const char* kSource = "vsa-lib/src/vsalib_VsaEnd";
constexpr const char* kFunction = "vsalib_VsaEnd";
constexpr long kInitSemaphoreWaitMs = 30000;
// Time for the dispatcher to forward the stop event before it is stopped.
constexpr long kStopEventGraceMs = 1000;

#define END_LOG(level, ...) log_log((level), kFunction, kSource, __LINE__, __VA_ARGS__)

bool start_control(vsa_global* g) {
    return qz::vsalib::stored_long(g, g->config, "INIT", "START_CONTROL").value_or(0) == 1;
}

QZ_SEM_HANDLE init_semaphore(const VSA_ENGINE* engine) {
    return engine != nullptr && engine->semDetails != nullptr ? engine->semDetails->initSemaphore
                                                              : nullptr;
}

void stop_heartbeat(VSA_ENGINE* engine) {
    if (engine == nullptr || engine->heartbeatParams == nullptr) return;
    qz_heartbeat_set_running(engine->heartbeatParams, 0);
    END_LOG(QZ_LOG_DEBUG, "Joining heartbeat thread");
    if (engine->heartbeatThread != nullptr && QZ_JoinThread(engine->heartbeatThread) == 0) {
        END_LOG(QZ_LOG_TRACE, "heartbeat-thread joined");
        engine->heartbeatThread = nullptr;
    }
}

void stop_dispatcher(vsa_global* g) {
    auto* dispatcher = static_cast<logThreadParams*>(g->logThreadParams);
    if (dispatcher == nullptr) return;
    END_LOG(QZ_LOG_DEBUG, "Joining log dequeue thread");
    // Without limit: the library is unloaded next, and a thread left running would run in
    // unmapped code. The dispatcher notices the stop within one request time-out.
    if (qz_log_stop_log_dispatcher(dispatcher, -1) != 0) {
        END_LOG(QZ_LOG_ERROR, "Failed to join log dequeue thread");
        return;
    }
    END_LOG(QZ_LOG_TRACE, "log dequeue thread joined");
    g->logThreadParams = nullptr;
    END_LOG(QZ_LOG_TRACE, "Persistent log queue closed");
}

// Closes the connection and releases the broker client's global state and the settings record,
// which nothing uses once the last handle is gone.
void close_connection(vsa_global* g) {
    auto* connection = static_cast<qz_connection_config*>(g->connection_config);
    qz_connection_deinit(connection);
    const int closed = qz_nats_close_library();
    if (closed == 0) {
        END_LOG(QZ_LOG_DEBUG,
                "libnats global state torn down (nats_Close); safe to dlclose libqzvsa");
    } else {
        END_LOG(QZ_LOG_WARN, "libnats global state not torn down (rc=%d)", closed);
    }
    qz_connection_config_free(connection);
    g->connection_config = nullptr;
}

VSA_RC end_handle(PPVSA_INIT pp_init, PPVSA_CONFIG pp_config, vsa_global* g) {
    END_LOG(QZ_LOG_DEBUG, "Releasing VSA Configuration");
    if (pp_config != nullptr && *pp_config != nullptr) vsalib_FreeVSA_CONFIG(pp_config);
    if (pp_init == nullptr || *pp_init == nullptr) return VSA_OK;
    VSA_ENGINE* engine = (*pp_init)->hEngine;

    const bool controlled = start_control(g) && init_semaphore(engine) != nullptr;
    if (controlled && QZsem_timedwait(init_semaphore(engine), kInitSemaphoreWaitMs) != 0) {
        END_LOG(QZ_LOG_ERROR, "Failed to lock INIT semaphore for %d seconds: %s",
                static_cast<int>(kInitSemaphoreWaitMs / 1000), QZstrerror(QZ_GetLastError()));
        return VSA_E_IN_PROGRESS;
    }

    // Only a handle that start-up counted takes itself off the count: the end of a handle whose
    // start-up failed must not stop what live handles still use.
    const bool counted = engine != nullptr && engine->refCounted;
    if (counted && g->gRefCounter == 1)
        vsalib_send_lifecycle_event(VSALIB_EVENT_STOPPED, g, engine);

    if (counted && g->gRefCounter >= 2) {
        g->gRefCounter -= 1;
    } else if (counted || g->gRefCounter == 0) {
        stop_heartbeat(engine);
        if (g->logThreadParams != nullptr) QZ_Sleep(kStopEventGraceMs);
        stop_dispatcher(g);
        if (g->gRefCounter > 0) g->gRefCounter -= 1;
        if (g->gRefCounter == 0) close_connection(g);
    } else {
        stop_heartbeat(engine);
    }

    vsalib_FreeVSA_INIT(pp_init);
    // A handle that is still live keeps scanning: ending one of two handles must not make the
    // other answer "not initialised" until some later VsaInit happens to set the flag again.
    g->libInitialised = g->gRefCounter > 0 ? 1 : 0;
    if (controlled && start_control(g)) QZsem_post(init_semaphore(engine));
    vsalib_FreeRuntimeConfig(engine);
    return VSA_OK;
}

}  // namespace

extern "C" {

VSA_RC vsalib_VsaEnd(PPVSA_INIT pp_init, PPVSA_CONFIG pp_config, vsa_global* g) {
    END_LOG(
        QZ_LOG_TRACE,
        "Entering: \r\npp_init:    %p\r\n*pp_init:   %p\r\npp_config:  %p\t\n*pp_config: %p\r\n",
        static_cast<void*>(pp_init), pp_init != nullptr ? static_cast<void*>(*pp_init) : nullptr,
        static_cast<void*>(pp_config),
        pp_config != nullptr ? static_cast<void*>(*pp_config) : nullptr);
    VSA_RC rc = VSA_OK;
    if (g == nullptr) {
        END_LOG(QZ_LOG_ERROR, "Invalid value for g (NULL)");
    } else {
        try {
            rc = end_handle(pp_init, pp_config, g);
        } catch (const std::exception& e) {
            END_LOG(QZ_LOG_ERROR, "Unexpected failure: %s", e.what());
        }
    }
    END_LOG(QZ_LOG_TRACE, "Exiting: rc= %d, reference-counter: %d", rc,
            g != nullptr ? g->gRefCounter : 0);
    return rc;
}
}
