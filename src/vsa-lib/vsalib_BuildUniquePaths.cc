#include "vsalib_BuildUniquePaths.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "vsalib_store.h"
#include "vsalib_trace.h"

namespace {

constexpr const char* kSource = "vsa-lib/src/vsalib_BuildUniquePaths";
constexpr char kSeparator = '/';

// "<directory>/run/<prefix><hash><suffix>" in a new malloc'ed block, or NULL when it cannot be
// allocated or is too long (a cut name would point at another installation's file).
char* run_file(const std::string& directory, const char* prefix, const char* hash,
               const char* suffix) {
    char* name = nullptr;
    int length = asprintf(&name, "%s%crun%c%s%s%s", directory.c_str(), kSeparator, kSeparator,
                          prefix, hash, suffix);
    if (length < 0) return nullptr;
    if (length > VSALIB_MAX_RUN_PATH) {
        free(name);
        return nullptr;
    }
    return name;
}

}  // namespace

extern "C" {

int qz_BuildUniquePaths(VSA_ENGINE* engine) {
    int rc = -1;
    if (engine == nullptr || engine->ctlDetails == nullptr) {
        VSALIB_LOG(QZ_LOG_ERROR, kSource, "Invalid parameter engine: %p",
                   static_cast<void*>(engine));
        VSALIB_LOG(QZ_LOG_TRACE, kSource, "Exiting (rc=%d", rc);
        return rc;
    }
    const std::string directory =
        qz::vsalib::stored_text_or_empty(engine->global, engine->config, "INIT", "INITDIRECTORY");
    const char* hash = engine->configHash != nullptr ? engine->configHash : "";

    char* lock_file = run_file(directory, "vendrixControl_", hash, ".lock");
    if (lock_file == nullptr) {
        VSALIB_LOG(QZ_LOG_FATAL, kSource,
                   "Failed to allocate/store vendrixControl PID/lock filename buffer");
        VSALIB_LOG(QZ_LOG_TRACE, kSource, "Exiting (rc=%d", rc);
        return rc;
    }
    free(engine->ctlDetails->lockFile);
    engine->ctlDetails->lockFile = lock_file;
    VSALIB_LOG(QZ_LOG_INFO, kSource, "vendrixControl PID/lock filename \"%s\" stored", lock_file);

    char* heartbeat = run_file(directory, "QZ_heartbeat_", hash, ".dat");
    if (heartbeat == nullptr) {
        VSALIB_LOG(QZ_LOG_FATAL, kSource, "Failed to allocate/store heartbeat filename buffer");
        VSALIB_LOG(QZ_LOG_TRACE, kSource, "Exiting (rc=%d", rc);
        return rc;
    }
    free(engine->heartbeatFile);
    engine->heartbeatFile = heartbeat;
    VSALIB_LOG(QZ_LOG_INFO, kSource, "Heartbeat filename \"%s\" stored", heartbeat);

    char* job_id = run_file(directory, "VSA_jobid_", hash, ".dat");
    if (job_id == nullptr) {
        VSALIB_LOG(QZ_LOG_FATAL, kSource, "Failed to allocate/store JobID filename buffer");
        VSALIB_LOG(QZ_LOG_TRACE, kSource, "Exiting (rc=%d", rc);
        return rc;
    }
    free(engine->jobIdFile);
    engine->jobIdFile = job_id;
    VSALIB_LOG(QZ_LOG_INFO, kSource, "VSA JobID filename \"%s\" stored", job_id);

    rc = 0;
    VSALIB_LOG(QZ_LOG_TRACE, kSource, "Exiting (rc=%d", rc);
    return rc;
}
}
