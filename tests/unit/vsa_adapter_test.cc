// The adapter libqzAV.so as the host sees it: lifecycle codes, forwarding to the implementation,
// loading and unloading of the implementation, the exported symbols, and the boundary guard.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "entry_guard.h"
#include "support/temp_dir.h"
#include "support/vsa_host.h"

namespace {

using qztest::Implementation;
using qztest::InitParams;
using qztest::VsaHost;
using qztest::VsaHostOptions;

std::string pointer_text(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

size_t count_lines(const std::string& text, const std::string& line) {
    std::istringstream lines(text);
    std::string current;
    size_t n = 0;
    while (std::getline(lines, current)) n += current == line ? 1 : 0;
    return n;
}

std::string canonical(const std::string& path) { return std::filesystem::canonical(path).string(); }

class VsaAdapter : public ::testing::Test {
  protected:
    InitParams valid_params() {
        InitParams params;
        params.text(VSA_INITDRIVERS, "nats://127.0.0.1:4222").text(VSA_INITDIRECTORY, host.base());
        return params;
    }

    VsaHost host{qztest::built_vsa_libraries()};
};

TEST_F(VsaAdapter, StartupAndCleanupFollowTheirStates) {
    EXPECT_EQ(host.cleanup(), VSA_E_NOT_INITIALISED);
    EXPECT_EQ(host.state(), nullptr);

    ASSERT_EQ(host.startup(), VSA_OK);
    vsa_global* g = host.state();
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->started, 1);
    EXPECT_NE(g->config, nullptr);
    ASSERT_NE(g->vsa, nullptr);
    EXPECT_EQ(g->vsa->init, nullptr);
    EXPECT_EQ(g->libHandle, nullptr);
    EXPECT_EQ(g->gRefCounter, 0);
    const char* stars = "**************************************************";
    EXPECT_TRUE(host.traced(QZ_LOG_INFO, "VsaStartup", stars));
    EXPECT_TRUE(
        host.traced(QZ_LOG_INFO, "VsaStartup", "    vendrix VSA-Wrapper version 4.0.5.139 "));
    EXPECT_TRUE(host.traced(QZ_LOG_INFO, "VsaStartup", "Max tracefile size: 0 MB"));
    EXPECT_TRUE(host.traced(QZ_LOG_INFO, "VsaStartup", "VSA startup complete"));
    EXPECT_TRUE(host.traced(QZ_LOG_DEBUG, "VsaStartup", "rc=0"));
    EXPECT_TRUE(host.traced(QZ_LOG_DEBUG, "VsaStartup", "Exiting (vsa-wrapper/src/VsaStartup:"));

    EXPECT_EQ(host.cleanup(), VSA_OK);
    EXPECT_EQ(g->started, 0);
    EXPECT_EQ(g->config, nullptr);
    EXPECT_TRUE(host.traced(QZ_LOG_TRACE, "VsaCleanup", "Entering"));
    EXPECT_EQ(host.cleanup(), VSA_E_NOT_INITIALISED);
    EXPECT_TRUE(host.traced(QZ_LOG_ERROR, "VsaCleanup",
                            "VSA not started up, returning VSA_E_NOT_INITIALISED"));

    // A new start-up reuses the record and builds a new store.
    ASSERT_EQ(host.startup(), VSA_OK);
    EXPECT_EQ(host.state(), g);
    EXPECT_NE(g->config, nullptr);
    EXPECT_EQ(host.cleanup(), VSA_OK);
}

TEST_F(VsaAdapter, SecondStartupKeepsTheState) {
    ASSERT_EQ(host.startup(), VSA_OK);
    vsa_global* g = host.state();
    list_t* config = g->config;
    EXPECT_EQ(host.startup(), VSA_OK);
    EXPECT_EQ(host.state(), g);
    EXPECT_EQ(g->config, config);
    EXPECT_TRUE(
        host.traced(QZ_LOG_WARN, "VsaStartup",
                    "VsaStartup called again without VsaCleanup; keeping the current state"));
    EXPECT_EQ(host.cleanup(), VSA_OK);
    EXPECT_EQ(host.cleanup(), VSA_E_NOT_INITIALISED);
}

TEST(VsaAdapterTrace, StartupWithoutTraceSettingsTracesNothing) {
    VsaHostOptions options;
    options.write_config = false;
    VsaHost host(qztest::built_vsa_libraries(), options);
    ASSERT_EQ(host.startup(), VSA_OK);
    VSA_CONFIG* config = nullptr;
    EXPECT_EQ(host.get_config(&config), VSA_OK);
    EXPECT_EQ(host.end(nullptr, &config), VSA_OK);
    EXPECT_EQ(config, nullptr);
    EXPECT_EQ(host.cleanup(), VSA_OK);
    EXPECT_FALSE(std::filesystem::exists(host.temp() + "/trace.log"));
}

TEST_F(VsaAdapter, EntryPointsWithoutStartupAnswerNotInitialised) {
    auto check_refusals = [&] {
        InitParams params = valid_params();
        VSA_CONFIG* config = nullptr;
        EXPECT_EQ(host.get_config(&config), VSA_E_NOT_INITIALISED);
        EXPECT_EQ(config, nullptr);
        VSA_INIT* handle = nullptr;
        EXPECT_EQ(host.init(nullptr, params.get(), &handle), VSA_E_NOT_INITIALISED);
        EXPECT_EQ(handle, nullptr);
        VSA_INIT fake_init{};
        fake_init.struct_size = sizeof fake_init;
        VSA_SCANPARAM scanparam{};
        scanparam.struct_size = sizeof scanparam;
        VSA_SCANINFO* info = nullptr;
        EXPECT_EQ(host.scan(&fake_init, nullptr, &scanparam, nullptr, &info),
                  VSA_E_NOT_INITIALISED);
        VSA_SCANINFO fake_info{};
        VSA_SCANINFO* fake = &fake_info;
        EXPECT_EQ(host.release_scan(&fake), VSA_E_NOT_INITIALISED);
        EXPECT_EQ(host.release_scan(nullptr), VSA_E_NULL_PARAM);
    };
    // Before the first start-up `g` does not exist yet.
    check_refusals();
    VSA_INIT* handle = nullptr;
    EXPECT_EQ(host.end(&handle, nullptr), VSA_E_NOT_INITIALISED);

    // After a clean-up the record exists but the store is gone.
    ASSERT_EQ(host.startup(), VSA_OK);
    ASSERT_EQ(host.cleanup(), VSA_OK);
    check_refusals();
    EXPECT_TRUE(host.traced(QZ_LOG_ERROR, "VsaInit",
                            "VSA not started up, returning VSA_E_NOT_INITIALISED"));
    EXPECT_TRUE(host.traced(QZ_LOG_ERROR, "VsaScan",
                            "VSA implementation library not loaded, returning "
                            "VSA_E_NOT_INITIALISED"));
    EXPECT_EQ(host.calls(), "");
}

TEST_F(VsaAdapter, InitWithoutPlaceForTheHandleAllocatesNothing) {
    ASSERT_EQ(host.startup(), VSA_OK);
    InitParams params = valid_params();
    EXPECT_EQ(host.init(nullptr, params.get(), nullptr), VSA_E_NULL_PARAM);
    EXPECT_TRUE(host.traced(QZ_LOG_ERROR, "VsaInit", "Invalid value for pp_init (NULL)"));
    EXPECT_TRUE(host.traced(QZ_LOG_DEBUG, "VsaInit", "returning 2, gRefCounter = 0"));
    EXPECT_FALSE(host.traced("VSA_INIT allocated"));
    EXPECT_FALSE(host.implementation_mapped());
    EXPECT_EQ(host.calls(), "");
}

TEST_F(VsaAdapter, HandlesShareOneLoadAndTheLastEndUnloads) {
    ASSERT_EQ(host.startup(), VSA_OK);
    vsa_global* g = host.state();
    InitParams params = valid_params();
    VSA_CALLBACK callback{};
    callback.struct_size = sizeof callback;

    VSA_INIT* first = nullptr;
    ASSERT_EQ(host.init(&callback, params.get(), &first), VSA_OK);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->struct_size, 88u);
    EXPECT_TRUE(host.implementation_mapped());
    EXPECT_TRUE(host.traced(QZ_LOG_DEBUG, "VsaInit", "returning 0, gRefCounter = 1"));
    EXPECT_TRUE(host.traced(QZ_LOG_DEBUG, "VsaInit", "VSA implementation library loaded"));
    EXPECT_TRUE(host.traced(QZ_LOG_TRACE, "VsaInit",
                            "Calling VSA implementation library VsaInit() at 0x" +
                                pointer_text(reinterpret_cast<void*>(g->vsa->init)).substr(2)));
    EXPECT_TRUE(host.traced(QZ_LOG_TRACE, "VsaInit", "Entering (vsa-wrapper/src/VsaInit:"));
    EXPECT_TRUE(host.traced(QZ_LOG_DEBUG, "VsaLoadLibAVQ",
                            "Opening " + canonical(host.implementation_path())));
    EXPECT_NE(host.calls().find("init callback=" + pointer_text(&callback) + " initparams=" +
                                pointer_text(params.get()) + " pp_init=" + pointer_text(&first) +
                                " init=" + pointer_text(first) + " g=" + pointer_text(g)),
              std::string::npos)
        << host.calls();

