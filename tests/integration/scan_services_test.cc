// The reference scan services as the library's requester side meets them: real service processes
// on a real provisioned broker, jobs encoded by the library's job encoder and sent over the core
// subject and the work queue, replies read by the library's scan result reader. Verdicts of the
// EICAR engine around the staging chunk boundary, MIME findings and block lists, quarantine files
// on disk, the test faults of the EICAR engine, and the worker registry entries.
#include <dirent.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sodium.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "config/config_store.h"
#include "connection/connection.h"
#include "connection/nats_handles.h"
#include "scan/scan_job.h"
#include "scan/scan_result.h"
#include "support/nats_server.h"
#include "support/nats_test_helpers.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

namespace {

using qz::nats::JsonPtr;
using qztest::NatsServer;
using qztest::ServiceProcess;
using qztest::TempDir;
using qztest::wait_until;
using Clock = std::chrono::steady_clock;

constexpr const char* kDummy = "qz-av-dummy";
constexpr const char* kMimescan = "qz-av-mimescan";
constexpr const char* kQuarantine = "qz-av-quarantine";
constexpr const char* kQuarantineTarget = "qz-av-quarantine.q1";
constexpr const char* kRegistry = "qz-av-worker-registry";
// One staging chunk of "qz-av-scan-data".
constexpr size_t kChunk = 524288;
constexpr uint32_t kTimeoutMs = 5000;

// Built from two halves, so that this file is not itself taken for the test virus.
std::string eicar() {
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-") + "STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
}

// size bytes that hold no EICAR string, with the string copied in at eicar_at (when given).
std::string object_of(size_t size, long eicar_at = -1, size_t eicar_len = 68) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + i % 23);
    if (eicar_at >= 0) {
        EXPECT_LE(static_cast<size_t>(eicar_at) + eicar_len, size);
        data.replace(static_cast<size_t>(eicar_at), eicar_len, eicar(), 0, eicar_len);
    }
    return data;
}

