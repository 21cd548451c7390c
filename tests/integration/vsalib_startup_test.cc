// Start-up and shutdown of the real libqzvsa.so, driven through the real libqzAV.so as a host
// does, against a real broker. The control service and the event sink on the far side are played
// by this very binary started again in a "farm" role: another process, because libqzvsa tears
// down the broker client's process-wide state at its last VsaEnd, which would take a connection
// of this process with it. The farm's control answers as a file in its directory says, so a test
// can script malformed and refusing replies.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sodium.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/config_store.h"
#include "connection/connection.h"
#include "connection/nats_handles.h"
#include "crypto/secretbox.h"
#include "log/log.h"
#include "platform/host.h"
#include "platform/semaphore.h"
#include "support/nats_server.h"
#include "support/nats_test_helpers.h"
#include "support/service_process.h"
#include "support/temp_dir.h"
#include "support/vsa_host.h"
#include "vsa_engine.h"

namespace {

namespace fs = std::filesystem;
using qztest::InitParams;
using qztest::NatsServer;
using qztest::ServiceProcess;
using qztest::TempDir;
using qztest::VsaHost;
using qztest::VsaHostOptions;

// ---------------------------------------------------------------------------------------------
// The farm role: control service and event sink in a child process.

struct FarmOptions {
    std::string server, user, password, ready_file, trace_file;
    std::string control_mode_file;  // holds "ok", "slow", "malformed", "error", "noservices"
    std::string requests_file;      // every control request, one line each
    std::string events_file;        // {"subject": ..., "message": ...} per delivered entry
    bool control = true;
};

std::atomic<int32_t> s_farm_stop{0};
std::mutex s_farm_write_lock;

void append_line(const std::string& path, const std::string& line) {
    std::lock_guard<std::mutex> lock(s_farm_write_lock);
    std::ofstream out(path, std::ios::app);
    out << line << "\n";
}

std::string read_mode(const FarmOptions& options) {
    std::string mode = qztest::read_file(options.control_mode_file);
    while (!mode.empty() && (mode.back() == '\n' || mode.back() == ' ')) mode.pop_back();
    return mode.empty() ? "ok" : mode;
}

std::string driver_entry(const std::string& service, int major) {
    return R"({"Servicename":")" + service + R"(","Driverinfo":{"Present":true,"MajorVersion":)" +
           std::to_string(major) +
           R"(,"MinorVersion":2,"NumberOfViruses":100,"NumberOfVariants":7,)"
           R"("Timestamp":1786290085,"DriverName":")" +
           service + R"( driver"}})";
}