    VSA_INIT* second = nullptr;
    ASSERT_EQ(host.init(&callback, params.get(), &second), VSA_OK);
    EXPECT_TRUE(host.traced(QZ_LOG_DEBUG, "VsaInit", "returning 0, gRefCounter = 2"));
    EXPECT_EQ(count_lines(host.calls(), "load"), 1u);
    EXPECT_EQ(g->gRefCounter, 2);

    // Live handles keep everything in place, the store included.
    EXPECT_EQ(host.cleanup(), VSA_E_IN_PROGRESS);
    EXPECT_TRUE(host.traced(QZ_LOG_WARN, "VsaCleanup",
                            "Some threads are still active (refCount: 2), returning "
                            "VSA_E_IN_PROGRESS"));
    VSA_CONFIG* config = nullptr;
    ASSERT_EQ(host.get_config(&config), VSA_OK);

    EXPECT_EQ(host.end(&first, &config), VSA_OK);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(config, nullptr);
    EXPECT_EQ(g->gRefCounter, 1);
    EXPECT_TRUE(host.implementation_mapped());
    EXPECT_FALSE(host.traced("Unloading libqzvsa"));

    EXPECT_EQ(host.end(&second, nullptr), VSA_OK);
    EXPECT_EQ(g->gRefCounter, 0);
    EXPECT_TRUE(host.traced(QZ_LOG_DEBUG, "VsaEnd", "Unloading libqzvsa"));
    EXPECT_TRUE(host.traced(QZ_LOG_INFO, "VsaUnloadLibAVQ", "Unloading libqzvsa"));
    EXPECT_FALSE(host.implementation_mapped());
    EXPECT_EQ(count_lines(host.calls(), "unload"), 1u);
    EXPECT_EQ(g->libHandle, nullptr);
    EXPECT_EQ(g->vsa->init, nullptr);
    EXPECT_EQ(g->vsa->scan, nullptr);
    EXPECT_EQ(g->vsa->releasescan, nullptr);
    EXPECT_EQ(g->vsa->end, nullptr);