// Runs the built qz-av-provision against the broker: the buckets and the given work queues.
void provision(const std::string& url, const std::vector<std::string>& work_queues) {
    std::vector<std::string> args = {QZ_PROVISION_TOOL, "--url", url};
    args.insert(args.end(), work_queues.begin(), work_queues.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "qz-av-provision: " << status;
}

struct ConfigFree {
    void operator()(qz_connection_config* config) const {
        qz_connection_deinit(config);
        qz_connection_config_free(config);
    }
};
using ConnectionPtr = std::unique_ptr<qz_connection_config, ConfigFree>;

// A requester connection; with work_queue set, requests to that subject go through its queue.
ConnectionPtr requester(const std::string& url, const char* work_queue = nullptr) {
    ConnectionPtr config(qz_connection_config_new());
    config->server_url = strdup(url.c_str());
    if (work_queue != nullptr) config->js_services = strdup(work_queue);
    if (qz_connection_init(config.get()) != 0) return nullptr;
    return config;
}

struct ResultFree {
    void operator()(qz_scan_result* result) const { qzvsalib_free_engine_scan_result(result, 1); }
};
using ResultPtr = std::unique_ptr<qz_scan_result, ResultFree>;

// A scan job for one object as the library builds it, SCAN parameters included.
class Job {
  public:
    Job(const std::string& object_name, size_t length,
        const std::vector<std::pair<std::string, std::string>>& scan = {})
        : store_(qz_config_new_list()), name_(object_name) {
        scanparam_.struct_size = sizeof scanparam_;
        scanparam_.tActioncode = VSA_ACTION_SCAN;
        job_.scanparam = &scanparam_;
        job_.scan_config = qz_config_new_list();
        job_.event_id = strdup("5f0c2a4e-1d2a-11ef-9c1b-0242ac120002");
        job_.object_name = name_.c_str();
        job_.data_len = length;
        job_.shm_id = length != 0 ? QZ_SHM_IN_MEMORY : QZ_SHM_NONE;
        for (const auto& [key, value] : scan) {
            StoreConfigParameter_String(job_.scan_config, "SCAN", key.c_str(), value.c_str(),
                                        QZ_SOURCE_GLOBAL_CONFIG);
        }
        runtime_.config = store_;
        runtime_.realmID = "realm-1";
        runtime_.SID = "QZT";
        runtime_.FQDN = "host.example.org";
        runtime_.services = services_;
        char errbuf[QZ_SCAN_MESSAGE_SIZE] = "";
        encoded_ = qzvsalib_EncodeScanjobToJSON(&runtime_, &job_, errbuf) == 0;
        EXPECT_TRUE(encoded_) << errbuf;
    }
    ~Job() {
        qz_scanjob_release(&job_);
        qz_config_free_list(store_);
    }
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    const char* json() const { return encoded_ ? job_.job_json : "{}"; }

  private:
    list_t* store_;
    std::string name_;
    VSA_SCANPARAM scanparam_{};
    qz_scanjob job_{};
    qz_scan_runtime runtime_{};
    char* services_[3] = {const_cast<char*>(kMimescan), const_cast<char*>(kDummy), nullptr};
    bool encoded_ = false;
};

struct Exchange {
    JsonPtr reply;
    std::string transport_error;
    long long elapsed_ms = 0;
};

// One request with its payload through the requester side, as the scan loop sends it.
Exchange send_with_data(qz_connection_config* config, const std::string& subject,
                        const std::string& json, const std::string& data, uint32_t timeout_ms,
                        int32_t retries = 0) {
    Exchange out;
    qz_request_reply* pair = qz_const_request_reply_new();
    EXPECT_NE(pair, nullptr);
    if (pair == nullptr) return out;
    pair->request->json = const_cast<char*>(json.c_str());
    if (!data.empty()) {
        pair->request->data =
            reinterpret_cast<unsigned char*>(const_cast<char*>(data.data()));
        pair->request->data_len = data.size();
    }
    char errbuf[1024] = "";
    const auto start = Clock::now();
    out.reply.reset(qz_connection_send_recv_json_data(config, subject.c_str(), pair, timeout_ms, 0,
                                                      retries, errbuf));
    out.elapsed_ms = qztest::elapsed_ms(start);
    out.transport_error = errbuf;
    qz_const_request_reply_free_structs(pair);
    return out;
}

struct Parsed {
    int rc = 0;  // of qzvsalib_parse_scanresult_json
    std::string error;
    ResultPtr result;
};

Parsed parse_result(json_object* reply) {
    Parsed out;
    qz_scan_result* result = nullptr;
    char errbuf[QZ_SCAN_MESSAGE_SIZE] = "";
    out.rc = qzvsalib_parse_scanresult_json(reply, &result, errbuf);
    out.result.reset(result);
    out.error = errbuf;
    return out;
}

std::string text_of(const char* text) { return text != nullptr ? text : "<null>"; }

int64_t int_member(json_object* object, const char* name) {
    json_object* value = nullptr;
    if (object == nullptr || !json_object_object_get_ex(object, name, &value)) return -99999;
    return json_object_get_int64(value);
}

json_object* object_member(json_object* object, const char* name) {
    json_object* value = nullptr;
    if (object == nullptr || !json_object_object_get_ex(object, name, &value)) return nullptr;
    return value;
}

std::set<std::string> directory_entries(const std::string& path) {
    std::set<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.insert(name);
    }
    closedir(dir);
    return names;
}

