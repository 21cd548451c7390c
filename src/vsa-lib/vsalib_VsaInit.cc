// vsalib_VsaInit: one new init handle. Builds its runtime record, and for the first handle of
// the process the broker connection and the event dispatcher; every handle then fetches its own
// scan configuration and driver information from the control service. Each step counts against
// the init time-out INIT/INITTIMEOUT, measured from the entry.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>
#include <optional>
#include <string>

#include "connection/connection.h"
#include "connection/nats_client.h"
#include "event/dispatcher.h"
#include "log/log.h"
#include "platform/critical_section.h"
#include "platform/error_text.h"
#include "platform/host.h"
#include "platform/thread.h"
#include "process/monotonic_time.h"
#include "util/path_file.h"
#include "vsa/vsalib_entry_points.h"
#include "vsa_engine.h"
#include "vsalib_BuildUniquePaths.h"
#include "vsalib_connection_settings.h"
#include "vsalib_consolidated_init.h"
#include "vsalib_lifecycle_events.h"
#include "vsalib_semaphores.h"
#include "vsalib_services.h"
#include "vsalib_store.h"
#include "vsalib_trace.h"
#include "vsalib_trace_file.h"

namespace {

constexpr const char* kSource = "vsa-lib/src/vsalib_VsaInit";
constexpr const char* kFunction = "vsalib_VsaInit";
constexpr const char* kProduct = "vendrix Anti-Virus for SAP Solutions";
constexpr int kVersionMajor = 4;
constexpr int kVersionMinor = 0;
constexpr int kVersionPatch = 5;
constexpr int kVersionBuild = 139;
constexpr int64_t kDateStamp = 1786290085;  // 2026-08-09 15:41:25 UTC
constexpr const char* kAsterisks = "**************************************************";
constexpr const char* kTimeout = "Timeout";
constexpr char kSeparator = '/';

#define INIT_LOG(level, ...) log_log((level), kFunction, kSource, __LINE__, __VA_ARGS__)

// What one call has built of the process-wide machinery, so that a failed first call can take it
// down again: no thread, connection or queue of a start-up that did not happen stays behind.
struct FirstInitState {
    bool first = false;                 // this call found gRefCounter at 0
    bool connection_attempted = false;  // qz_connection_init was called
};

class Init {
  public:
    Init(PPVSA_INIT pp_init, vsa_global* g) : pp_init_(pp_init), g_(g) {}

    VSA_RC run();
    // A first start-up that failed after reaching the broker closes the connection and
    // releases the broker client's threads again.
    void undo_first_init();

  private:
    VSA_INIT* handle() const { return *pp_init_; }
    VSA_ENGINE* engine() const { return handle()->hEngine; }
    qz_connection_config* connection() const {
        return static_cast<qz_connection_config*>(g_->connection_config);
    }

    // Stores text as the handle's error text and answers code (1 when the copy fails).
    VSA_RC fail(const char* text, VSA_RC code);
    // Seconds left of the time-out, counted in whole seconds since the entry.
    long remaining() const;
    bool timed_out();
    bool store_library_text(bool cloud);
    VSA_RC broker_and_proxy();
    VSA_RC open_secretbox();
    VSA_RC open_connection();
    VSA_RC needed_services();
    VSA_RC run_directory(std::string* directory);
    VSA_RC start_dispatcher(const std::string& directory);