    // An end after the unload: answered 0, and a given description is released here.
    ASSERT_EQ(host.get_config(&config), VSA_OK);
    VSA_INIT* none = nullptr;
    EXPECT_EQ(host.end(&none, &config), VSA_OK);
    EXPECT_EQ(config, nullptr);
    EXPECT_TRUE(host.traced(QZ_LOG_WARN, "VsaEnd",
                            "Called after libqzvsa has been unloaded. Returning OK. Potential "
                            "Memory Leak"));
    EXPECT_TRUE(host.traced(QZ_LOG_WARN, "VsaEnd",
                            "Releasing VSA Configuration struct after unloading VSA library"));

    EXPECT_EQ(host.cleanup(), VSA_OK);

    // A later start loads the implementation again.
    ASSERT_EQ(host.startup(), VSA_OK);
    VSA_INIT* third = nullptr;
    ASSERT_EQ(host.init(nullptr, params.get(), &third), VSA_OK);
    EXPECT_EQ(count_lines(host.calls(), "load"), 2u);
    EXPECT_EQ(host.end(&third, nullptr), VSA_OK);
    EXPECT_FALSE(host.implementation_mapped());
}

// A whole host session: start, describe, init, scan, release, end, clean up.
TEST_F(VsaAdapter, ScanAndReleaseAreForwardedWithTheirArguments) {
    ASSERT_EQ(host.startup(), VSA_OK);
    VSA_CONFIG* config = nullptr;
    ASSERT_EQ(host.get_config(&config), VSA_OK);
    InitParams params = valid_params();
    VSA_INIT* handle = nullptr;
    ASSERT_EQ(host.init(nullptr, params.get(), &handle), VSA_OK);
    vsa_global* g = host.state();

    host.set_implementation_rc("SCAN", VSA_E_VIRUS_FOUND);
    VSA_CALLBACK callback{};
    callback.struct_size = sizeof callback;
    char name[] = "/data/object.bin";
    VSA_SCANPARAM scanparam{};
    scanparam.struct_size = sizeof scanparam;
    scanparam.tScanMethod = VSA_SCANMETHOD_FILE;
    scanparam.tActioncode = VSA_ACTION_SCAN;
    scanparam.pszObjectname = name;
    VSA_OPTPARAMS optparams{};
    VSA_SCANINFO* info = nullptr;
    EXPECT_EQ(host.scan(handle, &callback, &scanparam, &optparams, &info), VSA_E_VIRUS_FOUND);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->struct_size, 80u);
    EXPECT_NE(host.calls().find("scan init=" + pointer_text(handle) + " callback=" +
                                pointer_text(&callback) + " scanparam=" + pointer_text(&scanparam) +
                                " optparams=" + pointer_text(&optparams) +
                                " pp_scinfo=" + pointer_text(&info) + " g=" + pointer_text(g)),
              std::string::npos)
        << host.calls();
    EXPECT_TRUE(host.traced(QZ_LOG_TRACE, "VsaScan", "rc=-2"));
    EXPECT_TRUE(host.traced(QZ_LOG_TRACE, "VsaScan", "Exiting (vsa-wrapper/src/VsaScan:"));

    VSA_SCANINFO* released = info;
    host.set_implementation_rc("RELEASESCAN", VSA_OK);
    EXPECT_EQ(host.release_scan(&info), VSA_OK);
    EXPECT_EQ(info, nullptr);
    EXPECT_NE(host.calls().find("releasescan pp_scinfo=" + pointer_text(&info) +
                                " scinfo=" + pointer_text(released) + " g=" + pointer_text(g)),
              std::string::npos);
    EXPECT_TRUE(host.traced(QZ_LOG_TRACE, "VsaReleaseScan", "Entering"));
    EXPECT_TRUE(host.traced(QZ_LOG_DEBUG, "VsaReleaseScan", "rc=0"));

    EXPECT_EQ(host.end(&handle, &config), VSA_OK);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(config, nullptr);
    EXPECT_FALSE(host.implementation_mapped());
    EXPECT_EQ(host.cleanup(), VSA_OK);
}

