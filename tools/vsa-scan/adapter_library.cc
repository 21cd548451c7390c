#include "adapter_library.h"

#include <dlfcn.h>
#include <limits.h>
#include <strings.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace vsascan {
namespace {

constexpr const char* kLibrarySubpath = "qz-av-vsa/latest/lib/libqzAV.so";

template <typename Fn>
bool resolve(void* handle, const char* name, Fn* slot, std::string* error) {
    dlerror();
    void* address = dlsym(handle, name);
    if (address == nullptr) {
        const char* reason = dlerror();
        *error = std::string("no entry point ") + name + (reason != nullptr ? ": " : "") +
                 (reason != nullptr ? reason : "");
        return false;
    }
    *slot = reinterpret_cast<Fn>(address);
    return true;
}

std::string program_directory() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    std::string program(path, static_cast<size_t>(length));
    size_t slash = program.rfind('/');
    return slash == std::string::npos ? "." : program.substr(0, slash);
}

}  // namespace

std::unique_ptr<AdapterLibrary> AdapterLibrary::load(const std::string& path, std::string* error) {
    std::unique_ptr<AdapterLibrary> library(new AdapterLibrary());
    // RTLD_LOCAL keeps the adapter's own copy of the shared code out of the global namespace,
    // so that libqzvsa, which the adapter loads later, binds to its own.
    library->handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library->handle_ == nullptr) {
        const char* reason = dlerror();
        *error = reason != nullptr ? reason : "unknown loader error";
        return nullptr;
    }
    if (!resolve(library->handle_, "VsaStartup", &library->startup, error) ||
        !resolve(library->handle_, "VsaGetConfig", &library->get_config, error) ||
        !resolve(library->handle_, "VsaInit", &library->init, error) ||
        !resolve(library->handle_, "VsaScan", &library->scan, error) ||
        !resolve(library->handle_, "VsaReleaseScan", &library->release_scan, error) ||
        !resolve(library->handle_, "VsaEnd", &library->end, error) ||
        !resolve(library->handle_, "VsaCleanup", &library->cleanup, error))
        return nullptr;
    return library;
}

AdapterLibrary::~AdapterLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}

ParameterList::ParameterList(const std::vector<Parameter>& parameters) {
    for (const Parameter& parameter : parameters) {
        VSA_OPTPARAM record{};
        record.struct_size = sizeof record;
        record.tCode = parameter.code;
        record.tType = type_of(parameter.kind);
        switch (parameter.kind) {
            case ValueKind::kText:
                texts_.push_back(parameter.text);
                record.lLength = texts_.back().size();
                record.pvValue = texts_.back().data();
                break;
            case ValueKind::kBoolean:
                record.lLength = 0;
                record.pvValue =
                    reinterpret_cast<void*>(static_cast<uintptr_t>(parameter.text == "1" ? 1 : 0));
                break;
            case ValueKind::kInteger32:
            case ValueKind::kTimeout:
            case ValueKind::kInteger64:
                // Numbers travel in the value field itself; options.cc checked their range.
                record.lLength = parameter.kind == ValueKind::kInteger64 ? 8 : 4;
                record.pvValue = reinterpret_cast<void*>(
                    static_cast<uintptr_t>(strtoull(parameter.text.c_str(), nullptr, 10)));
                break;
        }
        records_.push_back(record);
    }
    init_list_.usCount = static_cast<uint16_t>(records_.size());
    init_list_.pParams = records_.empty() ? nullptr : records_.data();
    optional_list_.usCount = init_list_.usCount;
    optional_list_.pParams = init_list_.pParams;
}

std::string adapter_path(const Options& options) {
    if (!options.adapter.empty()) return options.adapter;
    std::string directory = options.init_directory();
    if (!directory.empty()) {
        if (directory.back() != '/') directory += '/';
        return directory + kLibrarySubpath;
    }
    return program_directory() + "/../stage/" + kLibrarySubpath;
}

std::string installation_directory_of(const std::string& adapter) {
    const std::string marker = "/qz-av-vsa/";
    for (size_t at = 0; at + marker.size() <= adapter.size(); ++at) {
        if (strncasecmp(adapter.c_str() + at, marker.c_str(), marker.size()) == 0)
            return at == 0 ? "/" : adapter.substr(0, at);
    }
    return {};
}

}  // namespace vsascan
