// vsalib_VsaScan and vsalib_VsaReleaseScan. A scan request is handled in vsalib_scan_request.
// Releasing a scan information record deletes its staged payload first, then the record with
// everything it owns.
#include "connection/connection_config.h"
#include "scan/scan_records.h"
#include "vsa/vsalib_entry_points.h"
#include "vsalib_scan_request.h"
#include "vsalib_staged_registry.h"
#include "vsalib_trace.h"

namespace {

constexpr const char* kSource = "vsa-lib/src/vsalib_VsaScan";

}  // namespace

extern "C" {

VSA_RC vsalib_VsaScan(PVSA_INIT p_init, PVSA_CALLBACK p_callback, PVSA_SCANPARAM p_scanparam,
                      PVSA_OPTPARAMS p_optparams, PPVSA_SCANINFO pp_scinfo, vsa_global* g) {
    return qz::vsalib::scan_request(p_init, p_callback, p_scanparam, p_optparams, pp_scinfo, g);
}

VSA_RC vsalib_VsaReleaseScan(PPVSA_SCANINFO pp_scinfo, vsa_global* g) {
    VSALIB_LOG(QZ_LOG_TRACE, kSource, "Entering");
    VSA_RC rc = VSA_OK;
    if (g == nullptr) {
        VSALIB_LOG(QZ_LOG_ERROR, kSource, "Invalid value for g (NULL)");
        rc = VSA_E_NULL_PARAM;
    } else if (g->libInitialised == 0) {
        VSALIB_LOG(QZ_LOG_WARN, kSource, "Returning VSA_E_NOT_INITIALISED");
        rc = VSA_E_NOT_INITIALISED;
    } else if (pp_scinfo == nullptr || *pp_scinfo == nullptr) {
        VSALIB_LOG(QZ_LOG_WARN, kSource, "Returning VSA_E_NULL_PARAM");
        rc = VSA_E_NULL_PARAM;
    } else {
        VSALIB_LOG(QZ_LOG_TRACE, kSource, "Delete the scan data staged in the KV store");
        // The registry is keyed by the record's address: its entry must go before the record,
        // or a later record at the same address would inherit it.
        vsalib_staged_release(static_cast<qz_connection_config*>(g->connection_config), *pp_scinfo);
        VSALIB_LOG(QZ_LOG_DEBUG, kSource, "recursively releasing scaninfo at %p for job %ld",
                   static_cast<void*>(*pp_scinfo), static_cast<long>((*pp_scinfo)->uiJobID));
        vsalib_FreeScanInfo(pp_scinfo);
    }
    VSALIB_LOG(QZ_LOG_DEBUG, kSource, "rc=%d", static_cast<int>(rc));
    VSALIB_LOG(QZ_LOG_TRACE, kSource, "Exiting");
    return rc;
}
}