// The host scans from many threads at once; the adapter adds no lock on these paths.
TEST_F(VsaAdapter, ScansFromManyThreads) {
    ASSERT_EQ(host.startup(), VSA_OK);
    InitParams params = valid_params();
    VSA_INIT* handle = nullptr;
    ASSERT_EQ(host.init(nullptr, params.get(), &handle), VSA_OK);
    constexpr int kThreads = 4;
    constexpr int kScans = 25;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kScans; ++i) {
                VSA_SCANPARAM scanparam{};
                scanparam.struct_size = sizeof scanparam;
                scanparam.tScanMethod = VSA_SCANMETHOD_BYTES;
                VSA_SCANINFO* info = nullptr;
                if (host.scan(handle, nullptr, &scanparam, nullptr, &info) != VSA_OK ||
                    host.release_scan(&info) != VSA_OK || info != nullptr)
                    ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
    std::string calls = host.calls();
    size_t scans = 0;
    for (size_t at = calls.find("\nscan "); at != std::string::npos;
         at = calls.find("\nscan ", at + 1))
        ++scans;
    EXPECT_EQ(scans, static_cast<size_t>(kThreads * kScans));
    EXPECT_EQ(host.end(&handle, nullptr), VSA_OK);
}

TEST_F(VsaAdapter, InvalidScanArgumentsNeverReachTheImplementation) {
    ASSERT_EQ(host.startup(), VSA_OK);
    InitParams params = valid_params();
    VSA_INIT* handle = nullptr;
    ASSERT_EQ(host.init(nullptr, params.get(), &handle), VSA_OK);
    VSA_INIT empty_init{};  // struct_size 0
    VSA_SCANPARAM scanparam{};
    scanparam.struct_size = sizeof scanparam;

    struct Case {
        VSA_INIT* init;
        VSA_SCANPARAM* scanparam;
    };
    const Case kCases[] = {
        {nullptr, &scanparam},
        {handle, nullptr},
        {&empty_init, &scanparam},
        {nullptr, nullptr},
    };
    for (const Case& c : kCases) {
        VSA_SCANINFO* info = nullptr;
        EXPECT_EQ(host.scan(c.init, nullptr, c.scanparam, nullptr, &info), VSA_E_INVALID_PARAM);
        EXPECT_EQ(info, nullptr);
        unsigned long long size = c.init != nullptr ? c.init->struct_size : 0;
        char expected[256];
        std::snprintf(expected, sizeof expected,
                      "Invalid parameter p_init: 0x%llx or p_scanparam: 0x%llx or "
                      "p_init.struct_size: %llu ",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(c.init)),
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(c.scanparam)),
                      size);
        EXPECT_TRUE(host.traced(QZ_LOG_ERROR, "VsaScan", expected)) << expected;
    }
    EXPECT_EQ(host.calls().find("scan "), std::string::npos);
    EXPECT_EQ(host.end(&handle, nullptr), VSA_OK);
}