std::string sha256_hex(const std::string& data) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(data.data()), data.size());
    char hex[crypto_hash_sha256_BYTES * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

// The live registry entries, keyed "<service> <pid>": workers killed by other tests may still
// have an entry until the bucket's TTL ends, so a worker is known by its process id.
std::map<std::string, JsonPtr> registry_entries(qz_connection_config* config) {
    std::map<std::string, JsonPtr> entries;
    qz_connection_kv_snapshot(
        config, kRegistry,
        [](void* context, const char*, const char* value, size_t length) {
            auto* out = static_cast<std::map<std::string, JsonPtr>*>(context);
            JsonPtr parsed = qztest::parse(std::string(value, length));
            json_object* pid = nullptr;
            if (!json_object_object_get_ex(parsed.get(), "PID", &pid)) return;
            const std::string key = qztest::member(parsed.get(), "Servicename") + " " +
                                    std::to_string(json_object_get_int64(pid));
            (*out)[key] = std::move(parsed);
        },
        &entries);
    return entries;
}

std::string registry_key(const char* service, pid_t pid) {
    return std::string(service) + " " + std::to_string(pid);
}

// Stops the service with SIGTERM and expects a clean exit (code 0): under the sanitizers a leak
// or memory error in the service shows up here.
void expect_clean_exit(ServiceProcess& service) {
    const int status = service.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "status " << status << "\n" << service.output();
}

// One broker for the whole suite, provisioned with the buckets and the services' work queues.
// Each test starts the service processes it needs, so that a faulty one never answers a job of
// another test.
class ScanServicesTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = new NatsServer();
        provision(server_->url(), {kDummy, kMimescan, kQuarantineTarget});
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        ASSERT_FALSE(HasFatalFailure());
        core_ = requester(server_->url());
        ASSERT_NE(core_, nullptr);
    }

    static std::string url() { return server_->url(); }

    static NatsServer* server_;
    ConnectionPtr core_;
};

NatsServer* ScanServicesTest::server_ = nullptr;

// --- qz-av-dummy ------------------------------------------------------------------------------

TEST_F(ScanServicesTest, DummyFindsEicarAnywhereAndAroundTheChunkBoundary) {
    ServiceProcess dummy(kDummy, url());
    ConnectionPtr queued = requester(url(), kDummy);
    ASSERT_NE(queued, nullptr);

    struct Case {
        const char* name;
        size_t size;
        long eicar_at;
        size_t eicar_len;
        int rc;
    };
    const Case kCases[] = {
        {"start.bin", 1000, 0, 68, SCAN_VIRUS_FOUND},
        {"middle.bin", 1000, 466, 68, SCAN_VIRUS_FOUND},
        {"end.bin", 1000, 1000 - 68, 68, SCAN_VIRUS_FOUND},
        {"eicar.com", 68, 0, 68, SCAN_VIRUS_FOUND},
        {"one-byte-short.bin", 1000, 1000 - 67, 67, SCAN_OK},
        {"clean.txt", 1000, -1, 68, SCAN_OK},
        {"empty.txt", 0, -1, 68, SCAN_OK},
        {"chunk-clean.bin", kChunk, -1, 68, SCAN_OK},
        {"chunk-plus-one-clean.bin", kChunk + 1, -1, 68, SCAN_OK},
        {"chunk-ends-with-eicar.bin", kChunk, kChunk - 68, 68, SCAN_VIRUS_FOUND},
        // The string's last byte is the one byte of the second chunk.
        {"eicar-ends-in-the-extra-byte.bin", kChunk + 1, kChunk + 1 - 68, 68, SCAN_VIRUS_FOUND},
        {"eicar-across-chunks.bin", kChunk + 100, kChunk - 30, 68, SCAN_VIRUS_FOUND},
        {"name \"quoted\" \\ back\nslash \xc3\xa9.txt", 10, -1, 68, SCAN_OK},
    };
    for (qz_connection_config* config : {core_.get(), queued.get()}) {
        const char* path = config == core_.get() ? "core" : "work queue";
        for (const Case& c : kCases) {
            SCOPED_TRACE(std::string(path) + ": " + c.name);
            const std::string data = object_of(c.size, c.eicar_at, c.eicar_len);
            Job job(c.name, data.size());
            Exchange exchange = send_with_data(config, kDummy, job.json(), data, kTimeoutMs);
            ASSERT_NE(exchange.reply, nullptr) << exchange.transport_error;
            Parsed parsed = parse_result(exchange.reply.get());
            ASSERT_EQ(parsed.rc, 0) << parsed.error;
            const qz_scan_result& result = *parsed.result;
            EXPECT_EQ(result.rc, c.rc);
            ASSERT_EQ(result.nfiles, 1);
            const qz_file_scan_result& file = *result.files[0];
            EXPECT_EQ(file.rc, c.rc);
            EXPECT_EQ(text_of(file.filename), c.name);
            EXPECT_EQ(file.filesize, c.size);
            EXPECT_EQ(text_of(file.virusname), c.rc == SCAN_VIRUS_FOUND ? "EICAR-Test-File" : "");
        }
    }
    // The second round really went through the work queue.
    EXPECT_GE(qztest::count(qztest::read_file(dummy.trace_file()),
                            "JS job pulled on 'jobs.qz-av-dummy'"),
              static_cast<int>(std::size(kCases)));    expect_clean_exit(dummy);
}

