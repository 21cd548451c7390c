// VsaScan, VsaReleaseScan and VsaEnd: argument checks and forwarding to the loaded
// implementation with g as the last argument. The scan paths take no lock of their own.
#pragma once

#include "entry_guard.h"
#include "qzav/vsa_types.h"

namespace qz::adapter {

inline constexpr TraceSite kVsaScanSite{"VsaScan", "vsa-wrapper/src/VsaScan"};
inline constexpr TraceSite kVsaReleaseScanSite{"VsaReleaseScan", "vsa-wrapper/src/VsaReleaseScan"};
inline constexpr TraceSite kVsaEndSite{"VsaEnd", "vsa-wrapper/src/VsaEnd"};

VSA_RC scan(PVSA_INIT p_init, PVSA_CALLBACK p_callback, PVSA_SCANPARAM p_scanparam,
            PVSA_OPTPARAMS p_optparams, PPVSA_SCANINFO pp_scinfo);
VSA_RC release_scan(PPVSA_SCANINFO pp_scinfo);
VSA_RC end(PPVSA_INIT pp_init, PPVSA_CONFIG pp_config);

}  // namespace qz::adapter
