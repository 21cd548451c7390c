#include "implementation_binding.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include "config/config_store.h"
#include "entry_guard.h"
#include "log/log.h"
#include "platform/critical_section.h"
#include "platform/dynlib.h"
#include "vsa/vsalib_entry_points.h"

namespace {

constexpr const char* kLibraryFormat = "%s/qz-av-vsa/latest/lib/libqzvsa.so";
constexpr size_t kMaxLibraryPath = 4095;
// resolve() traces on behalf of the loader, whose contract names these lines.
constexpr qz::adapter::TraceSite kLoadSite{"VsaLoadLibAVQ", __FILE__};

void clear_table(vsa_global* g) {
    if (g->vsa != nullptr) *g->vsa = vsa_functions{};
}

// Resolves one entry point into slot; the table name is what the trace lines call it.
template <typename Fn>
bool resolve(vsa_global* g, const char* symbol, const char* table_name, Fn* slot) {
    void* address = qz_dl_symbol(g->libHandle, symbol);
    if (address == nullptr) {
        SITE_LOG(kLoadSite, QZ_LOG_FATAL, "Cannot load symbol %s(): %s", table_name, qz_dl_error());
        return false;
    }
    *slot = reinterpret_cast<Fn>(address);
    SITE_LOG(kLoadSite, QZ_LOG_DEBUG, "vsa->%s() loaded to 0x%" PRIxPTR, table_name,
             reinterpret_cast<uintptr_t>(address));
    return true;
}

}  // namespace

extern "C" {

int VsaLoadLibAVQ(vsa_global* g) {
    LOG_TRACE("Entering");
    if (g == nullptr || g->vsa == nullptr) {
        LOG_FATAL("No state to load the implementation into");
        return -1;
    }
    std::string directory;
    {
        qz::CriticalSectionLock lock(&g->cs);
        const char* value = GetConfigParameter_String(g->config, "INIT", "INITDIRECTORY");
        directory = value != nullptr ? value : "";
    }
    char path[kMaxLibraryPath + 1];
    int length = snprintf(path, sizeof path, kLibraryFormat, directory.c_str());
    // A cut path could name another file; it is not opened at all.
    if (length < 0 || static_cast<size_t>(length) > kMaxLibraryPath) {
        LOG_FATAL("Failed to open %s: %s", path, "path too long");
        return -1;
    }
    LOG_DEBUG("Opening %s", path);
    // Dependencies are found beside the library through its RUNPATH ($ORIGIN).
    g->libHandle = qz_dl_open(path);
    if (g->libHandle == nullptr) {
        LOG_FATAL("Failed to open %s: %s", path, qz_dl_error());
        return -1;
    }
    LOG_TRACE("lib opened");
    vsa_functions* table = g->vsa;
    if (!resolve(g, kVsalibInitName, "init", &table->init) ||
        !resolve(g, kVsalibScanName, "scan", &table->scan) ||
        !resolve(g, kVsalibReleaseScanName, "releasescan", &table->releasescan) ||
        !resolve(g, kVsalibEndName, "end", &table->end)) {
        qz_dl_close(g->libHandle);
        g->libHandle = nullptr;
        clear_table(g);
        return -1;
    }
    LOG_TRACE("Exiting");
    return 0;
}

int VsaUnloadLibAVQ(vsa_global* g) {
    LOG_TRACE("Entering");
    LOG_INFO("Unloading libqzvsa");
    if (g != nullptr) {
        if (g->libHandle != nullptr) {
            if (qz_dl_close(g->libHandle) != 0)
                LOG_ERROR("Failed to unload libqzvsa: %s", qz_dl_error());
            g->libHandle = nullptr;
        }
        clear_table(g);
    }
    LOG_TRACE("Exiting");
    return 0;
}
}