void control_handler(void* closure, qz_request_reply* pair) {
    const auto* options = static_cast<const FarmOptions*>(closure);
    const std::string request = pair->request->json != nullptr ? pair->request->json : "";
    append_line(options->requests_file, request);
    const std::string mode = read_mode(*options);
    std::string reply;
    if (mode.rfind("slow", 0) == 0) {
        // Later than any start-up waits; ends early when the farm stops.
        for (int i = 0; i < 200 && s_farm_stop.load() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (mode == "malformed") {
        reply = "{\"ReturnCode\": 0, \"Services\": [";
    } else if (mode == "error") {
        reply = R"({"ReturnCode":5,"Error":"busy"})";
    } else if (mode == "noservices") {
        reply = R"({"ReturnCode":0,"tenantID":"tenant-1"})";
    } else {
        std::string services = driver_entry("qz-av-control", 3);
        qz::nats::JsonPtr parsed(json_tokener_parse(request.c_str()));
        json_object* names = nullptr;
        if (parsed && json_object_object_get_ex(parsed.get(), "Services", &names)) {
            for (size_t i = 0; i < json_object_array_length(names); ++i)
                services +=
                    "," +
                    driver_entry(json_object_get_string(json_object_array_get_idx(names, i)), 1);
        }
        reply = R"({"ReturnCode":0,"tenantID":"tenant-1","realmName":"Realm One",)"
                R"("SCAN":[["SCANBESTEFFORT","1"]],"Services":[)" +
                services + "]}";
    }
    pair->reply->json = strdup(reply.c_str());
}

struct SinkClosure {
    const FarmOptions* options;
    const char* subject;
};

void sink_handler(void* closure, qz_request_reply* pair) {
    const auto* sink = static_cast<const SinkClosure*>(closure);
    const std::string message = pair->request->json != nullptr ? pair->request->json : "null";
    append_line(sink->options->events_file,
                std::string(R"({"subject":")") + sink->subject + R"(","message":)" + message + "}");
    pair->reply->json = strdup(R"({"ReturnCode": 0})");
}

void stop_farm(int) { s_farm_stop.store(1); }

int run_farm(const FarmOptions& options) {
    QZOpenTraceFile(options.trace_file.c_str(), QZ_LOG_TRACE, 0);
    qz_connection_config* config = qz_connection_config_new();
    config->server_url = strdup(options.server.c_str());
    if (!options.user.empty()) {
        config->user = strdup(options.user.c_str());
        config->password = strdup(options.password.c_str());
    }
    if (qz_connection_init(config) != 0) {
        fprintf(stderr, "farm: cannot connect to %s\n", options.server.c_str());
        return 1;
    }
    auto* stop = reinterpret_cast<volatile int32_t*>(&s_farm_stop);
    static SinkClosure events{&options, "qz-av-events-dispatch"};
    static SinkClosure logs{&options, "qz-av-log"};
    bool started = qz_nats_start_service_handler_threads(config, events.subject, sink_handler,
                                                         &events, stop, 1) == 0 &&
                   qz_nats_start_service_handler_threads(config, logs.subject, sink_handler, &logs,
                                                         stop, 1) == 0;
    if (started && options.control) {
        started =
            qz_nats_start_service_handler_threads(config, "qz-av-control", control_handler,
                                                  const_cast<FarmOptions*>(&options), stop, 2) == 0;
    }
    if (!started) {
        fprintf(stderr, "farm: cannot subscribe\n");
        return 1;
    }
    signal(SIGTERM, stop_farm);
    signal(SIGINT, stop_farm);
    // The subscriptions must be known to the broker before a requester counts on them.
    natsConnection_Flush(config->conn);
    qztest::write_file(options.ready_file + ".tmp", std::to_string(getpid()));
    rename((options.ready_file + ".tmp").c_str(), options.ready_file.c_str());
    while (s_farm_stop.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    qz_nats_join_worker_threads(stop, 5000);
    qz_connection_deinit(config);
    qz_connection_config_free(config);
    return 0;
}

// Runs the farm when the command line asks for it; -1 otherwise.
int maybe_run_farm(int argc, char** argv) {
    FarmOptions options;
    bool farm = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--role")
            farm = value() == "farm";
        else if (arg == "--server")
            options.server = value();
        else if (arg == "--user")
            options.user = value();
        else if (arg == "--password")
            options.password = value();
        else if (arg == "--ready-file")
            options.ready_file = value();
        else if (arg == "--trace")
            options.trace_file = value();
        else if (arg == "--control-mode-file")
            options.control_mode_file = value();
        else if (arg == "--requests")
            options.requests_file = value();
        else if (arg == "--events")
            options.events_file = value();
        else if (arg == "--no-control")
            options.control = false;
    }
    return farm ? run_farm(options) : -1;
}

// ---------------------------------------------------------------------------------------------
// The test side.

std::string self_path() { return fs::read_symlink("/proc/self/exe").string(); }

std::string stage_lib(const char* name) {
    return std::string(QZ_STAGE_DIR) + "/qz-av-vsa/latest/lib/" + name;
}

qztest::VsaLibraries real_libraries() {
    const std::string implementation = stage_lib("libqzvsa.so");
    return {stage_lib("libqzAV.so"), implementation, implementation};
}

size_t thread_count() {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++n;
    }
    return n;
}

// The farm process with its files.
class Farm {
  public:
    Farm(const std::string& server, bool control = true, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--role",    "farm",       "--control-mode-file",
                                         mode_file(), "--requests", requests_file(),
                                         "--events",  events_file()};
        if (!control) args.push_back("--no-control");
        args.insert(args.end(), extra.begin(), extra.end());
        process_ = std::make_unique<ServiceProcess>(self_path(), server, args);
    }

    void set_mode(const std::string& mode) { qztest::write_file(mode_file(), mode); }
    std::string requests() const { return read(requests_file()); }

    // Every delivered entry of the subject, parsed.
    std::vector<qz::nats::JsonPtr> messages(const std::string& subject) const {
        std::vector<qz::nats::JsonPtr> out;
        std::istringstream lines(read(events_file()));
        std::string line;
        while (std::getline(lines, line)) {
            qz::nats::JsonPtr parsed = qztest::parse(line);
            json_object* message = nullptr;
            if (parsed && qztest::member(parsed.get(), "subject") == subject &&
                json_object_object_get_ex(parsed.get(), "message", &message))
                out.emplace_back(json_object_get(message));
        }
        return out;
    }
    // The events of the given type delivered so far.
    std::vector<qz::nats::JsonPtr> events(int type) const {
        std::vector<qz::nats::JsonPtr> out;
        for (auto& message : messages("qz-av-events-dispatch")) {
            json_object* event = nullptr;
            json_object* value = nullptr;
            if (json_object_object_get_ex(message.get(), "Event", &event) &&
                json_object_object_get_ex(event, "Type", &value) &&
                json_object_get_int(value) == type)
                out.push_back(std::move(message));
        }
        return out;
    }
    bool wait_for_event(int type, size_t count, int limit_ms) const {
        return qztest::wait_until([&] { return events(type).size() >= count; }, limit_ms);
    }

  private:
    static std::string read(const std::string& path) {
        std::error_code ec;
        return fs::exists(path, ec) ? qztest::read_file(path) : std::string();
    }
    std::string mode_file() const { return dir_.file("control-mode"); }
    std::string requests_file() const { return dir_.file("requests.log"); }
    std::string events_file() const { return dir_.file("events.log"); }

    TempDir dir_;
    std::unique_ptr<ServiceProcess> process_;
};

void provision(const std::string& url) {
    const std::string command =
        std::string(QZ_PROVISION_TOOL) + " --url " + url + " qz-av-dummy > /dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// Removes the job-ID semaphore that start-ups of the installation in `base` created; its name
// holds the hash of the installation directory, so it is this test's alone.
void remove_job_semaphore(const std::string& base) {
    char host[256] = {};
    qz_gethostname(host, sizeof host);
    const char* sid_env = getenv("SAPSYSTEMNAME");
    const std::string sid = sid_env != nullptr ? sid_env : host;
    std::error_code ec;
    const std::string directory = fs::weakly_canonical(base, ec).string();
    char hash[VSALIB_CONFIG_HASH_SIZE];
    VsaCreateConfigHash(hash, directory.c_str(), sid.c_str(), host);
    QZsem_remove(("/qz_jobID_" + sid + "_" + hash).c_str());
}

std::string text(const char* s) { return s != nullptr ? s : "(null)"; }

class VsalibStartup : public ::testing::Test {
  protected:
    void SetUp() override { provision(broker.url()); }
    void TearDown() override {
        for (const std::string& base : bases) remove_job_semaphore(base);
    }

    InitParams params(const std::string& url, int timeout = 5) {
        InitParams p;
        p.text(VSA_INITDRIVERS, url)
            .text(VSA_INITDIRECTORY, host->base())
            .text(VSA_INITENGINES, "dummy")
            .number(VSA_INITTIMEOUT, timeout);
        return p;
    }
    void make_host(const std::string& config = "") {
        VsaHostOptions options;
        options.config = config;
        host = std::make_unique<VsaHost>(real_libraries(), options);
        bases.push_back(host->base());
    }
    // VsaInit with the time it took.
    VSA_RC init(InitParams& p, VSA_INIT** handle, long long* took_ms = nullptr) {
        const auto start = std::chrono::steady_clock::now();
        VSA_RC rc = host->init(nullptr, p.get(), handle);
        if (took_ms != nullptr) *took_ms = qztest::elapsed_ms(start);
        return rc;
    }
    // True when the trace has a line of libqzvsa from function that contains what.
    bool vsalib_traced(const std::string& function, const std::string& what) const {
        std::istringstream lines(host->trace());
        std::string line;
        // An empty function matches every line of the library.
        const std::string origin = function.empty() ? "vsa-lib:" : "vsa-lib:" + function + "(): ";
        while (std::getline(lines, line)) {
            size_t at = line.find(origin);
            if (at != std::string::npos && line.find(what, at) != std::string::npos) return true;
        }
        return false;
    }

    NatsServer broker;
    std::unique_ptr<VsaHost> host;
    std::vector<std::string> bases;
};

TEST_F(VsalibStartup, TwoHandlesShareOneStartUpAndTheLastEndStopsIt) {
    Farm farm(broker.url());
    make_host();
    const size_t threads_before = thread_count();
    ASSERT_EQ(host->startup(), VSA_OK);
    vsa_global* g = host->state();
    InitParams p = params(broker.url());

    VSA_INIT* first = nullptr;
    ASSERT_EQ(init(p, &first), VSA_OK) << (first ? text(first->pszErrorText) : "") << host->trace();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(g->gRefCounter, 1);
    EXPECT_EQ(g->libInitialised, 1);
    EXPECT_NE(g->logThreadParams, nullptr);
    EXPECT_NE(g->connection_config, nullptr);
    EXPECT_EQ(first->struct_size, 88u);
    EXPECT_NE(first->hEngine, nullptr);
    EXPECT_EQ(first->iMajorVersion, 4);
    EXPECT_EQ(first->iBuildNumber, 139);
    EXPECT_EQ(first->utcDate, 1786290085);
    EXPECT_EQ(text(first->pszLibraryText),
              "vendrix Anti-Virus for SAP Solutions (MQ) - v4.0.5-139 ");
    EXPECT_EQ(first->iErrorRC, 0);
    EXPECT_EQ(first->pszErrorText, nullptr);
    // The control service reported itself besides the needed service: entry 0 is the control's.
    ASSERT_EQ(first->usDriverCount, 2u);
    EXPECT_EQ(text(first->pDriverInfo[0].pszDriverName), "qz-av-control driver");
    EXPECT_EQ(first->pDriverInfo[0].usMajorVersion, 3);
    const VSA_DRIVERINFO& dummy = first->pDriverInfo[1];
    EXPECT_EQ(dummy.struct_size, 48u);
    EXPECT_EQ(text(dummy.pszDriverName), "qz-av-dummy driver");
    EXPECT_EQ(dummy.usMajorVersion, 1);
    EXPECT_EQ(dummy.usMinorVersion, 2);
    EXPECT_EQ(dummy.iNumberOfViruses, 100);
    EXPECT_EQ(dummy.iNumberOfVariants, 7);
    EXPECT_EQ(dummy.lDate, 1786290085);
    EXPECT_EQ(dummy.iDriverRC, 0);
    // The retrieved SCAN setting is in the store with its source.
    EXPECT_EQ(text(GetConfigParameter_String(g->config, "SCAN", "SCANBESTEFFORT")), "1");
    EXPECT_EQ(GetConfigParameter_Source(g->config, "SCAN", "SCANBESTEFFORT"), QZ_SOURCE_RETRIEVED);

    // The request named this installation and the needed service.
    qz::nats::JsonPtr request =
        qztest::parse(farm.requests().substr(0, farm.requests().find('\n')));
    ASSERT_TRUE(request) << farm.requests();
    EXPECT_EQ(qztest::member(request.get(), "Command"), "6");
    EXPECT_EQ(qztest::member(request.get(), "realmID"), "default");
    EXPECT_EQ(qztest::member(request.get(), "Services"), "[ \"qz-av-dummy\" ]");

    // The start event and its log message.
    ASSERT_TRUE(farm.wait_for_event(1010, 1, 5000));
    qz::nats::JsonPtr started = std::move(farm.events(1010)[0]);
    const std::string pid = std::to_string(getpid());
    EXPECT_EQ(qztest::member(started.get(), "Command"), "501");
    EXPECT_EQ(qztest::member(started.get(), "Component"), "VSA");
    EXPECT_EQ(qztest::member(started.get(), "realmID"), "default");
    json_object* event = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(started.get(), "Event", &event));
    const std::string started_text = qztest::member(event, "Event-Message");
    EXPECT_EQ(started_text.rfind("VSA started in work/server process PID " + pid + ".EventID:", 0),
              0u)
        << started_text;
    ASSERT_TRUE(qztest::wait_until([&] { return !farm.messages("qz-av-log").empty(); }, 5000));
    qz::nats::JsonPtr log = std::move(farm.messages("qz-av-log")[0]);
    EXPECT_EQ(qztest::member(log.get(), "Tenant"), "tenant-1");
    EXPECT_EQ(qztest::member(log.get(), "RealmName"), "Realm One");
    json_object* status = nullptr;
    json_object* data = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(log.get(), "StatusLog", &status));
    ASSERT_TRUE(json_object_object_get_ex(status, "LogData", &data));
    EXPECT_EQ(qztest::member(data, "Message"),
              "VSA started in work/server process PID " + pid +
                  ".EventID:" + qztest::member(log.get(), "EventID"));

    // A second handle: its own record, shared connection, no second start event.
    VSA_INIT* second = nullptr;
    void* connection = g->connection_config;
    ASSERT_EQ(init(p, &second), VSA_OK) << text(second ? second->pszErrorText : nullptr);
    EXPECT_EQ(g->gRefCounter, 2);
    EXPECT_NE(second->hEngine, first->hEngine);
    EXPECT_EQ(g->connection_config, connection);
    EXPECT_TRUE(host->traced(QZ_LOG_DEBUG, "VsaInit", "returning 0, gRefCounter = 2"));

    // The first end leaves everything running.
    EXPECT_EQ(host->end(&first, nullptr), VSA_OK);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(g->gRefCounter, 1);
    EXPECT_EQ(g->libInitialised, 1) << "the second handle is still live and must keep scanning";
    EXPECT_NE(g->logThreadParams, nullptr);
    EXPECT_TRUE(host->implementation_mapped());
    EXPECT_TRUE(farm.events(1030).empty());
    EXPECT_EQ(farm.events(1010).size(), 1u);

    // The last end announces the stop, stops the threads and lets the adapter unload.
    EXPECT_EQ(host->end(&second, nullptr), VSA_OK);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(g->gRefCounter, 0);
    EXPECT_EQ(g->libInitialised, 0);
    EXPECT_EQ(g->logThreadParams, nullptr);
    EXPECT_EQ(g->connection_config, nullptr);
    EXPECT_FALSE(host->implementation_mapped());
    EXPECT_TRUE(vsalib_traced(
        "vsalib_VsaEnd", "libnats global state torn down (nats_Close); safe to dlclose libqzvsa"));
    ASSERT_TRUE(farm.wait_for_event(1030, 1, 5000));
    std::vector<qz::nats::JsonPtr> stopped = farm.events(1030);
    json_object* stop_event = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(stopped[0].get(), "Event", &stop_event));
    EXPECT_EQ(qztest::member(stop_event, "Event-Message")
                  .rfind("VSA stopped in work/server process PID " + pid + ".EventID:", 0),
              0u);
    EXPECT_EQ(host->end(&second, nullptr), VSA_OK);  // after unloading: answered by the adapter
    EXPECT_EQ(host->cleanup(), VSA_OK);
    EXPECT_EQ(thread_count(), threads_before);
}