TEST_F(ScanServicesTest, ServicesRefuseRequestsTheyCannotTrustWithAnError) {
    ServiceProcess dummy(kDummy, url());
    struct Case {
        const char* label;
        std::string json;
        std::string data;
        const char* error_part;
    };
    const std::string eicar_object = object_of(200, 10);
    const Case kCases[] = {
        {"not JSON", "this is not json", "", "not a JSON object"},
        {"JSON array", "[1, 2]", "", "not a JSON object"},
        {"no ObjectLen", R"({"ObjectName": "a.bin"})", eicar_object, "ObjectLen"},
        {"ObjectLen as text", R"({"ObjectName": "a.bin", "ObjectLen": "200"})", eicar_object,
         "ObjectLen"},
        // A payload cut short must not be declared clean as if it were the whole object.
        {"ObjectLen larger than the payload", R"({"ObjectName": "a.bin", "ObjectLen": 400})",
         eicar_object, "does not match ObjectLen"},
        {"payload without ObjectLen 0", R"({"ObjectName": "a.bin", "ObjectLen": 0})",
         eicar_object, "does not match ObjectLen"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.label);
        Exchange exchange = send_with_data(core_.get(), kDummy, c.json, c.data, kTimeoutMs);
        ASSERT_NE(exchange.reply, nullptr) << exchange.transport_error;
        Parsed parsed = parse_result(exchange.reply.get());
        ASSERT_EQ(parsed.rc, 0) << parsed.error;
        EXPECT_EQ(parsed.result->rc, SCAN_ERROR);
        EXPECT_EQ(parsed.result->nfiles, 0);
        EXPECT_NE(text_of(parsed.result->error_text).find(c.error_part), std::string::npos)
            << text_of(parsed.result->error_text);
        EXPECT_NE(parsed.result->worker_hostname, nullptr);
    }
    expect_clean_exit(dummy);
}

