// Scanning is not offered yet: every request is refused as not supported, with nothing to
// release.
#include "log/log.h"
#include "vsa/vsalib_entry_points.h"

extern "C" {

VSA_RC vsalib_VsaScan(PVSA_INIT, PVSA_CALLBACK, PVSA_SCANPARAM, PVSA_OPTPARAMS,
                      PPVSA_SCANINFO pp_scinfo, vsa_global*) {
    if (pp_scinfo != nullptr) *pp_scinfo = nullptr;
    LOG_ERROR("Scanning is not available in this build");
    return VSA_E_NOT_SUPPORTED;
}

VSA_RC vsalib_VsaReleaseScan(PPVSA_SCANINFO pp_scinfo, vsa_global*) {
    if (pp_scinfo != nullptr) *pp_scinfo = nullptr;
    return VSA_OK;
}
}