TEST_F(VsalibStartup, EventPasswordEncryptsTheStartEvent) {
    Farm farm(broker.url());
    make_host();
    ASSERT_EQ(host->startup(), VSA_OK);
    InitParams p = params(broker.url());
    p.text(VSA_INITEXTRADRIVERS, "event-password");
    VSA_INIT* handle = nullptr;
    ASSERT_EQ(init(p, &handle), VSA_OK) << text(handle ? handle->pszErrorText : nullptr);
    ASSERT_NE(handle->hEngine, nullptr);
    EXPECT_TRUE(vsalib_traced("vsalib_VsaInit", "Secretbox struct allocated: "));
    // The password goes into the key, not into the implementation's trace.
    EXPECT_FALSE(vsalib_traced("", "event-password"));

    ASSERT_TRUE(
        qztest::wait_until([&] { return !farm.messages("qz-av-events-dispatch").empty(); }, 5000));
    qz::nats::JsonPtr event = std::move(farm.messages("qz-av-events-dispatch")[0]);
    json_object* section = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(event.get(), "Event", &section));
    ASSERT_TRUE(json_object_is_type(section, json_type_string));
    const std::string nonce_hex = qztest::member(event.get(), "Nonce");
    ASSERT_EQ(nonce_hex.size(), 48u);

    // Decrypted with a key derived from the same password, the section is the start event.
    const std::string encoded = json_object_get_string(section);
    std::vector<unsigned char> cipher(encoded.size());
    size_t cipher_length = 0;
    ASSERT_EQ(sodium_base642bin(cipher.data(), cipher.size(), encoded.c_str(), encoded.size(),
                                nullptr, &cipher_length, nullptr, sodium_base64_VARIANT_ORIGINAL),
              0);
    unsigned char nonce[24];
    ASSERT_EQ(sodium_hex2bin(nonce, sizeof nonce, nonce_hex.c_str(), nonce_hex.size(), nullptr,
                             nullptr, nullptr),
              0);
    std::unique_ptr<qz_secretbox_key, decltype(&qz_secretbox_free_key)> key(
        qz_secretbox_generate_key("event-password"), qz_secretbox_free_key);
    ASSERT_NE(key, nullptr);
    unsigned char* plain = nullptr;
    size_t plain_length = 0;
    ASSERT_EQ(qz_secretbox_decrypt_buffer(cipher.data(), cipher_length, key.get(), nonce, &plain,
                                          &plain_length),
              0);
    qz::nats::JsonPtr decrypted =
        qztest::parse(std::string(reinterpret_cast<char*>(plain), plain_length));
    free(plain);
    ASSERT_TRUE(decrypted);
    EXPECT_EQ(qztest::member(decrypted.get(), "Type"), "1010");
    EXPECT_EQ(qztest::member(decrypted.get(), "Event-Message")
                  .rfind("VSA started in work/server process PID ", 0),
              0u);
    EXPECT_EQ(host->end(&handle, nullptr), VSA_OK);
    EXPECT_EQ(host->cleanup(), VSA_OK);
}

