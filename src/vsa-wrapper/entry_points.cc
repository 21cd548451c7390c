// The exported entry points of libqzAV.so. Each one only hands over to the C++ code behind it
// and maps whatever escapes from there to a VSA_RC.
#include "adapter_forwarding.h"
#include "adapter_init.h"
#include "adapter_state.h"
#include "config_description.h"
#include "entry_guard.h"
#include "qzav/vsa.h"

extern "C" {

const char* qz__progname = "vsa-wrapper";

VSA_RC VsaStartup(void) {
    return qz::adapter::guard_entry(qz::adapter::kVsaStartupSite, VSA_E_NO_MEMORY,
                                    [] { return qz::adapter::startup(); });
}

VSA_RC VsaGetConfig(PPVSA_CONFIG pp_config) {
    return qz::adapter::guard_entry(qz::adapter::kVsaGetConfigSite, VSA_E_NO_MEMORY,
                                    [&] { return qz::adapter::get_config(pp_config); });
}

VSA_RC VsaInit(PVSA_CALLBACK p_callback, PVSA_INITPARAMS p_initparams, PPVSA_INIT pp_init) {
    return qz::adapter::guard_entry(qz::adapter::kVsaInitSite, VSA_E_INVALID_PARAM, [&] {
        return qz::adapter::init(p_callback, p_initparams, pp_init);
    });
}

VSA_RC VsaScan(PVSA_INIT p_init, PVSA_CALLBACK p_callback, PVSA_SCANPARAM p_scanparam,
               PVSA_OPTPARAMS p_optparams, PPVSA_SCANINFO pp_scinfo) {
    return qz::adapter::guard_entry(qz::adapter::kVsaScanSite, VSA_E_INVALID_PARAM, [&] {
        return qz::adapter::scan(p_init, p_callback, p_scanparam, p_optparams, pp_scinfo);
    });
}

VSA_RC VsaReleaseScan(PPVSA_SCANINFO pp_scinfo) {
    return qz::adapter::guard_entry(qz::adapter::kVsaReleaseScanSite, VSA_E_NULL_PARAM,
                                    [&] { return qz::adapter::release_scan(pp_scinfo); });
}

VSA_RC VsaEnd(PPVSA_INIT pp_init, PPVSA_CONFIG pp_config) {
    return qz::adapter::guard_entry(qz::adapter::kVsaEndSite, VSA_E_INVALID_PARAM,
                                    [&] { return qz::adapter::end(pp_init, pp_config); });
}

VSA_RC VsaCleanup(void) {
    return qz::adapter::guard_entry(qz::adapter::kVsaCleanupSite, VSA_E_IN_PROGRESS,
                                    [] { return qz::adapter::cleanup(); });
}
}
