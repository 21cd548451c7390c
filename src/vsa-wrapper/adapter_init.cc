#include "adapter_init.h"

#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "adapter_state.h"
#include "implementation_binding.h"
#include "init_parameters.h"
#include "platform/critical_section.h"
#include "platform/error_text.h"

namespace qz::adapter {
namespace {

constexpr const char* kExtractFailed = "Failed to extract initialization parameter(s)";
constexpr const char* kExtractFailedText =
    "Failed to extract initialization parameter(s). Check parameters";
constexpr const char* kLoadFailed = "Failed to load VSA implementation library";

// Puts a copy of text into the handle for the host to show; rc, or VSA_E_NO_MEMORY when the
// copy cannot be made. iErrorRC is the implementation's to set.
VSA_RC fail_with_text(VSA_INIT* handle, const char* text, VSA_RC rc) {
    char* copy = strdup(text);
    if (copy == nullptr) return VSA_E_NO_MEMORY;
    free(handle->pszErrorText);
    handle->pszErrorText = copy;
    return rc;
}

// Everything up to the loaded implementation; VSA_OK when vsalib_VsaInit may be called.
VSA_RC prepare(PVSA_INITPARAMS p_initparams, PPVSA_INIT pp_init) {
    if (!require_started(kVsaInitSite)) return VSA_E_NOT_INITIALISED;
    if (pp_init == nullptr) {
        SITE_LOG(kVsaInitSite, QZ_LOG_ERROR, "Invalid value for pp_init (NULL)");
        return VSA_E_NULL_PARAM;
    }
    auto* handle = static_cast<VSA_INIT*>(calloc(1, sizeof(VSA_INIT)));
    *pp_init = handle;
    if (handle == nullptr) {
        SITE_LOG(kVsaInitSite, QZ_LOG_FATAL, "Failed to allocate VSA_INIT: %s",
                 QZstrerror(QZ_GetLastError()));
        return VSA_E_NO_MEMORY;
    }
    handle->struct_size = sizeof(VSA_INIT);
    SITE_LOG(kVsaInitSite, QZ_LOG_DEBUG, "VSA_INIT allocated: %p", static_cast<void*>(handle));

    {
        // Scans running on other threads copy the store under cs; the host's values must not
        // change it under them.
        CriticalSectionLock lock(&g->cs);
        if (vsawrapper_ExtractInitParameters(p_initparams, g) != 0) {
            SITE_LOG(kVsaInitSite, QZ_LOG_ERROR, "%s", kExtractFailed);
            return fail_with_text(handle, kExtractFailedText, VSA_E_INVALID_PARAM);
        }
        char message[VSAWRAPPER_MESSAGE_SIZE] = {};
        if (vsawrapper_ValidateInitParameters(g, message) != 0) {
            SITE_LOG(kVsaInitSite, QZ_LOG_FATAL, "%s", message);
            return fail_with_text(handle, message, VSA_E_INVALID_PARAM);
        }
        SITE_LOG(kVsaInitSite, QZ_LOG_DEBUG, "Init parameters validated");
        if (!vsawrapper_HaveRequiredParams(g, message)) {
            SITE_LOG(kVsaInitSite, QZ_LOG_FATAL, "%s", message);
            return fail_with_text(handle, message, VSA_E_INVALID_PARAM);
        }
        SITE_LOG(kVsaInitSite, QZ_LOG_DEBUG, "Required parameters checked");
    }

    if (!g->libInitialised && g->libHandle == nullptr && VsaLoadLibAVQ(g) != 0) {
        SITE_LOG(kVsaInitSite, QZ_LOG_FATAL, "%s", kLoadFailed);
        return fail_with_text(handle, kLoadFailed, VSA_E_LOAD_FAILED);
    }
    // A state that claims an initialised implementation without its entry point is never called
    // through.
    if (g->vsa == nullptr || g->vsa->init == nullptr) {
        SITE_LOG(kVsaInitSite, QZ_LOG_FATAL, "%s", kLoadFailed);
        return fail_with_text(handle, kLoadFailed, VSA_E_LOAD_FAILED);
    }
    SITE_LOG(kVsaInitSite, QZ_LOG_DEBUG, "VSA implementation library loaded");
    return VSA_OK;
}

}  // namespace

VSA_RC init(PVSA_CALLBACK p_callback, PVSA_INITPARAMS p_initparams, PPVSA_INIT pp_init) {
    SITE_LOG(kVsaInitSite, QZ_LOG_TRACE, "Entering");
    VSA_RC rc = prepare(p_initparams, pp_init);
    if (rc == VSA_OK) {
        SITE_LOG(kVsaInitSite, QZ_LOG_TRACE,
                 "Calling VSA implementation library VsaInit() at 0x%" PRIxPTR,
                 reinterpret_cast<uintptr_t>(g->vsa->init));
        rc = g->vsa->init(p_callback, p_initparams, pp_init, g);
    }
    SITE_LOG(kVsaInitSite, QZ_LOG_DEBUG, "returning %d, gRefCounter = %d", rc,
             g != nullptr ? g->gRefCounter : 0);
    SITE_LOG(kVsaInitSite, QZ_LOG_TRACE, "Exiting");
    return rc;
}

}  // namespace qz::adapter
