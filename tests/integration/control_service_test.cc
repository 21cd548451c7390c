// qz-av-control as a real process on a real, provisioned broker (qztest::Farm): CONSOLIDATED_INIT
// with the configuration file's tenant, realm name and SCAN pairs (also per realm), the driver
// information of services with a live worker in the registry (registered here with the services'
// registration code), workers that stop or die dropping out within the bound, refused requests,
// and configuration files the service must refuse with exit code 2.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "connection/connection.h"
#include "connection/nats_handles.h"
#include "support/farm.h"
#include "support/nats_test_helpers.h"
#include "support/temp_dir.h"
#include "worker_registry.h"

namespace {

using qz::nats::JsonPtr;
using qz::service::DriverInfo;
using qz::service::register_worker;
using qz::service::RegistrationTiming;
using qztest::Farm;

constexpr const char* kControl = "qz-av-control";

json_object* get(json_object* object, const char* name) {
    json_object* member = nullptr;
    return json_object_object_get_ex(object, name, &member) ? member : nullptr;
}

int64_t int_of(json_object* object, const char* name) {
    json_object* member = get(object, name);
    return member != nullptr ? json_object_get_int64(member) : -999999;
}

std::string consolidated_init(const std::vector<std::string>& services,
                              const std::string& realm_id = "realm-1") {
    JsonPtr request(json_object_new_object());
    json_object_object_add(request.get(), "Command", json_object_new_int(6));
    json_object_object_add(request.get(), "RequestID", json_object_new_string("1-2-3"));
    json_object_object_add(request.get(), "realmID", json_object_new_string(realm_id.c_str()));
    json_object_object_add(request.get(), "SID", json_object_new_string("PRD"));
    json_object_object_add(request.get(), "Hostname", json_object_new_string("sap1"));
    json_object_object_add(request.get(), "Scan-Servers", json_object_new_string(""));
    json_object* list = json_object_new_array();
    for (const auto& service : services) {
        json_object_array_add(list, json_object_new_string(service.c_str()));
    }
    json_object_object_add(request.get(), "Services", list);
    return json_object_to_json_string_ext(request.get(), JSON_C_TO_STRING_PLAIN);
}

// The SCAN pairs of a reply as one comparable text: "K=V;K=V;".
std::string scan_pairs(json_object* reply) {
    json_object* scan = get(reply, "SCAN");
    if (scan == nullptr || !json_object_is_type(scan, json_type_array)) return "(no SCAN)";
    std::string text;
    for (size_t i = 0; i < json_object_array_length(scan); ++i) {
        json_object* pair = json_object_array_get_idx(scan, i);
        if (json_object_array_length(pair) != 2) return "(bad pair)";
        text += std::string(json_object_get_string(json_object_array_get_idx(pair, 0))) + "=" +
                json_object_get_string(json_object_array_get_idx(pair, 1)) + ";";
    }
    return text;
}

// The "Driverinfo" of the reply's object for service, null when the reply has none.
json_object* driver_info(json_object* reply, const std::string& service) {
    json_object* services = get(reply, "Services");
    if (services == nullptr) return nullptr;
    for (size_t i = 0; i < json_object_array_length(services); ++i) {
        json_object* object = json_object_array_get_idx(services, i);
        if (qztest::member(object, "Servicename") == service) return get(object, "Driverinfo");
    }
    return nullptr;
}

bool present(json_object* reply, const std::string& service) {
    json_object* info = driver_info(reply, service);
    return info != nullptr && json_object_get_boolean(get(info, "Present"));
}

class ControlService : public ::testing::Test {
  protected:
    void start(Farm::Options options = {}) {
        farm_ = std::make_unique<Farm>(std::move(options));
        config_ = qz_connection_config_new();
        ASSERT_NE(config_, nullptr);
        config_->server_url = strdup(farm_->url().c_str());
        ASSERT_EQ(qz_connection_init(config_), 0);
    }