TEST_F(ScanServicesTest, DummyFaultFlagsProduceTheirFaultsAndNeverACleanVerdict) {
    enum class Expect { kVerdict, kNoReply, kUnreadable };
    struct Case {
        std::vector<std::string> args;
        uint32_t timeout_ms;
        Expect expect;
        const char* error_part;  // in the transport's or the reader's message
        int exit_code;           // of the service after the job and a SIGTERM
    };
    const Case kCases[] = {
        // Late, but within the requester's time: the verdict arrives.
        {{"--delay-ms", "300"}, 5000, Expect::kVerdict, "", 0},
        // Later than the requester waits: nothing arrives in time; SIGTERM cuts the delay short.
        {{"--delay-ms", "3000"}, 300, Expect::kNoReply, "timed out", 0},
        {{"--malformed"}, kTimeoutMs, Expect::kNoReply, "", 0},
        {{"--wrong-types"}, kTimeoutMs, Expect::kUnreadable, "", 0},
        {{"--extra-files"}, kTimeoutMs, Expect::kUnreadable, "File-name", 0},
        {{"--exit-mid-job"}, 1000, Expect::kNoReply, "", 3},
    };
    const std::string data = object_of(4096, 1000);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        ServiceProcess dummy(kDummy, url(), c.args);
        Job job("infected.bin", data.size());
        Exchange exchange = send_with_data(core_.get(), kDummy, job.json(), data, c.timeout_ms);
        switch (c.expect) {
            case Expect::kVerdict: {
                ASSERT_NE(exchange.reply, nullptr) << exchange.transport_error;
                EXPECT_GE(exchange.elapsed_ms, 300);
                Parsed parsed = parse_result(exchange.reply.get());
                ASSERT_EQ(parsed.rc, 0) << parsed.error;
                EXPECT_EQ(parsed.result->rc, SCAN_VIRUS_FOUND);
                break;
            }
            case Expect::kNoReply:
                EXPECT_EQ(exchange.reply, nullptr);
                EXPECT_FALSE(exchange.transport_error.empty());
                EXPECT_NE(exchange.transport_error.find(c.error_part), std::string::npos)
                    << exchange.transport_error;
                EXPECT_LT(exchange.elapsed_ms, c.timeout_ms + 1000);
                break;
            case Expect::kUnreadable: {
                ASSERT_NE(exchange.reply, nullptr) << exchange.transport_error;
                Parsed parsed = parse_result(exchange.reply.get());
                EXPECT_EQ(parsed.rc, -1);
                EXPECT_NE(parsed.error.find(c.error_part), std::string::npos) << parsed.error;
                break;
            }
        }
        const auto stop_start = Clock::now();
        const int status = dummy.stop();
        EXPECT_LT(qztest::elapsed_ms(stop_start), 2000);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), c.exit_code) << dummy.output();
    }
}

// --- qz-av-mimescan ---------------------------------------------------------------------------

