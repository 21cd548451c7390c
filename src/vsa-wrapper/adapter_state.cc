#include "adapter_state.h"

#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>

#include "config/config_store.h"
#include "init_parameters.h"
#include "platform/critical_section.h"
#include "platform/error_text.h"
#include "platform/host.h"

extern "C" {
vsa_global* g = nullptr;
}

namespace qz::adapter {
namespace {

constexpr uint32_t kSpinCount = 1024;
constexpr const char* kAsterisks = "**************************************************";

// The trace log borrows its file name. Every name handed to it stays here, unchanged, for the life
// of the library: the store's copy goes when a parameter is replaced or the store released,
// while other threads may still be tracing.
std::set<std::string> s_trace_paths;

const char* keep_trace_path(const char* path) { return s_trace_paths.insert(path).first->c_str(); }

// At unload (or process exit): stop tracing into names that are about to go, and release the
// state when nothing of the implementation can still reach it.
struct UnloadRelease {
    UnloadRelease() = default;
    UnloadRelease(const UnloadRelease&) = delete;
    UnloadRelease& operator=(const UnloadRelease&) = delete;
    ~UnloadRelease() {
        log_set_level(QZ_LOG_OFF);
        log_set_filename(nullptr);
        if (g != nullptr && g->gRefCounter == 0 && g->libHandle == nullptr) vsaglobal_Free(&g);
    }
};
// Defined after s_trace_paths, so it runs first at unload.
UnloadRelease s_unload_release;

// Releases what a failed start-up built. A record that the implementation may still hold (after
// a restart while it stays loaded) is kept.
VSA_RC fail_startup() {
    SITE_LOG(kVsaStartupSite, QZ_LOG_DEBUG, "Freeing global and config");
    if (g->libHandle == nullptr) {
        vsaglobal_Free(&g);
    } else if (g->config != nullptr) {
        qz_config_free_list(g->config);
        g->config = nullptr;
    }
    SITE_LOG(kVsaStartupSite, QZ_LOG_DEBUG, "rc=%d", VSA_E_NO_MEMORY);
    SITE_LOG(kVsaStartupSite, QZ_LOG_DEBUG, "Exiting");
    return VSA_E_NO_MEMORY;
}

}  // namespace

bool require_started(const TraceSite& site) {
    if (g != nullptr && g->started) return true;
    SITE_LOG(site, QZ_LOG_ERROR, "VSA not started up, returning VSA_E_NOT_INITIALISED");
    return false;
}

void open_trace_from_store(vsa_global* state) {
    CriticalSectionLock lock(&state->cs);
    long max_size = 0;
    if (GetConfigParameter_Long(state->config, "TRACE", "TRACEFILE_MAX_SIZE_MB", &max_size) != 0 ||
        max_size < 0)
        max_size = 0;
    int level = -1;
    if (GetConfigParameter_Int(state->config, "TRACE", "TRACELEVEL", &level) != 0) level = -1;
    const char* path = GetConfigParameter_String(state->config, "TRACE", "TRACEFILE");
    QZOpenTraceFile(keep_trace_path(path != nullptr ? path : ""), level,
                    static_cast<uint64_t>(max_size));
}

void log_banner(const TraceSite& site, vsa_global* state) {
    int max_size = 0;
    {
        CriticalSectionLock lock(&state->cs);
        if (GetConfigParameter_Int(state->config, "TRACE", "TRACEFILE_MAX_SIZE_MB", &max_size) != 0)
            max_size = 0;
    }
    SITE_LOG(site, QZ_LOG_INFO, "%s", kAsterisks);
    SITE_LOG(site, QZ_LOG_INFO, "    vendrix VSA-Wrapper version %d.%d.%d.%d ", kVersionMajor,
             kVersionMinor, kVersionPatch, kVersionBuild);
    SITE_LOG(site, QZ_LOG_INFO, "%s", kAsterisks);
    SITE_LOG(site, QZ_LOG_INFO, "Max tracefile size: %d MB", max_size);
}

VSA_RC startup() {
    // The host calls VsaStartup once; a repeated call must neither leak the state nor replace
    // the store that the implementation may be reading.
    if (g != nullptr && g->started) {
        SITE_LOG(kVsaStartupSite, QZ_LOG_WARN,
                 "VsaStartup called again without VsaCleanup; keeping the current state");
        SITE_LOG(kVsaStartupSite, QZ_LOG_DEBUG, "rc=%d", VSA_OK);
        SITE_LOG(kVsaStartupSite, QZ_LOG_DEBUG, "Exiting");
        return VSA_OK;
    }
    log_set_level(QZ_LOG_INFO);
    log_set_quiet(1);
    qz_winsock_init();

    // After VsaCleanup the record, its function table and cs are still there and are reused.
    if (g == nullptr) {
        g = static_cast<vsa_global*>(calloc(1, sizeof(vsa_global)));
        if (g == nullptr) {
            SITE_LOG(kVsaStartupSite, QZ_LOG_FATAL, "Failed to allocate vsa_global: %s",
                     QZstrerror(QZ_GetLastError()));
            return VSA_E_NO_MEMORY;
        }
    }
    g->config = qz_config_new_list();
    if (g->config == nullptr) {
        SITE_LOG(kVsaStartupSite, QZ_LOG_FATAL, "Failed to create config list: %s",
                 QZstrerror(QZ_GetLastError()));
        return fail_startup();
    }
    if (!g->cs.initialised && QZ_InitializeCriticalSection(&g->cs, kSpinCount) != 0) {
        SITE_LOG(kVsaStartupSite, QZ_LOG_FATAL, "Failed to initialise the critical section: %s",
                 QZstrerror(QZ_GetLastError()));
        return fail_startup();
    }
    if (g->vsa == nullptr) {
        g->vsa = static_cast<vsa_functions*>(calloc(1, sizeof(vsa_functions)));
        if (g->vsa == nullptr) {
            SITE_LOG(kVsaStartupSite, QZ_LOG_FATAL,
                     "Failed to allocate vsa function pointer struct");
            return fail_startup();
        }
    }

    if (vsawrapper_SetDefaults(g->config) != 0)
        SITE_LOG(kVsaStartupSite, QZ_LOG_ERROR, "Failed to store the default parameters");
    qz_ReadConfig(g->config);
    open_trace_from_store(g);
    log_banner(kVsaStartupSite, g);

    g->started = 1;
    SITE_LOG(kVsaStartupSite, QZ_LOG_INFO, "VSA startup complete");
    SITE_LOG(kVsaStartupSite, QZ_LOG_DEBUG, "rc=%d", VSA_OK);
    SITE_LOG(kVsaStartupSite, QZ_LOG_DEBUG, "Exiting");
    return VSA_OK;
}

VSA_RC cleanup() {
    SITE_LOG(kVsaCleanupSite, QZ_LOG_TRACE, "Entering");
    if (!require_started(kVsaCleanupSite)) return VSA_E_NOT_INITIALISED;
    if (g->gRefCounter != 0) {
        SITE_LOG(kVsaCleanupSite, QZ_LOG_WARN,
                 "Some threads are still active (refCount: %d), returning VSA_E_IN_PROGRESS",
                 g->gRefCounter);
        return VSA_E_IN_PROGRESS;
    }
    {
        CriticalSectionLock lock(&g->cs);
        // Only fails while someone holds the store's iterator; then nothing is released.
        if (qz_config_free_list(g->config) != 0) {
            SITE_LOG(kVsaCleanupSite, QZ_LOG_WARN,
                     "The parameter store is in use, returning VSA_E_IN_PROGRESS");
            return VSA_E_IN_PROGRESS;
        }
        g->config = nullptr;
    }
    QZCloseTraceFile();
    g->started = 0;
    return VSA_OK;
}

}  // namespace qz::adapter