TEST_F(VsaAdapter, ReleaseOfNothingIsRefusedQuietly) {
    ASSERT_EQ(host.startup(), VSA_OK);
    InitParams params = valid_params();
    VSA_INIT* handle = nullptr;
    ASSERT_EQ(host.init(nullptr, params.get(), &handle), VSA_OK);
    host.clear_trace();
    VSA_SCANINFO* none = nullptr;
    EXPECT_EQ(host.release_scan(nullptr), VSA_E_NULL_PARAM);
    EXPECT_EQ(host.release_scan(&none), VSA_E_NULL_PARAM);
    EXPECT_FALSE(host.traced(QZ_LOG_TRACE, "VsaReleaseScan", "Entering"));
    EXPECT_TRUE(host.traced(QZ_LOG_DEBUG, "VsaReleaseScan", "rc=2"));
    EXPECT_EQ(host.calls().find("releasescan"), std::string::npos);
    EXPECT_EQ(host.end(&handle, nullptr), VSA_OK);
}

TEST_F(VsaAdapter, ScanWithoutImplementationIsNotInitialised) {
    ASSERT_EQ(host.startup(), VSA_OK);
    VSA_INIT fake_init{};
    fake_init.struct_size = sizeof fake_init;
    VSA_SCANPARAM scanparam{};
    scanparam.struct_size = sizeof scanparam;
    VSA_SCANINFO* info = nullptr;
    EXPECT_EQ(host.scan(&fake_init, nullptr, &scanparam, nullptr, &info), VSA_E_NOT_INITIALISED);
    VSA_SCANINFO fake_info{};
    VSA_SCANINFO* fake = &fake_info;
    EXPECT_EQ(host.release_scan(&fake), VSA_E_NOT_INITIALISED);
    EXPECT_EQ(fake, &fake_info);
    EXPECT_TRUE(host.traced(QZ_LOG_ERROR, "VsaReleaseScan",
                            "VSA implementation library not loaded, returning "
                            "VSA_E_NOT_INITIALISED"));
    EXPECT_EQ(host.calls(), "");
}

