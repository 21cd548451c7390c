// A stand-in for libqzvsa.so that the adapter tests stage under a temporary installation
// directory. It records every call with its arguments, one line each, in the file named by
// QZ_TEST_VSALIB_LOG (also "load" and "unload" when the loader maps and unmaps it), answers
// with the codes the test puts into QZ_TEST_VSALIB_<ENTRY>_RC (0 when unset), and keeps
// gRefCounter and libInitialised as the real implementation does. Built a second time with
// QZ_TEST_VSALIB_WITHOUT_END, lacking vsalib_VsaEnd.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qzav/qz_export.h"
#include "qzav/vsa_types.h"
#include "vsa/vsa_global.h"
#include "vsa/vsa_internal_functions.h"

namespace {

void record(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void record(const char* fmt, ...) {
    const char* path = getenv("QZ_TEST_VSALIB_LOG");
    if (path == nullptr || *path == '\0') return;
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    size_t length =
        static_cast<size_t>(n) < sizeof line - 1 ? static_cast<size_t>(n) : sizeof line - 2;
    line[length++] = '\n';
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written = write(fd, line, length);
    (void)written;
    close(fd);
}

VSA_RC configured_rc(const char* variable) {
    const char* value = getenv(variable);
    return value != nullptr ? static_cast<VSA_RC>(atoi(value)) : VSA_OK;
}

__attribute__((constructor)) void on_load() { record("load"); }
__attribute__((destructor)) void on_unload() { record("unload"); }

}  // namespace

extern "C" {

QZ_EXPORT VSA_RC vsalib_VsaInit(PVSA_CALLBACK p_callback, PVSA_INITPARAMS p_initparams,
                                PPVSA_INIT pp_init, vsa_global* g) {
    record("init callback=%p initparams=%p pp_init=%p init=%p g=%p", static_cast<void*>(p_callback),
           static_cast<void*>(p_initparams), static_cast<void*>(pp_init),
           pp_init != nullptr ? static_cast<void*>(*pp_init) : nullptr, static_cast<void*>(g));
    VSA_RC rc = configured_rc("QZ_TEST_VSALIB_INIT_RC");
    if (pp_init == nullptr || *pp_init == nullptr || g == nullptr) return VSA_E_NULL_PARAM;
    VSA_INIT* handle = *pp_init;
    if (rc != VSA_OK) {
        handle->iErrorRC = 1;
        handle->pszErrorText = strdup("test implementation refused the handle");
        return rc;
    }
    handle->hEngine = static_cast<VSA_ENGINE*>(calloc(1, 16));
    handle->iBuildNumber = 139;
    handle->iMajorVersion = 4;
    ++g->gRefCounter;
    g->libInitialised = 1;
    return rc;
}

QZ_EXPORT VSA_RC vsalib_VsaScan(PVSA_INIT p_init, PVSA_CALLBACK p_callback,
                                PVSA_SCANPARAM p_scanparam, PVSA_OPTPARAMS p_optparams,
                                PPVSA_SCANINFO pp_scinfo, vsa_global* g) {
    record("scan init=%p callback=%p scanparam=%p optparams=%p pp_scinfo=%p g=%p",
           static_cast<void*>(p_init), static_cast<void*>(p_callback),
           static_cast<void*>(p_scanparam), static_cast<void*>(p_optparams),
           static_cast<void*>(pp_scinfo), static_cast<void*>(g));
    if (pp_scinfo != nullptr) {
        auto* info = static_cast<VSA_SCANINFO*>(calloc(1, sizeof(VSA_SCANINFO)));
        if (info != nullptr) info->struct_size = sizeof(VSA_SCANINFO);
        *pp_scinfo = info;
    }
    return configured_rc("QZ_TEST_VSALIB_SCAN_RC");
}

QZ_EXPORT VSA_RC vsalib_VsaReleaseScan(PPVSA_SCANINFO pp_scinfo, vsa_global* g) {
    record("releasescan pp_scinfo=%p scinfo=%p g=%p", static_cast<void*>(pp_scinfo),
           pp_scinfo != nullptr ? static_cast<void*>(*pp_scinfo) : nullptr, static_cast<void*>(g));
    if (pp_scinfo != nullptr) {
        free(*pp_scinfo);
        *pp_scinfo = nullptr;
    }
    return configured_rc("QZ_TEST_VSALIB_RELEASESCAN_RC");
}

#ifndef QZ_TEST_VSALIB_WITHOUT_END
QZ_EXPORT VSA_RC vsalib_VsaEnd(PPVSA_INIT pp_init, PPVSA_CONFIG pp_config, vsa_global* g) {
    record("end pp_init=%p init=%p pp_config=%p config=%p g=%p", static_cast<void*>(pp_init),
           pp_init != nullptr ? static_cast<void*>(*pp_init) : nullptr,
           static_cast<void*>(pp_config),
           pp_config != nullptr ? static_cast<void*>(*pp_config) : nullptr, static_cast<void*>(g));
    if (pp_init != nullptr && *pp_init != nullptr) {
        VSA_INIT* handle = *pp_init;
        bool live = handle->hEngine != nullptr;
        free(handle->hEngine);
        free(handle->pszErrorText);
        free(handle);
        *pp_init = nullptr;
        if (live && g != nullptr && g->gRefCounter > 0 && --g->gRefCounter == 0)
            g->libInitialised = 0;
    }
    if (pp_config != nullptr) VsaFreeVSA_CONFIG(pp_config);
    return configured_rc("QZ_TEST_VSALIB_END_RC");
}
#endif
}
