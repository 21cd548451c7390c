#include "support/vsa_host.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "log/log.h"
#include "platform/dynlib.h"

namespace qztest {
namespace {

namespace fs = std::filesystem;

const char* const kRcEntries[] = {"INIT", "SCAN", "RELEASESCAN", "END"};

std::string rc_variable(const std::string& entry) { return "QZ_TEST_VSALIB_" + entry + "_RC"; }

template <typename Fn>
void resolve(void* handle, const char* name, Fn* slot) {
    void* address = qz_dl_symbol(handle, name);
    if (address == nullptr) throw std::runtime_error(std::string("adapter lacks ") + name);
    *slot = reinterpret_cast<Fn>(address);
}

}  // namespace

InitParams& InitParams::text(uint32_t code, const std::string& value) {
    texts_.push_back(value);
    return raw(code, VSA_TYPE_STRING, value.size(), texts_.back().data());
}

InitParams& InitParams::number(uint32_t code, intptr_t value, uint32_t type) {
    return raw(code, type, 4, reinterpret_cast<void*>(value));
}

InitParams& InitParams::raw(uint32_t code, uint32_t type, size_t length, void* value) {
    VSA_INITPARAM record{};
    record.struct_size = sizeof record;
    record.tCode = code;
    record.tType = type;
    record.lLength = length;
    record.pvValue = value;
    records_.push_back(record);
    return *this;
}

VSA_INITPARAMS* InitParams::get() {
    list_.usCount = static_cast<uint16_t>(records_.size());
    list_.pParams = records_.data();
    return &list_;
}

VsaHost::VsaHost(const VsaLibraries& libraries, const VsaHostOptions& options)
    : libraries_(libraries), base_(dir_.file("inst")), lib_dir_(base_ + "/qz-av-vsa/latest/lib") {
    fs::create_directories(lib_dir_);
    fs::create_directories(base_ + "/config");
    std::string adapter = lib_dir_ + "/libqzAV.so";
    fs::copy_file(libraries_.adapter, adapter);
    if (options.write_config) {
        write_file(base_ + "/config/qzvsa4.cfg", "[TRACE]\nTRACEFILE = " + dir_.file("trace.log") +
                                                     "\nTRACELEVEL = 6\n" + options.config);
    }
    setenv("QZ_TEST_VSALIB_LOG", dir_.file("calls.log").c_str(), 1);
    for (const char* entry : kRcEntries) unsetenv(rc_variable(entry).c_str());
    stage(options.implementation);

    handle_ = qz_dl_open(adapter.c_str());
    if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + qz_dl_error());
    resolve(handle_, "VsaStartup", &startup);
    resolve(handle_, "VsaGetConfig", &get_config);
    resolve(handle_, "VsaInit", &init);
    resolve(handle_, "VsaScan", &scan);
    resolve(handle_, "VsaReleaseScan", &release_scan);
    resolve(handle_, "VsaEnd", &end);
    resolve(handle_, "VsaCleanup", &cleanup);
    resolve(handle_, "g", &g_);
}

VsaHost::~VsaHost() {
    vsa_global* g = state();
    if (g != nullptr && g->started) cleanup();
    qz_dl_close(handle_);
    for (const char* entry : kRcEntries) unsetenv(rc_variable(entry).c_str());
    unsetenv("QZ_TEST_VSALIB_LOG");
}

vsa_global* VsaHost::state() const { return *g_; }

std::string VsaHost::implementation_path() const { return lib_dir_ + "/libqzvsa.so"; }

void VsaHost::stage(Implementation implementation) {
    // A new file rather than new bytes in the old one: a mapped copy must never change under the
    // loader.
    fs::remove(implementation_path());
    if (implementation == Implementation::kComplete)
        fs::copy_file(libraries_.implementation, implementation_path());
    else if (implementation == Implementation::kWithoutEnd)
        fs::copy_file(libraries_.implementation_without_end, implementation_path());
}

bool VsaHost::implementation_mapped() const {
    std::error_code ec;
    fs::path staged = fs::weakly_canonical(implementation_path(), ec);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find(staged.string()) != std::string::npos) return true;
    }
    return false;
}

std::string VsaHost::trace() const { return read_file(dir_.file("trace.log")); }

bool VsaHost::traced(int level, const std::string& function, const std::string& text) const {
    char level_field[16];
    std::snprintf(level_field, sizeof level_field,
                  "] %-5s PID:", level_names[level < 0 || level > 6 ? 0 : level]);
    std::string origin = "vsa-wrapper:" + function + "(): ";
    std::istringstream lines(trace());
    std::string line;
    while (std::getline(lines, line)) {
        size_t at = line.find(origin);
        if (line.find(level_field) != std::string::npos && at != std::string::npos &&
            line.find(text, at + origin.size()) != std::string::npos)
            return true;
    }
    return false;
}

bool VsaHost::traced(const std::string& text) const {
    return trace().find(text) != std::string::npos;
}

void VsaHost::clear_trace() const {
    std::error_code ec;
    fs::remove(dir_.file("trace.log"), ec);
}

std::string VsaHost::calls() const { return read_file(dir_.file("calls.log")); }

void VsaHost::clear_calls() const {
    std::error_code ec;
    fs::remove(dir_.file("calls.log"), ec);
}

void VsaHost::set_implementation_rc(const std::string& entry, int rc) const {
    setenv(rc_variable(entry).c_str(), std::to_string(rc).c_str(), 1);
}

}  // namespace qztest