TEST_F(VsalibStartup, ControlAbsentOrTooSlowFailsWithinTheTimeOutAndLeavesNothingRunning) {
    struct Case {
        const char* label;
        bool control;
        const char* mode;
        int timeout;
    };
    const Case kCases[] = {
        {"control absent", false, "ok", 3},
        {"control slower than the time-out", true, "slow", 2},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.label);
        Farm farm(broker.url(), c.control);
        farm.set_mode(c.mode);
        make_host();
        const size_t threads_before = thread_count();
        ASSERT_EQ(host->startup(), VSA_OK);
        InitParams p = params(broker.url(), c.timeout);
        VSA_INIT* handle = nullptr;
        long long took = 0;
        EXPECT_EQ(init(p, &handle, &took), VSA_E_DRIVER_FAILED);
        EXPECT_LE(took, c.timeout * 1000 + 1500);
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(text(handle->pszErrorText), "CONSOLIDATED_INIT: no reply from control");
        EXPECT_EQ(handle->iErrorRC, 1);
        EXPECT_TRUE(vsalib_traced("vsalib_VsaInit", "CONSOLIDATED_INIT: no reply from control"));
        vsa_global* g = host->state();
        EXPECT_EQ(g->gRefCounter, 0);
        EXPECT_EQ(g->logThreadParams, nullptr);
        ASSERT_NE(g->connection_config, nullptr);
        EXPECT_EQ(static_cast<qz_connection_config*>(g->connection_config)->conn, nullptr);
        EXPECT_EQ(thread_count(), threads_before);
        EXPECT_EQ(host->end(&handle, nullptr), VSA_OK);
        EXPECT_EQ(handle, nullptr);
        EXPECT_FALSE(host->implementation_mapped());
        EXPECT_EQ(host->cleanup(), VSA_OK);
        EXPECT_EQ(thread_count(), threads_before);
    }
}