TEST_F(ScanServicesTest, MimescanReportsTypesAndBlocksByTheJobsLists) {
    ServiceProcess mimescan(kMimescan, url());
    ConnectionPtr queued = requester(url(), kMimescan);
    ASSERT_NE(queued, nullptr);
    const std::string pdf = "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj\n<< /Type /Catalog >>\nendobj\n";
    using Params = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        const char* name;
        std::string data;
        Params scan;
        int rc;
        const char* mime_type;
        const char* encoding;  // nullptr: libmagic's guess for the sample is not the point
        const char* extension;
        const char* reason;
    };
    const Case kCases[] = {
        {"notes.txt", "hello world\n", {}, SCAN_OK, "text/plain", "us-ascii", "txt", ""},
        {"umlaut.txt", "h\xc3\xa9llo w\xc3\xb6rld\n", {}, SCAN_OK, "text/plain", "utf-8", "txt",
         ""},
        {"empty.dat", "", {}, SCAN_OK, "application/x-empty", "binary", "dat", ""},
        {"report.pdf", pdf, {{"BLOCKMIMETYPES", "application/zip;application/pdf"}},
         SCAN_BLOCKED_POLICY, "application/pdf", nullptr, "pdf",
         "MIME type application/pdf is blocked"},
        {"report.pdf", pdf, {{"BLOCKMIMETYPES", "Application/*"}}, SCAN_BLOCKED_POLICY,
         "application/pdf", nullptr, "pdf", "MIME type application/pdf is blocked"},
        {"Setup.EXE", "hello\n", {{"BLOCKEXTENSIONS", "exe;com"}}, SCAN_BLOCKED_POLICY,
         "text/plain", "us-ascii", "EXE", "Extension EXE is blocked"},
        // Named like text, but libmagic knows the content for a PDF.
        {"harmless.txt", pdf, {{"BLOCKEXTENSIONS", ".pdf"}}, SCAN_BLOCKED_POLICY,
         "application/pdf", nullptr, "txt", "Extension pdf is blocked"},
        {"report.pdf", pdf, {{"SCANMIMETYPES", "text/*"}}, SCAN_BLOCKED_POLICY, "application/pdf",
         nullptr, "pdf", "MIME type application/pdf is not among the allowed MIME types"},
        {"report.pdf", pdf,
         {{"SCANMIMETYPES", "text/*; application/pdf"}, {"BLOCKEXTENSIONS", "exe"},
          {"BLOCKMIMETYPES", "application/zip"}},
         SCAN_OK, "application/pdf", nullptr, "pdf", ""},
    };
    for (qz_connection_config* config : {core_.get(), queued.get()}) {
        const char* path = config == core_.get() ? "core" : "work queue";
        for (const Case& c : kCases) {
            SCOPED_TRACE(std::string(path) + ": " + c.name + " " +
                         (c.scan.empty() ? "" : c.scan[0].first + "=" + c.scan[0].second));
            Job job(c.name, c.data.size(), c.scan);
            Exchange exchange = send_with_data(config, kMimescan, job.json(), c.data, kTimeoutMs);
            ASSERT_NE(exchange.reply, nullptr) << exchange.transport_error;
            Parsed parsed = parse_result(exchange.reply.get());
            ASSERT_EQ(parsed.rc, 0) << parsed.error;
            EXPECT_EQ(parsed.result->rc, c.rc);
            ASSERT_EQ(parsed.result->nfiles, 1);
            const qz_file_scan_result& file = *parsed.result->files[0];
            EXPECT_EQ(file.rc, c.rc);
            EXPECT_EQ(text_of(file.filename), c.name);
            EXPECT_EQ(file.filesize, c.data.size());
            EXPECT_EQ(text_of(file.mime_type), c.mime_type);
            if (c.encoding != nullptr) {
                EXPECT_EQ(text_of(file.mime_encoding), c.encoding);
            }
            EXPECT_EQ(text_of(file.extension), c.extension);
            EXPECT_NE(text_of(file.file_type), "");
            EXPECT_EQ(text_of(file.virusname), c.reason);
        }
    }
    EXPECT_GE(qztest::count(qztest::read_file(mimescan.trace_file()),
                            "JS job pulled on 'jobs.qz-av-mimescan'"),
              static_cast<int>(std::size(kCases)));    expect_clean_exit(mimescan);
}

// --- qz-av-quarantine -------------------------------------------------------------------------

struct Quarantined {
    int64_t rc = -99999;
    std::string name;
    std::string error;
};

// A quarantine request as the library sends it, and the reply read as the library reads it.
Quarantined quarantine(qz_connection_config* config, const std::string& subject,
                       const std::string& event_id, const std::string& object_name,
                       const std::string& data, int command = 600) {
    JsonPtr request(json_object_new_object());
    json_object_object_add(request.get(), "Command", json_object_new_int(command));
    json_object_object_add(request.get(), "ObjectName", json_object_new_string(object_name.c_str()));
    json_object_object_add(request.get(), "ObjectLen",
                           json_object_new_uint64(static_cast<uint64_t>(data.size())));
    json_object_object_add(request.get(), "realmID", json_object_new_string("realm-1"));
    json_object_object_add(request.get(), "SID", json_object_new_string("QZT"));
    json_object_object_add(request.get(), "Hostname", json_object_new_string("host.example.org"));
    json_object_object_add(request.get(), "PID", json_object_new_int(4711));
    json_object_object_add(request.get(), "TID", json_object_new_int(4712));
    json_object_object_add(request.get(), "EventID", json_object_new_string(event_id.c_str()));
    json_object_object_add(request.get(), "ResultDescription",
                           json_object_new_string("EICAR-Test-File"));
    const std::string json =
        json_object_to_json_string_ext(request.get(), JSON_C_TO_STRING_NOSLASHESCAPE);
    Exchange exchange = send_with_data(config, subject, json, data, kTimeoutMs, 3);
    Quarantined out;
    if (exchange.reply == nullptr) {
        out.error = exchange.transport_error;
        return out;
    }
    out.rc = int_member(exchange.reply.get(), "ReturnCode");
    out.name = qztest::member(exchange.reply.get(), "QuarantineFilename");
    out.error = qztest::member(exchange.reply.get(), "Error");
    return out;
}