    PPVSA_INIT pp_init_;
    vsa_global* g_;
    uint64_t start_ms_ = qz_current_time_ms();
    long timeout_ = 0;
    FirstInitState state_;
};

VSA_RC Init::fail(const char* text, VSA_RC code) {
    char* copy = strdup(text);
    if (copy == nullptr) return VSA_E_NO_MEMORY;
    free(handle()->pszErrorText);
    handle()->pszErrorText = copy;
    handle()->iErrorRC = 1;
    return code;
}

long Init::remaining() const {
    const long elapsed = static_cast<long>((qz_current_time_ms() - start_ms_) / 1000);
    return timeout_ - elapsed;
}

bool Init::timed_out() {
    if (remaining() >= 1) return false;
    INIT_LOG(QZ_LOG_WARN, "%s", kTimeout);
    return true;
}

bool Init::store_library_text(bool cloud) {
    char* text = nullptr;
    const int length = cloud ? asprintf(&text, "%s - Cloud, v%d.%d.%d-%d ", kProduct, kVersionMajor,
                                        kVersionMinor, kVersionPatch, kVersionBuild)
                             : asprintf(&text, "%s (MQ) - v%d.%d.%d-%d ", kProduct, kVersionMajor,
                                        kVersionMinor, kVersionPatch, kVersionBuild);
    if (length < 0) return false;
    free(handle()->pszLibraryText);
    handle()->pszLibraryText = text;
    return true;
}

// Steps for the first handle only: where the broker is, how to reach it through a proxy, which
// CA to trust.
VSA_RC Init::broker_and_proxy() {
    qz::CriticalSectionLock lock(&g_->cs);
    state_.first = g_->gRefCounter == 0;
    char message[VSALIB_MESSAGE_SIZE] = "";
    if (state_.first) {
        std::optional<std::string> broker =
            qz::vsalib::stored_text(g_, g_->config, "GLOBAL", "BROKER");
        if (broker && !broker->empty() &&
            vsalib_apply_broker_url(connection(), broker->c_str(), message) != 0)
            return fail(message, VSA_E_DRIVER_FAILED);
    }
    INIT_LOG(QZ_LOG_TRACE, "Reading proxy information");
    std::optional<std::string> proxy = qz::vsalib::stored_text(g_, g_->config, "GLOBAL", "PROXY");
    INIT_LOG(QZ_LOG_TRACE, "Proxy value: %s",
             proxy ? qz::vsalib::url_for_trace(proxy->c_str()).c_str() : "(null)");
    if (!state_.first) return VSA_OK;
    if (proxy && !proxy->empty() && vsalib_apply_proxy(connection(), proxy->c_str(), message) != 0)
        return fail(message, VSA_E_DRIVER_FAILED);

    const std::string directory =
        qz::vsalib::stored_text_or_empty(g_, g_->config, "INIT", "INITDIRECTORY");
    char* cert_path = nullptr;
    if (asprintf(&cert_path, "%s%c%s%c%s%c%s", directory.c_str(), kSeparator, "config", kSeparator,
                 "certificates", kSeparator, "qz-av-ca-root.crt") < 0)
        return fail("Failed to allocate cert_path", VSA_E_NO_MEMORY);
    // An installation without its own CA file trusts the system's CAs rather than failing every
    // connection, plain ones included, on a file it does not need.
    free(connection()->cert_path);
    connection()->cert_path = nullptr;
    if (qzhlp_IsRegularFile(cert_path)) {
        connection()->cert_path = cert_path;
    } else {
        INIT_LOG(QZ_LOG_WARN, "CA file %s not found; the system trust store is used", cert_path);
        free(cert_path);
    }
    return VSA_OK;
}

VSA_RC Init::open_secretbox() {
    const std::string password =
        qz::vsalib::stored_text_or_empty(g_, g_->config, "INIT", "INITEXTRADRIVERS");
    if (password.empty() || engine()->secretbox != nullptr) return VSA_OK;
    qz_secretbox_key* key = qz_secretbox_generate_key(password.c_str());
    if (key == nullptr) {
        INIT_LOG(QZ_LOG_FATAL, "Failed to allocate secretbox struct");
        return fail("Failed to allocate secretbox struct", VSA_E_NO_MEMORY);
    }
    engine()->secretbox = key;
    // Addresses only: key material never goes into the trace.
    INIT_LOG(QZ_LOG_TRACE,
             "Secretbox struct allocated: ====================================================");
    INIT_LOG(QZ_LOG_TRACE, "         secretbox:         %p", static_cast<void*>(key));
    INIT_LOG(QZ_LOG_TRACE, "         nonce:             %p", static_cast<void*>(key->nonce));
    INIT_LOG(QZ_LOG_TRACE, "         nonce_hex:         %s",
             key->nonce_hex[0] != '\0' ? key->nonce_hex : "n/a");
    INIT_LOG(QZ_LOG_TRACE, "         derived key:       %p", static_cast<void*>(key->key));
    INIT_LOG(QZ_LOG_TRACE,
             "                            ====================================================");
    return VSA_OK;
}

VSA_RC Init::open_connection() {
    qz::CriticalSectionLock lock(&g_->cs);
    if (g_->gRefCounter != 0) return VSA_OK;
    INIT_LOG(QZ_LOG_TRACE, "Initializing NATS client");
    state_.connection_attempted = true;
    const int rc = qz_connection_init(connection());
    if (rc == 0) return VSA_OK;
    char message[VSALIB_MESSAGE_SIZE];
    snprintf(message, sizeof message,
             "Failed to initialise broker connection (rc=%d) \xE2\x80\x94 aborting before fetching "
             "configuration",
             rc);
    INIT_LOG(QZ_LOG_FATAL, "%s", message);
    return fail(message, VSA_E_DRIVER_FAILED);
}

VSA_RC Init::needed_services() {
    const std::string engines =
        qz::vsalib::stored_text_or_empty(g_, g_->config, "INIT", "INITENGINES");
    char message[VSALIB_MESSAGE_SIZE] = "";
    char** services = nullptr;
    uint32_t mask = 0;
    if (vsalib_determine_services(engines.c_str(), &services, &mask, message) != 0) {
        engine()->serviceMask = 0;
        return fail(message, VSA_E_LOAD_FAILED);
    }
    engine()->services = services;
    engine()->serviceMask = mask;
    qz_connection_config* config = connection();
    if (config != nullptr && config->js_services == nullptr) {
        std::string joined;
        for (char** name = services; *name != nullptr; ++name) {
            if (!joined.empty()) joined += ",";
            joined += *name;
        }
        config->js_services = strdup(joined.c_str());
        if (config->js_services == nullptr) return fail("Failed to allocate js_services", 1);
        INIT_LOG(QZ_LOG_DEBUG,
                 "VsaInit: work-queue routing for services '%s' (from INITENGINES; core fallback "
                 "where a queue is not provisioned)",
                 config->js_services);
    }
    return VSA_OK;
}

// The run directory holds the event queue; it is created when missing, so that no event is lost
// to a queue that could not be opened.
VSA_RC Init::run_directory(std::string* directory) {
    const bool cloud =
        qz::vsalib::stored_long(g_, g_->config, "SCAN", "CLOUD_MODE").value_or(0) == 1;
    if (cloud) {
        if (!store_library_text(true)) return VSA_E_NO_MEMORY;
        *directory = std::string("./vendrix_rundir_") + engine()->SID;
    } else {
        *directory = qz::vsalib::stored_text_or_empty(g_, g_->config, "INIT", "INITDIRECTORY") +
                     kSeparator + "run";
    }
    if (qzhlp_IsDir(directory->c_str())) {
        INIT_LOG(QZ_LOG_INFO, "Directory %s exists", directory->c_str());
        return VSA_OK;
    }
    INIT_LOG(QZ_LOG_INFO, "Creating directory rundir %s", directory->c_str());
    if (qzhlp_create_dir(directory->c_str(), 0, 0) == 0 && qzhlp_IsDir(directory->c_str()))
        return VSA_OK;
    char message[VSALIB_MESSAGE_SIZE];
    snprintf(message, sizeof message, "Failed to create run directory %s", directory->c_str());
    INIT_LOG(QZ_LOG_FATAL, "%s", message);
    return fail(message, VSA_E_DRIVER_FAILED);
}

VSA_RC Init::start_dispatcher(const std::string& directory) {
    logThreadParams* dispatcher = qz_log_create_log_dispatcher(directory.c_str(), connection());
    // A dispatcher without its queue would drop every event of this process.
    if (dispatcher != nullptr && dispatcher->pq == nullptr) {
        qz_log_stop_log_dispatcher(dispatcher, -1);
        dispatcher = nullptr;
    }
    if (dispatcher == nullptr) {
        INIT_LOG(QZ_LOG_FATAL, "Failed to start log dequeue thread");
        return fail("Failed to start log dequeue thread", VSA_E_DRIVER_FAILED);
    }
    g_->logThreadParams = dispatcher;
    INIT_LOG(QZ_LOG_INFO, "Log dequeue thread created");
    return VSA_OK;
}

// The settings stay for the next attempt to replace.
void Init::undo_first_init() {
    if (!state_.first || !state_.connection_attempted || g_->gRefCounter != 0) return;
    INIT_LOG(QZ_LOG_DEBUG, "Closing the broker connection of the failed start-up");
    qz_connection_deinit(connection());
    if (qz_nats_close_library() < 0)
        INIT_LOG(QZ_LOG_WARN, "Broker client threads did not end in time");
}

VSA_RC Init::run() {
    {
        qz::CriticalSectionLock lock(&g_->cs);
        std::optional<long> timeout =
            qz::vsalib::stored_long(g_, g_->config, "INIT", "INITTIMEOUT");
        if (!timeout) {
            INIT_LOG(QZ_LOG_FATAL, "Could not read timeout");
            return VSA_E_INVALID_PARAM;
        }
        timeout_ = *timeout;
    }
    srand(static_cast<unsigned>(clock()) + static_cast<unsigned>(QZ_GetThreadId()));

    INIT_LOG(QZ_LOG_TRACE, "Allocating runtime settings");
    if (vsalib_AllocateRuntimeConfig(pp_init_, g_) == nullptr) {
        INIT_LOG(QZ_LOG_ERROR, "Failed to allocate %s", "runtime");
        return VSA_E_NO_MEMORY;
    }
    handle()->struct_size = sizeof(VSA_INIT);
    if (!store_library_text(false)) return VSA_E_NO_MEMORY;
    handle()->iMajorVersion = kVersionMajor;
    handle()->iBuildNumber = kVersionBuild;
    handle()->utcDate = kDateStamp;

    vsalib_open_trace_file(g_);
    INIT_LOG(QZ_LOG_INFO, "%s", kAsterisks);
    INIT_LOG(QZ_LOG_INFO, "    vendrix VSA-Library version %d.%d.%d.%d ", kVersionMajor,
             kVersionMinor, kVersionPatch, kVersionBuild);
    INIT_LOG(QZ_LOG_INFO, "%s", kAsterisks);

    char hash[VSALIB_CONFIG_HASH_SIZE];
    const std::string directory =
        qz::vsalib::stored_text_or_empty(g_, g_->config, "INIT", "INITDIRECTORY");
    if (VsaCreateConfigHash(hash, directory.c_str(), engine()->SID, engine()->host_name) != 0 ||
        vsalib_StoreString(&engine()->configHash, hash) != 0) {
        INIT_LOG(QZ_LOG_FATAL, "Failed to get/store config hash");
        return VSA_E_INVALID_PARAM;
    }
    INIT_LOG(QZ_LOG_DEBUG, "Config Hash: %s", engine()->configHash);

    char message[VSALIB_MESSAGE_SIZE] = "";
    if (vsalib_CreateSemaphores(engine(), message) != 0) return fail(message, VSA_E_NO_MEMORY);
    if (qz_BuildUniquePaths(engine()) != 0) {
        INIT_LOG(QZ_LOG_FATAL, "Failed to build and/or store unique paths");
        return fail("Failed to build and/or store unique paths", VSA_E_NO_MEMORY);
    }
    if (timed_out()) return fail(kTimeout, VSA_E_LOAD_FAILED);

    VSA_RC rc = broker_and_proxy();
    if (rc == VSA_OK) rc = open_secretbox();
    if (rc == VSA_OK) rc = open_connection();
    if (rc == VSA_OK) rc = needed_services();
    if (rc == VSA_OK && timed_out()) rc = fail(kTimeout, VSA_E_LOAD_FAILED);
    if (rc == VSA_OK) {
        const std::string servers =
            qz::vsalib::stored_text_or_empty(g_, g_->config, "INIT", "INITSERVERS");
        if (vsalib_get_consolidated_init(engine(), pp_init_, servers.c_str(), remaining(),
                                         message) != 0) {
            INIT_LOG(QZ_LOG_FATAL, "%s", message);
            rc = fail(message, VSA_E_DRIVER_FAILED);
        }
    }
    if (rc != VSA_OK) return rc;
    INIT_LOG(QZ_LOG_INFO, "TenantID: %s",
             engine()->TenantID != nullptr ? engine()->TenantID : "(null)");

    if (g_->gRefCounter != 0) {
        g_->gRefCounter += 1;
        engine()->refCounted = 1;
        INIT_LOG(QZ_LOG_DEBUG, "reference counter: %d", g_->gRefCounter);
        g_->libInitialised = 1;
        return VSA_OK;
    }

    std::string run_dir;
    rc = run_directory(&run_dir);
    if (rc == VSA_OK) rc = start_dispatcher(run_dir);
    if (rc != VSA_OK) return rc;
    g_->gRefCounter += 1;
    engine()->refCounted = 1;
    INIT_LOG(QZ_LOG_DEBUG, "reference counter: %d", g_->gRefCounter);
    g_->libInitialised = 1;
    if (state_.first) vsalib_send_lifecycle_event(VSALIB_EVENT_STARTED, g_, engine());
    return VSA_OK;
}

}  // namespace