TEST_F(VsalibStartup, RefusingOrMalformedRepliesFailWithTheirReason) {
    struct Case {
        const char* mode;
        const char* error;
    };
    const Case kCases[] = {
        {"malformed", "CONSOLIDATED_INIT: no reply from control"},
        {"error", "CONSOLIDATED_INIT control reported error: busy"},
        {"noservices", "CONSOLIDATED_INIT: response missing/invalid 'Services'"},
    };
    Farm farm(broker.url());
    make_host();
    const size_t threads_before = thread_count();
    ASSERT_EQ(host->startup(), VSA_OK);
    InitParams p = params(broker.url());
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.mode);
        farm.set_mode(c.mode);
        VSA_INIT* handle = nullptr;
        EXPECT_EQ(init(p, &handle), VSA_E_DRIVER_FAILED);
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(text(handle->pszErrorText), c.error);
        EXPECT_EQ(host->state()->gRefCounter, 0);
        EXPECT_EQ(thread_count(), threads_before);
        EXPECT_EQ(host->end(&handle, nullptr), VSA_OK);
    }
    // A good reply afterwards: the library, loaded afresh, starts normally.
    farm.set_mode("ok");
    VSA_INIT* handle = nullptr;
    ASSERT_EQ(init(p, &handle), VSA_OK) << text(handle ? handle->pszErrorText : nullptr);
    EXPECT_EQ(host->end(&handle, nullptr), VSA_OK);
    EXPECT_EQ(host->cleanup(), VSA_OK);
}