TEST_F(VsaAdapter, ImplementationFailureKeepsItLoadedUntilTheHandleEnds) {
    ASSERT_EQ(host.startup(), VSA_OK);
    host.set_implementation_rc("INIT", VSA_E_DRIVER_FAILED);
    InitParams params = valid_params();
    VSA_INIT* handle = nullptr;
    EXPECT_EQ(host.init(nullptr, params.get(), &handle), VSA_E_DRIVER_FAILED);
    ASSERT_NE(handle, nullptr);
    EXPECT_STREQ(handle->pszErrorText, "test implementation refused the handle");
    EXPECT_TRUE(host.traced(QZ_LOG_DEBUG, "VsaInit", "returning 9, gRefCounter = 0"));
    EXPECT_TRUE(host.implementation_mapped());
    // Nothing is live, but the loaded implementation still ends the handle.
    EXPECT_EQ(host.end(&handle, nullptr), VSA_OK);
    EXPECT_EQ(handle, nullptr);
    EXPECT_NE(host.calls().find("end pp_init="), std::string::npos);
    EXPECT_FALSE(host.implementation_mapped());
}

TEST_F(VsaAdapter, HandleOfAFailedInitIsReleasedByEnd) {
    ASSERT_EQ(host.startup(), VSA_OK);
    InitParams params;
    params.text(VSA_INITDIRECTORY, host.base());
    VSA_INIT* handle = nullptr;
    EXPECT_EQ(host.init(nullptr, params.get(), &handle), VSA_E_INVALID_PARAM);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->struct_size, 88u);
    EXPECT_STREQ(handle->pszErrorText, "Required broker URL not set in parameter INITDRIVERS");
    EXPECT_EQ(handle->iErrorRC, 0);
    EXPECT_EQ(host.end(&handle, nullptr), VSA_OK);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(VsaAdapter, MissingLibraryFailsWithTheLoaderReason) {
    host.stage(Implementation::kNone);
    ASSERT_EQ(host.startup(), VSA_OK);
    InitParams params = valid_params();
    VSA_INIT* handle = nullptr;
    EXPECT_EQ(host.init(nullptr, params.get(), &handle), VSA_E_LOAD_FAILED);
    ASSERT_NE(handle, nullptr);
    EXPECT_STREQ(handle->pszErrorText, "Failed to load VSA implementation library");
    EXPECT_TRUE(host.traced(QZ_LOG_FATAL, "VsaInit", "Failed to load VSA implementation library"));
    std::string path = canonical(host.base()) + "/qz-av-vsa/latest/lib/libqzvsa.so";
    EXPECT_TRUE(host.traced(QZ_LOG_FATAL, "VsaLoadLibAVQ",
                            "Failed to open " + path + ": " + path +
                                ": cannot open shared object file: No such file or directory"))
        << host.trace();
    EXPECT_EQ(host.state()->libHandle, nullptr);
    EXPECT_EQ(host.end(&handle, nullptr), VSA_OK);
}