extern "C" {

VSA_RC vsalib_VsaInit(PVSA_CALLBACK, PVSA_INITPARAMS, PPVSA_INIT pp_init, vsa_global* g) {
    log_set_quiet(1);
    VSA_RC rc = VSA_E_NO_MEMORY;
    if (pp_init == nullptr || *pp_init == nullptr || g == nullptr) {
        INIT_LOG(QZ_LOG_FATAL, "Illegal parameter pp_init: %p or g: %p",
                 static_cast<void*>(pp_init), static_cast<void*>(g));
        rc = VSA_E_NULL_PARAM;
    } else {
        qz_winsock_init();
        vsalib_open_trace_file(g);
        Init init(pp_init, g);
        try {
            rc = init.run();
        } catch (const std::bad_alloc&) {
            INIT_LOG(QZ_LOG_ERROR, "Unexpected failure: %s", "out of memory");
            rc = VSA_E_NO_MEMORY;
        } catch (const std::exception& e) {
            INIT_LOG(QZ_LOG_ERROR, "Unexpected failure: %s", e.what());
            rc = VSA_E_DRIVER_FAILED;
        }
        if (rc != VSA_OK) init.undo_first_init();
    }
    INIT_LOG(QZ_LOG_TRACE, "Exiting, rc=%d", rc);
    return rc;
}
}