TEST_F(VsalibStartup, BadBrokerUrlsFailWithCode9) {
    struct Case {
        std::string url;
        std::string error_prefix;
        int timeout;
    };
    const std::string unreachable =
        "nats://127.0.0.1:" + std::to_string(qztest::free_loopback_port());
    const Case kCases[] = {
        {"nats://", "Failed to read or store message broker information", 5},
        {"nats://:4222", "Failed to read or store message broker information", 5},
        {"nats://127.0.0.1:notaport", "Failed to initialise broker connection (rc=-1)", 5},
        // Connection attempts take about 4 s before the client goes on in the background; the
        // control exchange then gets no answer within what is left.
        {unreachable, "CONSOLIDATED_INIT: no reply from control", 7},
    };
    Farm farm(broker.url());
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.url);
        make_host();
        const size_t threads_before = thread_count();
        ASSERT_EQ(host->startup(), VSA_OK);
        InitParams p = params(c.url, c.timeout);
        VSA_INIT* handle = nullptr;
        long long took = 0;
        EXPECT_EQ(init(p, &handle, &took), VSA_E_DRIVER_FAILED);
        EXPECT_LE(took, c.timeout * 1000 + 1500);
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(text(handle->pszErrorText).rfind(c.error_prefix, 0), 0u)
            << text(handle->pszErrorText);
        EXPECT_EQ(thread_count(), threads_before);
        EXPECT_EQ(host->end(&handle, nullptr), VSA_OK);
        EXPECT_EQ(host->cleanup(), VSA_OK);
        EXPECT_FALSE(host->implementation_mapped());
    }
}

