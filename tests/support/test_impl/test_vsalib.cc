// A stand-in for libqzvsa.so that the adapter tests stage under a temporary installation
// directory. It records every call with its arguments, one line each, in the file named by
// QZ_TEST_VSALIB_LOG (also "load" and "unload" when the loader maps and unmaps it), answers
// with the codes the test puts into QZ_TEST_VSALIB_<ENTRY>_RC (0 when unset), and keeps
// gRefCounter and libInitialised as the real implementation does. Built a second time with
// QZ_TEST_VSALIB_WITHOUT_END, lacking vsalib_VsaEnd.
// Scans can be scripted further for hosts that print verdicts: QZ_TEST_VSALIB_SCAN_MATCH limits
// the scripted scan code to objects whose name contains it (the others answer 0), and the result
// record then carries a content record with the MIME type QZ_TEST_VSALIB_SCAN_MIME, a virus
// record named QZ_TEST_VSALIB_SCAN_VIRUS for a negative code and an error record with the text
// QZ_TEST_VSALIB_SCAN_ERROR for a positive one, each only when its variable is set.
// QZ_TEST_VSALIB_SCAN_DELAY_MS makes every scan take that long.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

const char* scripted_text(const char* variable) {
    const char* value = getenv(variable);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// The records a scripted scan carries; what cannot be allocated is left out, counts included.
void fill_scripted_records(VSA_SCANINFO* info, const VSA_SCANPARAM* request, VSA_RC rc) {
    const char* name = request->pszObjectname != nullptr ? request->pszObjectname : "";
    const char* slash = strrchr(name, '/');
    const char* base = slash != nullptr ? slash + 1 : name;
    size_t size = request->lLength;
    struct stat file {};
    if (request->tScanMethod == 4 && stat(name, &file) == 0)
        size = static_cast<size_t>(file.st_size);
    if (const char* mime = scripted_text("QZ_TEST_VSALIB_SCAN_MIME")) {
        auto* content = static_cast<VSA_CONTENTINFO*>(calloc(1, sizeof(VSA_CONTENTINFO)));
        if (content != nullptr) {
            content->struct_size = sizeof(VSA_CONTENTINFO);
            content->pszExtension = strdup("");
            content->pszContentType = strdup(mime);
            content->pszCharSet = strdup("");
            content->pszObjectName = strdup(base);
            content->lObjectSize = size;
            info->pContentInfo = content;
            info->uiScanned = 1;
            if (rc == VSA_OK) info->uiClean = 1;
        }
    }
    const char* virus_name = scripted_text("QZ_TEST_VSALIB_SCAN_VIRUS");
    if (virus_name != nullptr && rc < 0) {
        auto* virus = static_cast<VSA_VIRUSINFO*>(calloc(1, sizeof(VSA_VIRUSINFO)));
        if (virus != nullptr) {
            virus->struct_size = sizeof(VSA_VIRUSINFO);
            virus->tDetectType = 1;
            virus->tVirusType = 1;
            virus->tActionType = 6;
            // The real library ends every virus name with a blank and an optional suffix.
            size_t length = strlen(virus_name) + 2;
            virus->pszVirusName = static_cast<char*>(malloc(length));
            if (virus->pszVirusName != nullptr)
                snprintf(virus->pszVirusName, length, "%s ", virus_name);
            virus->pszObjectName = strdup(base);
            virus->lObjectSize = size;
            virus->pszFreeTextInfo = strdup("detected by the test implementation");
            info->pVirusInfo = virus;
            info->uiInfections = 1;
        }
    }
    const char* error_text = scripted_text("QZ_TEST_VSALIB_SCAN_ERROR");
    if (error_text != nullptr && rc > 0) {
        auto* error = static_cast<VSA_SCANERROR*>(calloc(1, sizeof(VSA_SCANERROR)));
        if (error != nullptr) {
            error->struct_size = sizeof(VSA_SCANERROR);
            error->pszObjectName = strdup(base);
            error->lObjectSize = size;
            error->iErrorRC = rc;
            error->pszErrorText = strdup(error_text);
            info->pScanError = error;
            info->uiScanErrors = 1;
        }
    }
}

void free_scripted_records(VSA_SCANINFO* info) {
    for (uint32_t i = 0; info->pContentInfo != nullptr && i < info->uiScanned; ++i) {
        free(info->pContentInfo[i].pszExtension);
        free(info->pContentInfo[i].pszContentType);
        free(info->pContentInfo[i].pszCharSet);
        free(info->pContentInfo[i].pszObjectName);
    }
    for (uint32_t i = 0; info->pVirusInfo != nullptr && i < info->uiInfections; ++i) {
        free(info->pVirusInfo[i].pszVirusName);
        free(info->pVirusInfo[i].pszObjectName);
        free(info->pVirusInfo[i].pszFreeTextInfo);
    }
    for (uint32_t i = 0; info->pScanError != nullptr && i < info->uiScanErrors; ++i) {
        free(info->pScanError[i].pszObjectName);
        free(info->pScanError[i].pszErrorText);
    }
    free(info->pContentInfo);
    free(info->pVirusInfo);
    free(info->pScanError);
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
    const char* name = p_scanparam != nullptr && p_scanparam->pszObjectname != nullptr
                           ? p_scanparam->pszObjectname
                           : "";
    record(
        "scan init=%p callback=%p scanparam=%p optparams=%p pp_scinfo=%p g=%p method=%u "
        "length=%zu thread=%ld name=%s",
        static_cast<void*>(p_init), static_cast<void*>(p_callback), static_cast<void*>(p_scanparam),
        static_cast<void*>(p_optparams), static_cast<void*>(pp_scinfo), static_cast<void*>(g),
        p_scanparam != nullptr ? p_scanparam->tScanMethod : 0u,
        p_scanparam != nullptr ? p_scanparam->lLength : 0, static_cast<long>(syscall(SYS_gettid)),
        name);
    VSA_RC rc = configured_rc("QZ_TEST_VSALIB_SCAN_RC");
    const char* match = scripted_text("QZ_TEST_VSALIB_SCAN_MATCH");
    if (match != nullptr && strstr(name, match) == nullptr) rc = VSA_OK;
    if (const char* delay = scripted_text("QZ_TEST_VSALIB_SCAN_DELAY_MS"))
        usleep(static_cast<useconds_t>(atoi(delay)) * 1000);
    if (pp_scinfo != nullptr) {
        auto* info = static_cast<VSA_SCANINFO*>(calloc(1, sizeof(VSA_SCANINFO)));
        if (info != nullptr) {
            info->struct_size = sizeof(VSA_SCANINFO);
            if (p_scanparam != nullptr) fill_scripted_records(info, p_scanparam, rc);
        }
        *pp_scinfo = info;
    }
    return rc;
}

QZ_EXPORT VSA_RC vsalib_VsaReleaseScan(PPVSA_SCANINFO pp_scinfo, vsa_global* g) {
    record("releasescan pp_scinfo=%p scinfo=%p g=%p", static_cast<void*>(pp_scinfo),
           pp_scinfo != nullptr ? static_cast<void*>(*pp_scinfo) : nullptr, static_cast<void*>(g));
    if (pp_scinfo != nullptr) {
        if (*pp_scinfo != nullptr) free_scripted_records(*pp_scinfo);
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