TEST(VsaAdapterBinding, MissingSymbolReleasesTheLibraryAndARetryLoadsAfresh) {
    VsaHostOptions options;
    options.implementation = Implementation::kWithoutEnd;
    VsaHost host(qztest::built_vsa_libraries(), options);
    ASSERT_EQ(host.startup(), VSA_OK);
    InitParams params;
    params.text(VSA_INITDRIVERS, "nats://127.0.0.1:4222").text(VSA_INITDIRECTORY, host.base());
    VSA_INIT* handle = nullptr;
    EXPECT_EQ(host.init(nullptr, params.get(), &handle), VSA_E_LOAD_FAILED);
    for (const char* entry : {"init", "scan", "releasescan"}) {
        EXPECT_TRUE(host.traced(QZ_LOG_DEBUG, "VsaLoadLibAVQ",
                                std::string("vsa->") + entry + "() loaded to 0x"))
            << entry;
    }
    EXPECT_TRUE(host.traced(QZ_LOG_FATAL, "VsaLoadLibAVQ",
                            "Cannot load symbol end(): " + canonical(host.implementation_path()) +
                                ": undefined symbol: vsalib_VsaEnd"))
        << host.trace();
    EXPECT_FALSE(host.implementation_mapped());
    EXPECT_EQ(count_lines(host.calls(), "unload"), 1u);
    vsa_global* g = host.state();
    EXPECT_EQ(g->libHandle, nullptr);
    EXPECT_EQ(g->vsa->init, nullptr);
    EXPECT_EQ(g->vsa->scan, nullptr);
    EXPECT_EQ(g->vsa->releasescan, nullptr);
    EXPECT_EQ(g->vsa->end, nullptr);
    EXPECT_EQ(host.end(&handle, nullptr), VSA_OK);

    host.stage(Implementation::kComplete);
    ASSERT_EQ(host.init(nullptr, params.get(), &handle), VSA_OK);
    EXPECT_EQ(count_lines(host.calls(), "load"), 2u);
    EXPECT_EQ(host.end(&handle, nullptr), VSA_OK);
    EXPECT_FALSE(host.implementation_mapped());
}

TEST(VsaAdapterLibrary, ExportsOnlyTheEntryPointsAndG) {
    std::string adapter = qztest::built_vsa_libraries().adapter;
    std::unique_ptr<FILE, int (*)(FILE*)> nm(
        popen(("nm -D --defined-only '" + adapter + "'").c_str(), "r"), pclose);
    ASSERT_NE(nm, nullptr);
    std::set<std::string> symbols;
    char line[1024];
    while (std::fgets(line, sizeof line, nm.get()) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        if (type == "A") continue;  // version definitions
        symbols.insert(name);
    }
    const std::set<std::string> expected = {
        "VsaStartup",     "VsaGetConfig", "VsaInit",    "VsaScan",
        "VsaReleaseScan", "VsaEnd",       "VsaCleanup", "g"};
    EXPECT_EQ(symbols, expected);
    // Staged where an installation keeps it.
    EXPECT_NE(adapter.find("/stage/qz-av-vsa/latest/lib/libqzAV.so"), std::string::npos);
}

// The dynamic symbols a library defines, version definitions left out.
std::set<std::string> defined_symbols(const std::string& library) {
    std::set<std::string> symbols;
    std::unique_ptr<FILE, int (*)(FILE*)> nm(
        popen(("nm -D --defined-only '" + library + "' 2>/dev/null").c_str(), "r"), pclose);
    if (nm == nullptr) return symbols;
    char line[1024];
    while (std::fgets(line, sizeof line, nm.get()) != nullptr) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        if (type != "A" && !name.empty()) symbols.insert(name);
    }
    return symbols;
}