TEST_F(VsalibStartup, TimeOutAndEngineListRefusalsAnswer7) {
    struct Case {
        const char* engines;
        int timeout;
        const char* error;
    };
    const Case kCases[] = {
        {"dummy", 0, "Timeout"},
        {"foo", 5, "Failed to determine needed services. Check INITENGINES parameter"},
        {"activecontent;mimescan", 5, "Check services order"},
    };
    Farm farm(broker.url());
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.engines);
        // A time-out of 0 cannot travel as a host parameter (its value field would be NULL).
        make_host(c.timeout == 0 ? "[INIT]\nINITTIMEOUT = 0\n" : "");
        const size_t threads_before = thread_count();
        ASSERT_EQ(host->startup(), VSA_OK);
        InitParams p;
        p.text(VSA_INITDRIVERS, broker.url())
            .text(VSA_INITDIRECTORY, host->base())
            .text(VSA_INITENGINES, c.engines);
        if (c.timeout != 0) p.number(VSA_INITTIMEOUT, c.timeout);
        VSA_INIT* handle = nullptr;
        EXPECT_EQ(init(p, &handle), VSA_E_LOAD_FAILED);
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(text(handle->pszErrorText), c.error);
        EXPECT_EQ(handle->iErrorRC, 1);
        EXPECT_EQ(host->state()->gRefCounter, 0);
        EXPECT_EQ(thread_count(), threads_before);
        EXPECT_EQ(host->end(&handle, nullptr), VSA_OK);
        EXPECT_EQ(host->cleanup(), VSA_OK);
    }
    EXPECT_TRUE(farm.requests().empty());
}

TEST_F(VsalibStartup, UncreatableRunDirectoryFailsAndClosesTheConnection) {
    Farm farm(broker.url());
    make_host();
    // A file where the run directory should be.
    qztest::write_file(host->base() + "/run", "not a directory");
    const size_t threads_before = thread_count();
    ASSERT_EQ(host->startup(), VSA_OK);
    InitParams p = params(broker.url());
    VSA_INIT* handle = nullptr;
    EXPECT_EQ(init(p, &handle), VSA_E_DRIVER_FAILED);
    ASSERT_NE(handle, nullptr);
    const std::string run_dir = fs::canonical(host->base()).string() + "/run";
    EXPECT_EQ(text(handle->pszErrorText), "Failed to create run directory " + run_dir);
    EXPECT_TRUE(vsalib_traced("vsalib_VsaInit", "Failed to create run directory " + run_dir));
    EXPECT_EQ(host->state()->gRefCounter, 0);
    EXPECT_EQ(host->state()->logThreadParams, nullptr);
    EXPECT_EQ(thread_count(), threads_before);
    EXPECT_TRUE(farm.events(1010).empty());
    EXPECT_EQ(host->end(&handle, nullptr), VSA_OK);
    EXPECT_EQ(host->cleanup(), VSA_OK);
}

TEST_F(VsalibStartup, EndWithTheBrokerDownKeepsTheStopEventForTheNextStart) {
    Farm farm(broker.url());
    make_host();
    const size_t threads_before = thread_count();
    ASSERT_EQ(host->startup(), VSA_OK);
    InitParams p = params(broker.url());
    VSA_INIT* handle = nullptr;
    ASSERT_EQ(init(p, &handle), VSA_OK) << text(handle ? handle->pszErrorText : nullptr);
    ASSERT_TRUE(farm.wait_for_event(1010, 1, 5000));

    broker.stop();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(host->end(&handle, nullptr), VSA_OK);
    // The grace second for the stop event plus at most one request time-out of the dispatcher.
    EXPECT_LE(qztest::elapsed_ms(start), 5500);
    EXPECT_FALSE(host->implementation_mapped());
    EXPECT_EQ(host->state()->logThreadParams, nullptr);
    EXPECT_EQ(thread_count(), threads_before);
    // The stop event and its log message wait in the queue.
    size_t queued = 0;
    for (const auto& entry : fs::directory_iterator(host->base() + "/run/VSA.pq/data")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("E", 0) == 0 || name.rfind("L", 0) == 0) ++queued;
    }
    EXPECT_GE(queued, 2u);
    EXPECT_TRUE(farm.events(1030).empty());

    // The next start-up in this process loads the library again and delivers them.
    broker.start();
    VSA_INIT* again = nullptr;
    ASSERT_EQ(init(p, &again), VSA_OK) << text(again ? again->pszErrorText : nullptr);
    EXPECT_TRUE(host->implementation_mapped());
    EXPECT_TRUE(farm.wait_for_event(1030, 1, 10000));
    EXPECT_TRUE(farm.wait_for_event(1010, 2, 10000));
    EXPECT_EQ(host->end(&again, nullptr), VSA_OK);
    EXPECT_EQ(host->cleanup(), VSA_OK);
    EXPECT_EQ(thread_count(), threads_before);
}

