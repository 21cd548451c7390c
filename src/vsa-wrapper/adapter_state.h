// The adapter's process-wide state: the record `g` that the host's calls share with the
// implementation library, its creation at VsaStartup and release at VsaCleanup, and the trace
// file that follows the store's TRACE settings.
#pragma once

#include "entry_guard.h"
#include "qzav/qz_export.h"
#include "qzav/vsa_types.h"
#include "vsa/vsa_global.h"

extern "C" {
// Created by VsaStartup, NULL before it. Exported so that the state can be inspected.
extern QZ_EXPORT vsa_global* g;
}

namespace qz::adapter {

inline constexpr int kVersionMajor = 4;
inline constexpr int kVersionMinor = 0;
inline constexpr int kVersionPatch = 5;
inline constexpr int kVersionBuild = 139;

inline constexpr TraceSite kVsaStartupSite{"VsaStartup", "vsa-wrapper/src/VsaStartup"};
inline constexpr TraceSite kVsaCleanupSite{"VsaCleanup", "vsa-wrapper/src/VsaCleanup"};

VSA_RC startup();
VSA_RC cleanup();

// True when VsaStartup has completed and VsaCleanup has not run since; otherwise traces the
// refusal at ERROR for `site`.
bool require_started(const TraceSite& site);

// Opens the trace file with the store's TRACE settings, under g->cs: TRACEFILE (empty when
// absent: tracing off), TRACELEVEL (-1 when absent) and TRACEFILE_MAX_SIZE_MB (0 when absent).
void open_trace_from_store(vsa_global* state);
// The four-line start-up banner with the trace size limit, traced at INFO for `site`.
void log_banner(const TraceSite& site, vsa_global* state);

}  // namespace qz::adapter