    void TearDown() override {
        registrations_.clear();
        // A clean stop exits with 0: a crash, a sanitizer report or a leak found at exit would
        // not.
        if (farm_ && farm_->control_running()) {
            const int status = farm_->control().stop();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "status " << status << "\n"
                << farm_->control().output();
        }
        if (config_ != nullptr) {
            qz_connection_deinit(config_);
            qz_connection_config_free(config_);
        }
    }

    // The raw reply text to request on the control's subject ("" when none came).
    std::string ask_text(const std::string& request) {
        natsMsg* raw = nullptr;
        natsStatus s = natsConnection_Request(&raw, config_->conn, kControl, request.data(),
                                              static_cast<int>(request.size()), 5000);
        qz::nats::MsgPtr reply(raw);
        if (s != NATS_OK) return "";
        return std::string(natsMsg_GetData(reply.get()),
                           static_cast<size_t>(natsMsg_GetDataLength(reply.get())));
    }

    JsonPtr ask(const std::string& request) {
        const std::string text = ask_text(request);
        JsonPtr reply = qztest::parse(text);
        EXPECT_TRUE(reply) << "no JSON reply to " << request << ": '" << text << "'\n"
                           << farm_->control().output();
        return reply;
    }

    qz::service::WorkerRegistration& add_worker(const std::string& service,
                                                const DriverInfo& driver,
                                                RegistrationTiming timing = {}) {
        registrations_.push_back(register_worker(config_, service, driver, timing));
        EXPECT_TRUE(registrations_.back().registered()) << service;
        return registrations_.back();
    }

    // The registry's bucket TTL, shortened so that expiry can be watched in a test.
    void set_registry_bucket_ttl(int64_t ms) {
        jsStreamInfo* info = nullptr;
        ASSERT_EQ(
            js_GetStreamInfo(&info, config_->js, "KV_qz-av-worker-registry", nullptr, nullptr),
            NATS_OK);
        jsStreamConfig cfg = *info->Config;
        cfg.MaxAge = ms * 1000000;
        cfg.Duplicates = cfg.MaxAge;  // the broker refuses a duplicate window beyond the age
        jsStreamInfo* updated = nullptr;
        const natsStatus s = js_UpdateStream(&updated, config_->js, &cfg, nullptr, nullptr);
        jsStreamInfo_Destroy(updated);
        jsStreamInfo_Destroy(info);
        ASSERT_EQ(s, NATS_OK);
    }