TEST_F(ScanServicesTest, QuarantineStoresObjectAndMetadataAtomicallyAndNeverOverwrites) {
    TempDir dir;
    const std::string store = dir.file("quarantine");
    ServiceProcess service(kQuarantine, url(), {"--dir", store, "--target", "q1"});
    ConnectionPtr queued = requester(url(), kQuarantineTarget);
    ASSERT_NE(queued, nullptr);
    // Metadata left from an earlier object: its stem is taken even though no object has it.
    qztest::write_file(store + "/evt-3-a.txt.json", "{\"left\": \"over\"}\n");

    struct Case {
        qz_connection_config* config;
        const char* subject;
        const char* event_id;
        const char* object_name;
        std::string data;
        const char* stored_name;
    };
    const Case kCases[] = {
        {queued.get(), kQuarantineTarget, "evt-1", "report.pdf", object_of(3000, 100),
         "evt-1-report.pdf.bin"},
        // The same object name in the same scan again, through the core subject of another
        // target: a second name, the first file untouched.
        {core_.get(), "qz-av-quarantine.other", "evt-1", "report.pdf", object_of(kChunk + 1, 5),
         "evt-1-report.pdf-2.bin"},
        {core_.get(), kQuarantineTarget, "evt-3", "a.txt", "a", "evt-3-a.txt-2.bin"},
        {core_.get(), kQuarantineTarget, "evt-4", "../../etc/passwd", "root:x:0:0", "evt-4-passwd.bin"},
        {core_.get(), kQuarantineTarget, "evt-5", "C:\\temp\\..\\empty.txt", "",
         "evt-5-empty.txt.bin"},
    };
    std::set<std::string> expected_files = {"evt-3-a.txt.json"};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.stored_name);
        Quarantined stored = quarantine(c.config, c.subject, c.event_id, c.object_name, c.data);
        ASSERT_EQ(stored.rc, 0) << stored.error;
        ASSERT_EQ(stored.name, c.stored_name);
        const std::string stem = stored.name.substr(0, stored.name.size() - 4);
        expected_files.insert(stored.name);
        expected_files.insert(stem + ".json");

        EXPECT_EQ(qztest::read_file(store + "/" + stored.name), c.data);
        JsonPtr metadata = qztest::parse(qztest::read_file(store + "/" + stem + ".json"));
        ASSERT_NE(metadata, nullptr);
        EXPECT_EQ(qztest::member(metadata.get(), "QuarantineFilename"), stored.name);
        EXPECT_EQ(int_member(metadata.get(), "Size"), static_cast<int64_t>(c.data.size()));
        EXPECT_EQ(qztest::member(metadata.get(), "SHA256"), sha256_hex(c.data));
        EXPECT_FALSE(qztest::member(metadata.get(), "Stored").empty());
        json_object* request = object_member(metadata.get(), "Request");
        EXPECT_EQ(qztest::member(request, "ObjectName"), c.object_name);
        EXPECT_EQ(qztest::member(request, "EventID"), c.event_id);
        EXPECT_EQ(qztest::member(request, "ResultDescription"), "EICAR-Test-File");
        EXPECT_EQ(int_member(request, "Command"), 600);
        EXPECT_EQ(object_member(request, "_kv_key"), nullptr);
    }
    // Nothing replaced, nothing half-written left behind.
    EXPECT_EQ(qztest::read_file(store + "/evt-1-report.pdf.bin"), kCases[0].data);
    EXPECT_EQ(qztest::read_file(store + "/evt-3-a.txt.json"), "{\"left\": \"over\"}\n");
    EXPECT_EQ(directory_entries(store), expected_files);

    // A request that is not a quarantine request stores nothing and says so.
    Quarantined refused = quarantine(core_.get(), kQuarantineTarget, "evt-6", "x.bin", "x", 101);
    EXPECT_EQ(refused.rc, SCAN_ERROR);
    EXPECT_NE(refused.error.find("unsupported Command 101"), std::string::npos) << refused.error;
    EXPECT_EQ(refused.name, "");
    EXPECT_EQ(directory_entries(store), expected_files);    expect_clean_exit(service);
}

