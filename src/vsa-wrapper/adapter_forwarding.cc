#include "adapter_forwarding.h"

#include <cstdint>
#include <cstdlib>

#include "adapter_state.h"
#include "implementation_binding.h"
#include "vsa/vsa_internal_functions.h"

namespace qz::adapter {
namespace {

unsigned long long address_of(const void* p) {
    return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p));
}

// The implementation's entry points are null while it is not loaded; never call through them.
bool implementation_loaded(const TraceSite& site, bool entry_present) {
    if (entry_present) return true;
    SITE_LOG(site, QZ_LOG_ERROR,
             "VSA implementation library not loaded, returning VSA_E_NOT_INITIALISED");
    return false;
}

VSA_RC forward_scan(PVSA_INIT p_init, PVSA_CALLBACK p_callback, PVSA_SCANPARAM p_scanparam,
                    PVSA_OPTPARAMS p_optparams, PPVSA_SCANINFO pp_scinfo) {
    if (g == nullptr) {
        SITE_LOG(kVsaScanSite, QZ_LOG_ERROR, "VSA not started up, returning VSA_E_NOT_INITIALISED");
        return VSA_E_NOT_INITIALISED;
    }
    if (p_init == nullptr || p_scanparam == nullptr || p_init->struct_size == 0) {
        SITE_LOG(kVsaScanSite, QZ_LOG_ERROR,
                 "Invalid parameter p_init: 0x%llx or p_scanparam: 0x%llx or p_init.struct_size: "
                 "%llu ",
                 address_of(p_init), address_of(p_scanparam),
                 static_cast<unsigned long long>(p_init != nullptr ? p_init->struct_size : 0));
        return VSA_E_INVALID_PARAM;
    }
    if (!implementation_loaded(kVsaScanSite, g->vsa != nullptr && g->vsa->scan != nullptr))
        return VSA_E_NOT_INITIALISED;
    return g->vsa->scan(p_init, p_callback, p_scanparam, p_optparams, pp_scinfo, g);
}

VSA_RC forward_release(PPVSA_SCANINFO pp_scinfo) {
    SITE_LOG(kVsaReleaseScanSite, QZ_LOG_TRACE, "Entering");
    if (g == nullptr) {
        SITE_LOG(kVsaReleaseScanSite, QZ_LOG_ERROR,
                 "VSA not started up, returning VSA_E_NOT_INITIALISED");
        return VSA_E_NOT_INITIALISED;
    }
    if (!implementation_loaded(kVsaReleaseScanSite,
                               g->vsa != nullptr && g->vsa->releasescan != nullptr))
        return VSA_E_NOT_INITIALISED;
    return g->vsa->releasescan(pp_scinfo, g);
}

// No implementation to hand the records to: release what the adapter itself can.
VSA_RC end_without_implementation(PPVSA_INIT pp_init, PPVSA_CONFIG pp_config) {
    SITE_LOG(kVsaEndSite, QZ_LOG_WARN,
             "Called after libqzvsa has been unloaded. Returning OK. Potential Memory Leak");
    if (*pp_config != nullptr) {
        SITE_LOG(kVsaEndSite, QZ_LOG_WARN,
                 "Releasing VSA Configuration struct after unloading VSA library");
        VsaFreeVSA_CONFIG(pp_config);
    }
    // A handle whose VsaInit failed before the implementation took it holds nothing but what the
    // adapter allocated; without this the host could never give it back.
    VSA_INIT* handle = *pp_init;
    if (handle != nullptr && handle->hEngine == nullptr && handle->pDriverInfo == nullptr &&
        handle->pszLibraryText == nullptr) {
        SITE_LOG(kVsaEndSite, QZ_LOG_DEBUG,
                 "Releasing VSA_INIT %p that holds no implementation state",
                 static_cast<void*>(handle));
        free(handle->pszErrorText);
        free(handle);
        *pp_init = nullptr;
    }
    return VSA_OK;
}

}  // namespace

VSA_RC scan(PVSA_INIT p_init, PVSA_CALLBACK p_callback, PVSA_SCANPARAM p_scanparam,
            PVSA_OPTPARAMS p_optparams, PPVSA_SCANINFO pp_scinfo) {
    SITE_LOG(kVsaScanSite, QZ_LOG_TRACE, "Entering");
    VSA_RC rc = forward_scan(p_init, p_callback, p_scanparam, p_optparams, pp_scinfo);
    SITE_LOG(kVsaScanSite, QZ_LOG_TRACE, "rc=%d", rc);
    SITE_LOG(kVsaScanSite, QZ_LOG_TRACE, "Exiting");
    return rc;
}

VSA_RC release_scan(PPVSA_SCANINFO pp_scinfo) {
    VSA_RC rc = VSA_E_NULL_PARAM;
    if (pp_scinfo != nullptr && *pp_scinfo != nullptr) rc = forward_release(pp_scinfo);
    SITE_LOG(kVsaReleaseScanSite, QZ_LOG_DEBUG, "rc=%d", rc);
    SITE_LOG(kVsaReleaseScanSite, QZ_LOG_TRACE, "Exiting");
    return rc;
}

VSA_RC end(PPVSA_INIT pp_init, PPVSA_CONFIG pp_config) {
    SITE_LOG(kVsaEndSite, QZ_LOG_TRACE, "Entering");
    // The implementation is told "no record" rather than handed a NULL place to look into.
    PVSA_INIT no_init = nullptr;
    PVSA_CONFIG no_config = nullptr;
    if (pp_init == nullptr) pp_init = &no_init;
    if (pp_config == nullptr) pp_config = &no_config;
    SITE_LOG(kVsaEndSite, QZ_LOG_DEBUG, "pp_init: 0x%llx, pp_config: 0x%llx", address_of(*pp_init),
             address_of(*pp_config));
    VSA_RC rc = VSA_OK;
    if (g == nullptr) {
        SITE_LOG(kVsaEndSite, QZ_LOG_ERROR, "VSA not started up, returning VSA_E_NOT_INITIALISED");
        rc = VSA_E_NOT_INITIALISED;
    } else if (g->vsa != nullptr && g->vsa->end != nullptr) {
        rc = g->vsa->end(pp_init, pp_config, g);
        if (g->gRefCounter == 0) {
            SITE_LOG(kVsaEndSite, QZ_LOG_DEBUG, "Unloading libqzvsa");
            VsaUnloadLibAVQ(g);
        }
    } else {
        rc = end_without_implementation(pp_init, pp_config);
    }
    SITE_LOG(kVsaEndSite, QZ_LOG_DEBUG, "rc=%d", rc);
    SITE_LOG(kVsaEndSite, QZ_LOG_TRACE, "Exiting");
    return rc;
}

}  // namespace qz::adapter
