// A host for the adapter tests: loads a private copy of libqzAV.so, installed in a temporary
// tree "<base>/qz-av-vsa/latest/lib" with a configuration file that traces everything into
// "<base>/trace.log", and stages the test implementation as libqzvsa.so beside it. Each host has
// its own copy, hence its own adapter state, however many tests run in one process.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "log/log.h"
#include "qzav/vsa.h"
#include "support/temp_dir.h"
#include "vsa/vsa_global.h"

namespace qztest {

// Where the build put the adapter and the two variants of the test implementation.
struct VsaLibraries {
    std::string adapter;
    std::string implementation;
    std::string implementation_without_end;
};

// Test binaries that get the paths from the build call this.
#if defined(QZ_ADAPTER_PATH) && defined(QZ_TEST_VSALIB_PATH) && defined(QZ_TEST_VSALIB_NOEND_PATH)
inline VsaLibraries built_vsa_libraries() {
    return {QZ_ADAPTER_PATH, QZ_TEST_VSALIB_PATH, QZ_TEST_VSALIB_NOEND_PATH};
}
#endif

// The host's init parameter list. Texts are kept by the builder; get() stays valid while the
// builder lives and is not changed.
class InitParams {
  public:
    // A string parameter whose length is the text's.
    InitParams& text(uint32_t code, const std::string& value);
    // A number carried in the value field itself.
    InitParams& number(uint32_t code, intptr_t value, uint32_t type = VSA_TYPE_TIMEOUT);
    // Any record as given (for NULL values, wrong lengths and types).
    InitParams& raw(uint32_t code, uint32_t type, size_t length, void* value);
    VSA_INITPARAMS* get();

  private:
    std::deque<std::string> texts_;
    std::vector<VSA_INITPARAM> records_;
    VSA_INITPARAMS list_{};
};

enum class Implementation { kNone, kComplete, kWithoutEnd };

struct VsaHostOptions {
    Implementation implementation = Implementation::kComplete;
    // Appended to the base configuration file after the [TRACE] section.
    std::string config;
    // Without it the configuration file is not written at all (no trace either).
    bool write_config = true;
};

class VsaHost {
  public:
    explicit VsaHost(const VsaLibraries& libraries, const VsaHostOptions& options = {});
    // Ends what the test left running (VsaCleanup when started) and unloads the adapter.
    ~VsaHost();
    VsaHost(const VsaHost&) = delete;
    VsaHost& operator=(const VsaHost&) = delete;

    decltype(&VsaStartup) startup = nullptr;
    decltype(&VsaGetConfig) get_config = nullptr;
    decltype(&VsaInit) init = nullptr;
    decltype(&VsaScan) scan = nullptr;
    decltype(&VsaReleaseScan) release_scan = nullptr;
    decltype(&VsaEnd) end = nullptr;
    decltype(&VsaCleanup) cleanup = nullptr;

    // The adapter's exported `g`.
    vsa_global* state() const;
    // The installation directory to pass as INITDIRECTORY.
    const std::string& base() const { return base_; }
    const std::string& temp() const { return dir_.path(); }
    std::string implementation_path() const;
    // Replaces (or, for kNone, removes) the staged libqzvsa.so; never writes into a mapped file.
    void stage(Implementation implementation);
    // True while the staged libqzvsa.so is mapped into the process.
    bool implementation_mapped() const;

    std::string trace() const;
    // A trace line of this level from this adapter function that contains text.
    bool traced(int level, const std::string& function, const std::string& text) const;
    // Any trace line that contains text.
    bool traced(const std::string& text) const;
    void clear_trace() const;

    // What the test implementation recorded, one call per line.
    std::string calls() const;
    void clear_calls() const;
    // The code vsalib_<entry> answers with: entry is INIT, SCAN, RELEASESCAN or END.
    void set_implementation_rc(const std::string& entry, int rc) const;

  private:
    VsaLibraries libraries_;
    TempDir dir_;
    std::string base_;
    std::string lib_dir_;
    void* handle_ = nullptr;
    vsa_global** g_ = nullptr;
};

}  // namespace qztest