TEST_F(VsalibStartup, EachLibraryKeepsItsOwnTrace) {
    Farm farm(broker.url());
    qztest::TraceCapture own;  // this process's copy of the trace
    make_host();
    ASSERT_EQ(host->startup(), VSA_OK);
    InitParams p = params(broker.url());
    VSA_INIT* handle = nullptr;
    ASSERT_EQ(init(p, &handle), VSA_OK) << text(handle ? handle->pszErrorText : nullptr);
    EXPECT_TRUE(vsalib_traced("vsalib_VsaInit", "    vendrix VSA-Library version 4.0.5.139 "));
    EXPECT_TRUE(
        host->traced(QZ_LOG_INFO, "VsaStartup", "    vendrix VSA-Wrapper version 4.0.5.139 "));

    // Switching libqzvsa's trace off leaves the adapter's on, and the other way round.
    void* implementation = dlopen(host->implementation_path().c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(implementation, nullptr);
    auto set_level = reinterpret_cast<void (*)(int)>(dlsym(implementation, "log_set_level"));
    auto get_level = reinterpret_cast<int (*)()>(dlsym(implementation, "log_get_level"));
    ASSERT_NE(set_level, nullptr);
    ASSERT_NE(get_level, nullptr);
    EXPECT_EQ(get_level(), QZ_LOG_TRACE);
    set_level(QZ_LOG_OFF);
    host->clear_trace();
    EXPECT_EQ(host->end(&handle, nullptr), VSA_OK);
    dlclose(implementation);
    const std::string trace = host->trace();
    EXPECT_NE(trace.find("vsa-wrapper:VsaEnd(): "), std::string::npos) << trace;
    EXPECT_EQ(trace.find("vsa-lib:"), std::string::npos) << trace;
    // Neither library writes into this process's own trace.
    EXPECT_EQ(own.contents().find("vsa-lib:"), std::string::npos);
    EXPECT_EQ(own.contents().find("vsa-wrapper:"), std::string::npos);
    EXPECT_EQ(host->cleanup(), VSA_OK);
}

TEST(VsalibCredentials, UrlCredentialsWinOverTheConfiguredDefaults) {
    NatsServer::Options options;
    options.extra_config = "authorization {\n  user: qz\n  password: \"pw\"\n}\n";
    NatsServer broker(options);
    const std::string authority = "127.0.0.1:" + std::to_string(broker.port());
    Farm farm("nats://" + authority, true, {"--user", "qz", "--password", "pw"});
    struct Case {
        const char* config;
        std::string url;
        VSA_RC rc;
    };
    const Case kCases[] = {
        {"[GLOBAL]\nBROKER_USER = qz\nBROKER_PASSWORD = pw\n", "nats://" + authority, VSA_OK},
        {"[GLOBAL]\nBROKER_USER = qz\nBROKER_PASSWORD = wrong\n", "nats://qz:pw@" + authority,
         VSA_OK},
        {"[GLOBAL]\nBROKER_USER = qz\nBROKER_PASSWORD = pw\n", "nats://qz:wrong@" + authority,
         VSA_E_DRIVER_FAILED},
        {"", "nats://" + authority, VSA_E_DRIVER_FAILED},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.url + " with " + c.config);
        VsaHostOptions host_options;
        host_options.config = c.config;
        VsaHost host(real_libraries(), host_options);
        ASSERT_EQ(host.startup(), VSA_OK);
        InitParams p;
        p.text(VSA_INITDRIVERS, c.url)
            .text(VSA_INITDIRECTORY, host.base())
            .text(VSA_INITENGINES, "dummy")
            .number(VSA_INITTIMEOUT, 5);
        VSA_INIT* handle = nullptr;
        EXPECT_EQ(host.init(nullptr, p.get(), &handle), c.rc)
            << text(handle ? handle->pszErrorText : nullptr);
        // Neither password reaches the implementation's trace lines.
        std::istringstream lines(host.trace());
        std::string line;
        while (std::getline(lines, line)) {
            if (line.find("vsa-lib:") != std::string::npos) {
                EXPECT_EQ(line.find("wrong"), std::string::npos) << line;
                EXPECT_EQ(line.find(":pw@"), std::string::npos) << line;
            }
        }
        EXPECT_EQ(host.end(&handle, nullptr), VSA_OK);
        EXPECT_EQ(host.cleanup(), VSA_OK);
        remove_job_semaphore(host.base());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int farm = maybe_run_farm(argc, argv);
    if (farm >= 0) return farm;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
