// The adapter libqzAV.so as the tool loads it: dlopen of one path, its seven entry points, and
// the parameter lists handed to it. Where the adapter is looked for by default is decided here.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "qzav/vsa.h"

namespace vsascan {

class AdapterLibrary {
  public:
    // Loads the adapter and resolves every entry point; nullptr with the reason in `error`.
    static std::unique_ptr<AdapterLibrary> load(const std::string& path, std::string* error);
    // Unloads the adapter; call only after VsaCleanup, when nothing runs inside it any more.
    ~AdapterLibrary();
    AdapterLibrary(const AdapterLibrary&) = delete;
    AdapterLibrary& operator=(const AdapterLibrary&) = delete;

    decltype(&VsaStartup) startup = nullptr;
    decltype(&VsaGetConfig) get_config = nullptr;
    decltype(&VsaInit) init = nullptr;
    decltype(&VsaScan) scan = nullptr;
    decltype(&VsaReleaseScan) release_scan = nullptr;
    decltype(&VsaEnd) end = nullptr;
    decltype(&VsaCleanup) cleanup = nullptr;

  private:
    AdapterLibrary() = default;
    void* handle_ = nullptr;
};

// The records of a VSA_INITPARAMS or VSA_OPTPARAMS list with the texts they point to. The lists
// stay valid, unchanged, while this object lives; the adapter only reads them, from any thread.
class ParameterList {
  public:
    explicit ParameterList(const std::vector<Parameter>& parameters);
    ParameterList(const ParameterList&) = delete;
    ParameterList& operator=(const ParameterList&) = delete;

    VSA_INITPARAMS* init_list() { return &init_list_; }
    // Null when there are no parameters, as a host without optional parameters passes it.
    VSA_OPTPARAMS* optional_list() { return records_.empty() ? nullptr : &optional_list_; }

  private:
    std::deque<std::string> texts_;
    std::vector<VSA_OPTPARAM> records_;
    VSA_INITPARAMS init_list_{};
    VSA_OPTPARAMS optional_list_{};
};

// --adapter, else <INITDIRECTORY>/qz-av-vsa/latest/lib/libqzAV.so, else the staged tree next to
// the directory of this program: <dir>/../stage/qz-av-vsa/latest/lib/libqzAV.so.
std::string adapter_path(const Options& options);

// The installation directory an adapter path lies in: the part before "/qz-av-vsa/" (case
// ignored, as the adapter itself finds its configuration), or empty.
std::string installation_directory_of(const std::string& adapter);

}  // namespace vsascan