#ifdef QZ_VSALIB_PATH
TEST(VsaImplementationLibrary, ExportsVsalibAndItsOwnCInterfaceOnly) {
    const std::string implementation = QZ_VSALIB_PATH;
    const std::set<std::string> symbols = defined_symbols(implementation);
    ASSERT_FALSE(symbols.empty());
    for (const char* entry :
         {"vsalib_VsaInit", "vsalib_VsaScan", "vsalib_VsaReleaseScan", "vsalib_VsaEnd"})
        EXPECT_EQ(symbols.count(entry), 1u) << entry;
    // Only the C names its version script lets through: no C++ symbol, no internal helper.
    const char* const prefixes[] = {"vsalib_", "qzvsalib_", "trace_VSA_", "qz_",  "qzhlp_",
                                    "Hlp",     "QZ",        "list_",      "log_", "md5_",
                                    "sb_",     "base64_",   "ini_"};
    for (const std::string& name : symbols) {
        EXPECT_NE(name.rfind("_Z", 0), 0u) << name;
        bool listed = false;
        for (const char* prefix : prefixes) listed |= name.rfind(prefix, 0) == 0;
        EXPECT_TRUE(listed) << name;
    }
    EXPECT_EQ(symbols.count("g"), 0u);
    // Nothing of the libraries it links is re-exported.
    std::unique_ptr<FILE, int (*)(FILE*)> ldd(popen(("ldd '" + implementation + "'").c_str(), "r"),
                                              pclose);
    ASSERT_NE(ldd, nullptr);
    char line[1024];
    size_t checked = 0;
    while (std::fgets(line, sizeof line, ldd.get()) != nullptr) {
        std::string text = line;
        size_t arrow = text.find("=> /");
        if (arrow == std::string::npos) continue;
        std::string path = text.substr(arrow + 3, text.find(' ', arrow + 3) - arrow - 3);
        for (const char* dependency :
             {"libnats", "libjson-c", "libsodium", "libcurl", "libb64", "libuuid"}) {
            if (path.find(dependency) == std::string::npos) continue;
            ++checked;
            std::string foreign;
            for (const std::string& name : defined_symbols(path)) {
                if (symbols.count(name) != 0) foreign += " " + name;
            }
            EXPECT_EQ(foreign, "") << path;
        }
    }
    EXPECT_GE(checked, 3u);
    EXPECT_NE(implementation.find("/stage/qz-av-vsa/latest/lib/libqzvsa.so"), std::string::npos);
}
#endif

TEST(VsaEntryGuard, EscapingFailuresBecomeCodesAndTraceLines) {
    qztest::TraceCapture trace;
    const qz::adapter::TraceSite site{"VsaTest", "vsa-wrapper/src/VsaTest"};
    EXPECT_EQ(qz::adapter::guard_entry(site, VSA_E_INVALID_PARAM, [] { return VSA_E_CLEANED; }),
              VSA_E_CLEANED);
    EXPECT_EQ(qz::adapter::guard_entry(site, VSA_E_INVALID_PARAM,
                                       []() -> VSA_RC { throw std::runtime_error("boom"); }),
              VSA_E_INVALID_PARAM);
    EXPECT_TRUE(trace.contains("VsaTest(): Unexpected failure: boom, returning 3"));
    EXPECT_EQ(qz::adapter::guard_entry(site, VSA_E_INVALID_PARAM,
                                       []() -> VSA_RC { throw std::bad_alloc(); }),
              VSA_E_NO_MEMORY);
    EXPECT_TRUE(trace.contains("returning 1"));
    EXPECT_EQ(qz::adapter::guard_entry(site, VSA_E_NULL_PARAM, []() -> VSA_RC { throw 42; }),
              VSA_E_NULL_PARAM);
    EXPECT_TRUE(trace.contains("Unexpected failure: unknown exception, returning 2"));
}

}  // namespace