    std::unique_ptr<Farm> farm_;
    qz_connection_config* config_ = nullptr;
    std::vector<qz::service::WorkerRegistration> registrations_;
};

TEST_F(ControlService, ConsolidatedInitCarriesConfigurationAndLiveDriverInfo) {
    Farm::Options options;
    options.tenant_id = "acme";
    options.realm_name = "Production \"EU\"";
    options.scan = {{"SCANBESTEFFORT", "1"},
                    {"EVENT_ID_DELIMITER", " | "},
                    {"CLEANQUARANTINE", "C:\\quarantine;x=1"}};
    start(options);
    DriverInfo dummy{"Dummy engine 2.3", 2, 3, 42, 7, 1700000000};
    add_worker("qz-av-dummy", dummy);

    JsonPtr reply = ask(consolidated_init({"qz-av-dummy", "qz-av-clamav+1"}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(int_of(reply.get(), "ReturnCode"), 0);
    EXPECT_EQ(qztest::member(reply.get(), "tenantID"), "acme");
    EXPECT_EQ(qztest::member(reply.get(), "realmName"), "Production \"EU\"");
    EXPECT_EQ(scan_pairs(reply.get()),
              "SCANBESTEFFORT=1;EVENT_ID_DELIMITER= | ;CLEANQUARANTINE=C:\\quarantine;x=1;");
    EXPECT_EQ(qztest::member(reply.get(), "RequestID"), "1-2-3");

    json_object* services = get(reply.get(), "Services");
    ASSERT_NE(services, nullptr);
    ASSERT_EQ(json_object_array_length(services), 2u);
    // In request order; the "+suffix" is not part of the name the registry knows.
    EXPECT_EQ(qztest::member(json_object_array_get_idx(services, 0), "Servicename"), "qz-av-dummy");
    EXPECT_EQ(qztest::member(json_object_array_get_idx(services, 1), "Servicename"),
              "qz-av-clamav");

    json_object* live = driver_info(reply.get(), "qz-av-dummy");
    ASSERT_NE(live, nullptr);
    EXPECT_TRUE(json_object_get_boolean(get(live, "Present")));
    EXPECT_EQ(qztest::member(live, "DriverName"), "Dummy engine 2.3");
    EXPECT_EQ(int_of(live, "MajorVersion"), 2);
    EXPECT_EQ(int_of(live, "MinorVersion"), 3);
    EXPECT_EQ(int_of(live, "NumberOfViruses"), 42);
    EXPECT_EQ(int_of(live, "NumberOfVariants"), 7);
    EXPECT_EQ(int_of(live, "Timestamp"), 1700000000);

    json_object* absent = driver_info(reply.get(), "qz-av-clamav");
    ASSERT_NE(absent, nullptr);
    ASSERT_NE(get(absent, "Present"), nullptr);
    EXPECT_FALSE(json_object_get_boolean(get(absent, "Present")));
    EXPECT_EQ(get(absent, "DriverName"), nullptr);

    // The control service registers itself like any worker.
    EXPECT_TRUE(present(ask(consolidated_init({kControl})).get(), kControl));
}

TEST_F(ControlService, NewestDriverSpeaksForServiceWithSeveralWorkers) {
    start();
    add_worker("qz-av-clamav", {"clamav old signatures", 1, 0, 100, 1, 1600000000});
    add_worker("qz-av-clamav", {"clamav new signatures", 1, 1, 200, 2, 1700000000});
    add_worker("qz-av-clamav", {"clamav middle signatures", 1, 0, 150, 1, 1650000000});
    JsonPtr reply = ask(consolidated_init({"qz-av-clamav"}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(qztest::member(driver_info(reply.get(), "qz-av-clamav"), "DriverName"),
              "clamav new signatures");
}

TEST_F(ControlService, RealmOverridesApplyToTheirRealmOnly) {
    Farm::Options options;
    options.tenant_id = "acme";
    options.realm_name = "Main";
    options.scan = {{"SCANBESTEFFORT", "1"}, {"SCANTIMEOUT", "60000"}};
    options.extra_config =
        "[REALM eu]\nTENANTID = acme-eu\n"
        "[SCAN eu]\nscantimeout = 9000\nSCANLOGPATH = /var/log/eu\n"
        "[REALM us]\nREALMNAME = \"United States\"\n";
    start(options);
    struct Case {
        const char* realm;
        const char* tenant;
        const char* realm_name;
        const char* scan;
    };
    const Case kCases[] = {
        {"eu", "acme-eu", "Main", "SCANBESTEFFORT=1;scantimeout=9000;SCANLOGPATH=/var/log/eu;"},
        {"us", "acme", "United States", "SCANBESTEFFORT=1;SCANTIMEOUT=60000;"},
        {"EU", "acme", "Main", "SCANBESTEFFORT=1;SCANTIMEOUT=60000;"},  // ids are exact
        {"", "acme", "Main", "SCANBESTEFFORT=1;SCANTIMEOUT=60000;"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string("realm '") + c.realm + "'");
        JsonPtr reply = ask(consolidated_init({"qz-av-dummy"}, c.realm));
        ASSERT_TRUE(reply);
        EXPECT_EQ(qztest::member(reply.get(), "tenantID"), c.tenant);
        EXPECT_EQ(qztest::member(reply.get(), "realmName"), c.realm_name);
        EXPECT_EQ(scan_pairs(reply.get()), c.scan);
    }
}

TEST_F(ControlService, StoppedAndDeadWorkersStopCountingWithinTheLease) {
    start();
    constexpr int64_t kLeaseMs = 2000;
    // On brokers without per-message TTLs the bucket's TTL is the lease; shortened from the
    // provisioned 15 s to keep the test short.
    set_registry_bucket_ttl(kLeaseMs);
    const RegistrationTiming timing{.ttl_ms = kLeaseMs, .refresh_ms = 400};
    const auto registered_at = std::chrono::steady_clock::now();
    add_worker("qz-av-sophos", {"sophos", 5, 1, 1, 1, 1}, timing);
    auto& stopping = add_worker("qz-av-icap", {"icap", 1, 0, 0, 0, 1}, timing);
    // A worker that died: its entry is written once and never refreshed.
    qz::service::RegistryEntry dead;
    dead.service_name = "qz-av-trellix";
    dead.driver.driver_name = "trellix";
    dead.lease_ms = kLeaseMs;
    const std::string dead_value = qz::service::registry_value(dead);
    ASSERT_EQ(
        qz_connection_registry_put(config_, "qz-av-trellix.gone.1.1", dead_value.c_str(), kLeaseMs),
        0);

    const std::string request = consolidated_init({"qz-av-sophos", "qz-av-icap", "qz-av-trellix"});
    JsonPtr first = ask(request);
    ASSERT_TRUE(first);
    EXPECT_TRUE(present(first.get(), "qz-av-sophos"));
    EXPECT_TRUE(present(first.get(), "qz-av-icap"));
    EXPECT_TRUE(present(first.get(), "qz-av-trellix"));

    stopping.stop();  // a clean stop deletes the entry at once
    EXPECT_FALSE(present(ask(request).get(), "qz-av-icap"));

    const auto since = std::chrono::steady_clock::now();
    EXPECT_TRUE(qztest::wait_until([&] { return !present(ask(request).get(), "qz-av-trellix"); },
                                   3 * kLeaseMs))
        << "a dead worker still counts after " << qztest::elapsed_ms(since) << " ms";

    // The refreshed worker outlives several leases.
    const auto until = registered_at + std::chrono::milliseconds(2 * kLeaseMs + 500);
    std::this_thread::sleep_until(until);
    EXPECT_TRUE(present(ask(request).get(), "qz-av-sophos"));
}

TEST_F(ControlService, RegistrationReturnsAfterBrokerOutage) {
    start();
    auto& worker =
        add_worker("qz-av-clamav", {"clamav", 1, 0, 0, 0, 1}, {.ttl_ms = 1500, .refresh_ms = 300});
    farm_->server().stop();
    EXPECT_TRUE(qztest::wait_until([&] { return !worker.registered(); }, 3000));
    farm_->server().start();
    EXPECT_TRUE(qztest::wait_until([&] { return worker.registered(); }, 10000));
    EXPECT_TRUE(qztest::wait_until(
        [&] {
            return present(qztest::parse(ask_text(consolidated_init({"qz-av-clamav"}))).get(),
                           "qz-av-clamav");
        },
        10000));
}

TEST_F(ControlService, RefusesMalformedAndUnknownRequests) {
    start();
    struct Case {
        const char* request;
        const char* error;
    };
    const Case kCases[] = {
        {"not json", "not a JSON object"},
        {"{\"Command\": 6, \"Services\": [\"qz-av-dummy\"]", "not a JSON object"},  // cut short
        {"{\"Command\": 6, \"Services\": []} trailing", "not a JSON object"},
        {"[6]", "not a JSON object"},
        {"{}", "no integer \"Command\""},
        {"{\"Command\": \"6\"}", "no integer \"Command\""},
        {"{\"Command\": 99}", "unknown command 99"},
        {"{\"Command\": 6}", "missing/invalid 'Services'"},
        {"{\"Command\": 6, \"Services\": \"qz-av-dummy\"}", "missing/invalid 'Services'"},
        {"{\"Command\": 6, \"Services\": [1]}", "must hold service names"},
        {"{\"Command\": 6, \"realmID\": 7, \"Services\": []}", "must be strings"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.request);
        JsonPtr reply = ask(c.request);
        ASSERT_TRUE(reply);
        EXPECT_NE(int_of(reply.get(), "ReturnCode"), 0);
        EXPECT_NE(qztest::member(reply.get(), "Error").find(c.error), std::string::npos)
            << qztest::member(reply.get(), "Error");
        EXPECT_NE(get(reply.get(), "WorkerHostname"), nullptr);
    }
    // Still serving, and a ping is answered.
    JsonPtr ping = ask("{\"Command\": 3}");
    ASSERT_TRUE(ping);
    EXPECT_EQ(int_of(ping.get(), "ReturnCode"), 0);
    JsonPtr reply = ask(consolidated_init({"qz-av-dummy"}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(int_of(reply.get(), "ReturnCode"), 0);
    EXPECT_TRUE(farm_->control().running());
}

TEST_F(ControlService, UnreadableRegistryReportsEveryServiceAbsentAndSaysWhy) {
    start();
    add_worker("qz-av-dummy", {"dummy", 1, 0, 0, 0, 1});
    ASSERT_EQ(js_DeleteKeyValue(config_->js, "qz-av-worker-registry"), NATS_OK);
    JsonPtr reply = ask(consolidated_init({"qz-av-dummy"}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(int_of(reply.get(), "ReturnCode"), 0);
    EXPECT_FALSE(present(reply.get(), "qz-av-dummy"));
    EXPECT_NE(qztest::member(reply.get(), "RegistryError").find("cannot be read"),
              std::string::npos);
}

struct RunResult {
    int rc = -1;
    std::string output;
};

// Runs the control program with args and a broker that is not there: a bad configuration must
// end it before it tries to connect.
RunResult run_control(const std::vector<std::string>& args) {
    std::string command = qztest::bin_path(kControl) + " --server nats://127.0.0.1:1";
    for (const auto& arg : args) command += " '" + arg + "'";
    command += " 2>&1";
    RunResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    return result;
}

TEST(ControlServiceConfig, BadConfigurationExitsWithTwoAndSaysWhere) {
    qztest::TempDir dir;
    using namespace std::string_literals;
    struct Case {
        std::string content;  // "-": the file does not exist
        const char* message;
    };
    const Case kCases[] = {
        {"-", "cannot read config file"},
        {"[SACN]\nA = 1\n", "line 1: unknown section [SACN]"},
        {"[CONTROL]\nTENANT = x\n", "line 2: unknown key TENANT in [CONTROL]"},
        {"[SCAN]\nA = 1\n; comment\na = 2\n",
         "line 4: a is given twice in [SCAN] (first on line 2)"},
        {"[SCAN]\nA =\n", "line 2: A has no value"},
        {"[SCAN]\nA = \"\"\n", "line 2: A has no value"},
        {"[SCAN]\njust words\n", "line 2: expected KEY = value"},
        {"A = 1\n[SCAN]\n", "line 1: A comes before the first [SECTION]"},
        {"[SCAN\nA = 1\n", "line 1: section header \"[SCAN\" has no closing ]"},
        {"[SCAN] A = 1\n", "line 1: text after the section header"},
        {"[REALM]\nTENANTID = x\n", "line 1: unknown section [REALM]"},
        {"[REALM a b]\n", "line 1: realm id \"a b\" contains blanks"},
        {"[SCAN]\nMY KEY = 1\n", "line 2: key \"MY KEY\" contains blanks"},
        {"[REALM eu]\nTENANTID = a\n[SCAN EU]\nA = 1\n",
         "line 3: realm id \"EU\" differs from \"eu\" (line 1) only in case"},
        {"[SCAN]\nA = 1\0\n"s, "holds NUL bytes"},
    };
    int index = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.message);
        const std::string path = dir.file("control-" + std::to_string(index++) + ".cfg");
        if (c.content != "-") qztest::write_file(path, c.content);
        RunResult result = run_control({"--config", path});
        EXPECT_EQ(result.rc, 2) << result.output;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
    }
    RunResult directory = run_control({"--config", dir.path()});
    EXPECT_EQ(directory.rc, 2);
    EXPECT_NE(directory.output.find("is not a regular file"), std::string::npos);
    RunResult missing_flag = run_control({});
    EXPECT_EQ(missing_flag.rc, 2);
    EXPECT_NE(missing_flag.output.find("--config FILE is required"), std::string::npos);
    RunResult help = run_control({"--help"});
    EXPECT_EQ(help.rc, 0);
    EXPECT_NE(help.output.find("Example:"), std::string::npos);
}

}  // namespace