TEST_F(ScanServicesTest, QuarantineRefusesToStartWithoutAUsableDirectory) {
    TempDir dir;
    qztest::write_file(dir.file("a-file"), "x");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"--dir", dir.file("a-file")},
          {"--dir", dir.file("missing/parent")}}) {
        SCOPED_TRACE(args.empty() ? "no --dir" : args[1]);
        EXPECT_THROW({ ServiceProcess service(kQuarantine, url(), args); }, std::runtime_error);
    }
}

// --- worker registry --------------------------------------------------------------------------

TEST_F(ScanServicesTest, RegistryEntriesLiveWhileRunningAndGoneAfterSigterm) {
    TempDir dir;
    ServiceProcess dummy(kDummy, url());
    ServiceProcess mimescan(kMimescan, url());
    ServiceProcess quarantine_service(kQuarantine, url(), {"--dir", dir.file("q")});

    const std::vector<std::string> keys = {registry_key(kDummy, dummy.pid()),
                                           registry_key(kMimescan, mimescan.pid()),
                                           registry_key(kQuarantine, quarantine_service.pid())};
    std::map<std::string, JsonPtr> entries;
    ASSERT_TRUE(wait_until(
        [&] {
            entries = registry_entries(core_.get());
            for (const std::string& key : keys) {
                if (entries.count(key) == 0) return false;
            }
            return true;
        },
        5000));
    struct Expected {
        std::string key;
        std::string driver_name_start;
        int major;  // -1: any (libmagic's version)
        int minor;
    };
    const Expected kExpected[] = {
        {keys[0], "qz-av-dummy EICAR engine", 1, 0},
        {keys[1], "qz-av-mimescan libmagic ", -1, -1},
        {keys[2], "qz-av-quarantine file store", 1, 0},
    };
    for (const Expected& e : kExpected) {
        SCOPED_TRACE(e.key);
        json_object* driver = object_member(entries[e.key].get(), "Driverinfo");
        const std::string name = qztest::member(driver, "DriverName");
        const int64_t major = int_member(driver, "MajorVersion");
        const int64_t minor = int_member(driver, "MinorVersion");
        if (e.major >= 0) {
            EXPECT_EQ(name, e.driver_name_start);
            EXPECT_EQ(major, e.major);
            EXPECT_EQ(minor, e.minor);
        } else {
            // libmagic 5.x, and the name carries the same version.
            EXPECT_EQ(major, 5);
            EXPECT_EQ(name, e.driver_name_start + std::to_string(major) + "." +
                                std::to_string(minor));
        }
        // A real date: after 2020-01-01, not in the future.
        EXPECT_GT(int_member(driver, "Timestamp"), 1577836800);
        EXPECT_LE(int_member(driver, "Timestamp"), static_cast<int64_t>(time(nullptr)) + 86400);
    }

    for (ServiceProcess* service : {&dummy, &mimescan, &quarantine_service}) {
        expect_clean_exit(*service);
    }
    // Deleted at the stop, not left to expire with the bucket's 15 s TTL.
    EXPECT_TRUE(wait_until(
        [&] {
            entries = registry_entries(core_.get());
            for (const std::string& key : keys) {
                if (entries.count(key) != 0) return false;
            }
            return true;
        },
        2000));
}

}  // namespace
