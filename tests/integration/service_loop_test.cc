// The service scan loop, the staged-payload registry and quarantine against a real nats-server,
// with scan services played by in-test responders on the service subjects: payloads staged once
// at the chunk boundaries and deleted with the scan information record, services that answer
// late, badly or never, a broker that is gone, and a quarantine service that is absent or
// answers in every way it can.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connection/connection.h"
#include "connection/nats_handles.h"
#include "connection/nats_kv.h"
#include "connection/nats_worker.h"
#include "log/log.h"
#include "platform/critical_section.h"
#include "scan/scan_records.h"
#include "support/nats_server.h"
#include "support/nats_test_helpers.h"
#include "support/scan_setup.h"
#include "support/temp_dir.h"
#include "vsa/vsalib_entry_points.h"
#include "vsalib_quarantine.h"
#include "vsalib_service_loop.h"
#include "vsalib_staged_registry.h"

namespace {

using Clock = std::chrono::steady_clock;
using qz::nats::JsonPtr;
using qztest::elapsed_ms;
using qztest::member;
using qztest::NatsServer;
using qztest::parse;
using qztest::ScanSetup;
using qztest::TraceCapture;

void set_flag(volatile int32_t* flag) { __atomic_store_n(flag, 1, __ATOMIC_RELEASE); }

std::string text_of(const char* text) { return text != nullptr ? text : "<null>"; }

std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    uint32_t x = 12345;
    for (auto& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

// What a responder saw of one request.
struct Seen {
    std::string json;
    std::string staged_key;
    std::string payload;
};

// A scan service played in the test: answers every request with `reply` after `delay_ms`, or
// never (silent), or goes away in the middle of its first job (dies). Its own connection and
// stop flag; stopped and joined at the end.
class Responder {
  public:
    Responder(const NatsServer& server, std::string subject, std::string reply)
        : subject_(std::move(subject)),
          reply_(std::move(reply)),
          config_(qz_connection_config_new()) {
        config_->server_url = strdup(server.url().c_str());
        EXPECT_EQ(qz_connection_init(config_), 0);
    }
    ~Responder() {
        set_flag(&stop_);
        EXPECT_EQ(qz_nats_join_worker_threads(&stop_, 5000), 0);
        qz_connection_deinit(config_);
        qz_connection_config_free(config_);
    }
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    void start() {
        ASSERT_EQ(qz_nats_start_service_handler_threads(config_, subject_.c_str(), &handle, this,
                                                        &stop_, 1),
                  0);
    }
    void set_reply(std::string reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        reply_ = std::move(reply);
    }
    std::vector<Seen> seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

    int delay_ms = 0;
    bool silent = false;
    bool dies = false;

  private:
    static void handle(void* closure, qz_request_reply* pair) {
        auto* self = static_cast<Responder*>(closure);
        const qz_message* request = pair->request;
        std::string reply;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->seen_.push_back(
                {request->json != nullptr ? request->json : "",
                 request->staged_key != nullptr ? request->staged_key : "",
                 request->data != nullptr
                     ? std::string(reinterpret_cast<const char*>(request->data), request->data_len)
                     : std::string()});
            reply = self->reply_;
        }
        if (self->dies) {
            // The worker stops serving with the job unanswered: the requester's retries find
            // nobody.
            set_flag(&self->stop_);
            return;
        }
        if (self->silent) return;
        if (self->delay_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(self->delay_ms));
        }
        pair->reply->json = strdup(reply.c_str());
    }

    std::string subject_;
    std::mutex mutex_;
    std::string reply_;
    std::vector<Seen> seen_;
    qz_connection_config* config_;
    volatile int32_t stop_ = 0;
};

constexpr const char* kClean =
    R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"ReturnCode":0,"File-name":"report.pdf",
        "MIME-type":"text/plain","Extension":"txt"}]})";
constexpr const char* kVirus =
    R"({"ReturnCode":-210,"FilesScanned":1,"Results":[{"ReturnCode":-210,"File-name":"report.pdf",
        "Virusname":"EICAR-Test-File"}]})";

// A broker with the scan-data bucket, the library's connection in a vsa_global as after start-up,
// and a scan prepared against them.
class ServiceLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        create_scan_data_bucket();
        client_ = qz_connection_config_new();
        client_->server_url = strdup(server_.url().c_str());
        ASSERT_EQ(qz_connection_init(client_), 0);
        ASSERT_EQ(QZ_InitializeCriticalSection(&g_.cs, 0), 0);
        g_.libInitialised = 1;
        g_.connection_config = client_;
        setup_ = std::make_unique<ScanSetup>();
        setup_->engine()->global = &g_;
        setup_->set_connection(client_);
        setup_->set_store("SCANTIMEOUT", "300");
    }
    void TearDown() override {
        responders_.clear();
        setup_.reset();
        qz_connection_deinit(client_);
        qz_connection_config_free(client_);
        QZ_DeleteCriticalSection(&g_.cs);
    }

    void create_scan_data_bucket() {
        natsConnection* nc = nullptr;
        ASSERT_EQ(natsConnection_ConnectTo(&nc, server_.url().c_str()), NATS_OK);
        qz::nats::ConnectionPtr connection(nc);
        jsCtx* js = nullptr;
        ASSERT_EQ(natsConnection_JetStream(&js, nc, nullptr), NATS_OK);
        qz::nats::JsCtxPtr context(js);
        kvConfig config;
        kvConfig_Init(&config);
        config.Bucket = QZ_NATS_KV_SCAN_DATA_BUCKET;
        config.History = 1;
        kvStore* kv = nullptr;
        ASSERT_EQ(js_CreateKeyValue(&kv, js, &config), NATS_OK);
        kvStore_Destroy(kv);
    }

    Responder& serve(const std::string& subject, const std::string& reply) {
        responders_.push_back(std::make_unique<Responder>(server_, subject, reply));
        return *responders_.back();
    }
    void start_all() {
        for (auto& responder : responders_) responder->start();
    }

    VSA_RC scan() {
        msgbuf_[0] = '\0';
        return qzvsalib_loop_scan_services(setup_->engine(), setup_->job(), setup_->result(),
                                           msgbuf_);
    }
    // 0 when the bucket holds key, 1 when it does not.
    int lookup(const std::string& key) {
        char* value = nullptr;
        size_t length = 0;
        const int rc = qz_connection_kv_get(client_, QZ_NATS_KV_SCAN_DATA_BUCKET, key.c_str(),
                                            &value, &length);
        free(value);
        return rc;
    }

    NatsServer server_;
    qz_connection_config* client_ = nullptr;
    vsa_global g_{};
    std::unique_ptr<ScanSetup> setup_;
    std::vector<std::unique_ptr<Responder>> responders_;
    char msgbuf_[QZ_SCAN_MESSAGE_SIZE] = "";
};

// Around the chunk boundary of the scan-data bucket: every service reads the same bytes from the
// one staged copy, and releasing the scan information record deletes it with all its chunks.
TEST_F(ServiceLoop, PayloadStagedOnceAtChunkBoundariesAndDeletedWithTheRecord) {
    struct Case {
        size_t size;
        size_t chunks;
    };
    for (const Case& c : {Case{524288, 1}, Case{524289, 2}, Case{1, 1}}) {
        SCOPED_TRACE(c.size);
        responders_.clear();
        setup_ = std::make_unique<ScanSetup>();
        setup_->engine()->global = &g_;
        setup_->set_connection(client_);
        setup_->set_store("SCANTIMEOUT", "5000");
        setup_->set_payload(pattern(c.size));
        setup_->encode();
        Responder& mime = serve("qz-av-mimescan", kClean);
        Responder& dummy = serve("qz-av-dummy", kClean);
        start_all();

        ASSERT_EQ(scan(), VSA_OK) << msgbuf_;
        std::string key;
        ASSERT_TRUE(qz::vsalib::staged_key_of(setup_->scaninfo(), &key));
        for (Responder* responder : {&mime, &dummy}) {
            const std::vector<Seen> seen = responder->seen();
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0].staged_key, key);
            EXPECT_TRUE(seen[0].payload == setup_->payload()) << "payload differs";
        }
        // Still there after the scan: the host may look at the result for a while.
        EXPECT_EQ(lookup(key), 0);
        for (size_t i = 0; i < c.chunks; ++i) EXPECT_EQ(lookup(key + "-" + std::to_string(i)), 0);
        EXPECT_EQ(lookup(key + "-" + std::to_string(c.chunks)), 1);

        const VSA_SCANINFO* record = setup_->scaninfo();
        EXPECT_EQ(vsalib_VsaReleaseScan(setup_->scaninfo_place(), &g_), VSA_OK);
        EXPECT_EQ(*setup_->scaninfo_place(), nullptr);
        EXPECT_FALSE(qz::vsalib::staged_key_of(record, nullptr));
        EXPECT_EQ(lookup(key), 1);
        for (size_t i = 0; i < c.chunks; ++i) EXPECT_EQ(lookup(key + "-" + std::to_string(i)), 1);
    }
}

// An empty object is never staged; only the MIME scanner is asked, with the job alone.
TEST_F(ServiceLoop, EmptyObjectGoesToTheMimeScannerWithoutPayload) {
    for (bool as_file : {true, false}) {
        SCOPED_TRACE(as_file ? "empty file" : "empty buffer");
        responders_.clear();
        setup_ = std::make_unique<ScanSetup>();
        setup_->engine()->global = &g_;
        setup_->set_store("SCANTIMEOUT", "2000");
        if (as_file) {
            setup_->set_no_payload();
        } else {
            setup_->set_payload(std::string());
        }
        setup_->encode();
        Responder& mime = serve("qz-av-mimescan", kClean);
        Responder& dummy = serve("qz-av-dummy", kClean);
        start_all();

        ASSERT_EQ(scan(), VSA_OK) << msgbuf_;
        const std::vector<Seen> seen = mime.seen();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].staged_key, "");
        EXPECT_EQ(seen[0].payload, "");
        JsonPtr job = parse(seen[0].json);
        EXPECT_EQ(member(job.get(), "ObjectLen"), "0");
        EXPECT_EQ(member(job.get(), "shmID"), as_file ? "0x0" : "0xffffffff");
        EXPECT_TRUE(dummy.seen().empty());
        EXPECT_FALSE(qz::vsalib::staged_key_of(setup_->scaninfo(), nullptr));
    }
}

TEST_F(ServiceLoop, MimeFindingsTravelToTheEngineAndAVirusIsReported) {
    setup_->encode();
    serve("qz-av-mimescan",
          R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"ReturnCode":0,"File-name":"report.pdf",
              "MIME-type":"application/pdf","Extension":"pdf"}]})");
    Responder& dummy = serve("qz-av-dummy", kVirus);
    start_all();
    EXPECT_EQ(scan(), VSA_E_VIRUS_FOUND);
    const std::vector<Seen> seen = dummy.seen();
    ASSERT_EQ(seen.size(), 1u);
    JsonPtr job = parse(seen[0].json);
    EXPECT_EQ(member(job.get(), "MIME-type"), "application/pdf");
    EXPECT_EQ(member(job.get(), "Extension"), "pdf");
    ASSERT_EQ(setup_->result()->nfiles, 1);
    EXPECT_EQ(setup_->result()->files[0]->rc, SCAN_VIRUS_FOUND);
    EXPECT_STREQ(setup_->result()->files[0]->virusname, "EICAR-Test-File");
    EXPECT_STREQ(setup_->result()->files[0]->mime_type, "application/pdf");
}

// Every way a service can fail ends the scan as failed with its reason: never clean, never hung.
TEST_F(ServiceLoop, FaultyServicesEndTheScanWithAnErrorResult) {
    struct Case {
        const char* name;
        const char* reply;
        int delay_ms;
        bool silent;
        bool dies;
        const char* reason;  // expected inside the error text
    };
    const Case kCases[] = {
        {"times out", kClean, 900, false, false, "timed out"},
        {"malformed JSON", R"({"ReturnCode": 0, "FilesScanned": 1,)", 0, false, false, ""},
        {"wrong member types",
         R"({"ReturnCode":0,"FilesScanned":"1","Results":[{"File-name":"report.pdf"}]})", 0, false,
         false, "Key FilesScanned is not an integer"},
        {"wrong type inside a file result",
         R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"File-name":"report.pdf","ReturnCode":"-210"}]})",
         0, false, false, "Key ReturnCode is not an integer"},
        {"more files than sent",
         R"({"ReturnCode":0,"FilesScanned":3,"Results":[{"File-name":"report.pdf"}]})", 0, false,
         false, "Failed to read File-name from JSON"},
        {"an error reply", R"({"ReturnCode":-1000,"Error":"engine crashed","WorkerHostname":"w7"})",
         0, false, false, "engine crashed"},
        {"never answers", kClean, 0, true, false, ""},
        {"dies mid-job", kClean, 0, false, true, ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        responders_.clear();
        setup_ = std::make_unique<ScanSetup>();
        setup_->engine()->global = &g_;
        setup_->set_connection(client_);
        setup_->set_store("SCANTIMEOUT", "300");
        serve("qz-av-mimescan", kClean);
        Responder& dummy = serve("qz-av-dummy", c.reply);
        dummy.delay_ms = c.delay_ms;
        dummy.silent = c.silent;
        dummy.dies = c.dies;
        Responder& after = serve("qz-av-clamav", kClean);
        setup_->set_services({"qz-av-mimescan", "qz-av-dummy", "qz-av-clamav"});
        setup_->encode();
        start_all();

        const auto started = Clock::now();
        EXPECT_EQ(scan(), VSA_E_SCAN_FAILED);
        // Three attempts of 300 + 250 ms at most, plus slack for a loaded machine.
        EXPECT_LT(elapsed_ms(started), 4000);
        EXPECT_EQ(setup_->result()->rc, SCAN_ERROR);
        const std::string error =
            setup_->result()->error_text != nullptr ? setup_->result()->error_text : "";
        EXPECT_EQ(error.rfind("Service qz-av-dummy: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_GT(error.size(), strlen("Service qz-av-dummy: ")) << error;
        EXPECT_EQ(std::string(msgbuf_), error);
        EXPECT_TRUE(after.seen().empty());
        if (std::string(c.name) == "an error reply") {
            EXPECT_STREQ(setup_->result()->worker_hostname, "w7");
        }
    }
}

// A broker that goes away under a running library: the payload can be staged no more (the
// staging wait alone uses up the scan time), and the scan ends as failed, not clean, not hung.
TEST_F(ServiceLoop, ObjectThatCannotBeStagedEndsAsFailed) {
    setup_->set_payload(pattern(4096));
    setup_->encode();
    serve("qz-av-mimescan", kClean);
    serve("qz-av-dummy", kClean);
    start_all();
    ASSERT_EQ(scan(), VSA_OK) << msgbuf_;
    ASSERT_EQ(vsalib_VsaReleaseScan(setup_->scaninfo_place(), &g_), VSA_OK);

    setup_ = std::make_unique<ScanSetup>();
    setup_->engine()->global = &g_;
    setup_->set_connection(client_);
    setup_->set_store("SCANTIMEOUT", "300");
    setup_->set_payload(pattern(4096));
    setup_->encode();
    server_.stop();
    TraceCapture trace(QZ_LOG_DEBUG);
    const auto started = Clock::now();
    EXPECT_EQ(scan(), VSA_E_SCAN_FAILED);
    EXPECT_LT(elapsed_ms(started), 8000);
    EXPECT_EQ(setup_->result()->rc, SCAN_ERROR);
    const std::string error =
        setup_->result()->error_text != nullptr ? setup_->result()->error_text : "";
    EXPECT_EQ(error.rfind("Service qz-av-mimescan: ", 0), 0u) << error;
    EXPECT_TRUE(trace.contains("loop_scan_services: staging unavailable (")) << trace.contents();
    EXPECT_FALSE(qz::vsalib::staged_key_of(setup_->scaninfo(), nullptr));
}

// ---------------------------------------------------------------------------------------------
// Quarantine.

class Quarantine : public ServiceLoop {
  protected:
    // A scan that found a virus, with its records built as the host gets them.
    void infected_scan() {
        setup_->set_payload(pattern(600000));
        setup_->set_job("CLEANQUARANTINE", "store");
        setup_->set_services({"qz-av-dummy"});
        setup_->encode();
        serve("qz-av-dummy", kVirus);
        start_all();
        ASSERT_EQ(scan(), VSA_E_VIRUS_FOUND);
        ASSERT_EQ(vsalib_fill_scaninfo(setup_->scaninfo(), setup_->result(), ""),
                  VSA_E_VIRUS_FOUND);
        ASSERT_EQ(setup_->scaninfo()->uiInfections, 1u);
    }
};

TEST_F(Quarantine, StoredObjectGetsItsNameAndTheVerdictStays) {
    Responder& store = serve("qz-av-quarantine.store",
                             R"({"ReturnCode":0,"QuarantineFilename":"q/2024/0001.bin"})");
    infected_scan();
    qz::vsalib::QuarantineOutcome outcome = qz::vsalib::quarantine_scanned_object(
        setup_->engine(), setup_->job(), setup_->result(), VSA_E_VIRUS_FOUND);
    EXPECT_EQ(outcome.code, VSA_E_VIRUS_FOUND);
    EXPECT_TRUE(outcome.quarantined);
    ASSERT_NE(outcome.file_name, nullptr);
    EXPECT_STREQ(outcome.file_name, "q/2024/0001.bin");
    free(outcome.file_name);

    const std::vector<Seen> seen = store.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].payload == setup_->payload());
    JsonPtr request = parse(seen[0].json);
    EXPECT_EQ(member(request.get(), "Command"), "600");
    EXPECT_EQ(member(request.get(), "ObjectName"), "report.pdf");
    EXPECT_EQ(member(request.get(), "ObjectLen"), "600000");
    EXPECT_EQ(member(request.get(), "realmID"), "realm-7");
    EXPECT_EQ(member(request.get(), "SID"), "PRD");
    EXPECT_EQ(member(request.get(), "Hostname"), "host1.example.org");
    EXPECT_EQ(member(request.get(), "EventID"), setup_->job()->event_id);
    // The first virus record's name, suffix included (empty here, hence the blank).
    EXPECT_EQ(member(request.get(), "ResultDescription"), "EICAR-Test-File ");
    // Slashes stay as they are.
    EXPECT_EQ(seen[0].json.find("\\/"), std::string::npos);
}

TEST_F(Quarantine, AbsentServiceFailsTheScanButKeepsTheFinding) {
    infected_scan();
    TraceCapture trace(QZ_LOG_ERROR);
    const auto started = Clock::now();
    qz::vsalib::QuarantineOutcome outcome = qz::vsalib::quarantine_scanned_object(
        setup_->engine(), setup_->job(), setup_->result(), VSA_E_VIRUS_FOUND);
    EXPECT_LT(elapsed_ms(started), 6000);
    EXPECT_EQ(outcome.code, VSA_E_SCAN_FAILED);
    EXPECT_FALSE(outcome.quarantined);
    EXPECT_EQ(outcome.file_name, nullptr);
    EXPECT_STREQ(setup_->result()->error_text, "Quarantine failed for report.pdf");
    // The host still sees what was found.
    EXPECT_EQ(setup_->scaninfo()->uiInfections, 1u);
    EXPECT_STREQ(setup_->scaninfo()->pVirusInfo[0].pszVirusName, "EICAR-Test-File ");
    EXPECT_TRUE(trace.contains("Failed to get reply from service qz-av-quarantine.store"));
    EXPECT_TRUE(trace.contains("Failed to quarantine report.pdf - reporting scan as FAILED"));
}

TEST_F(Quarantine, RepliesAreReadStrictly) {
    struct Case {
        const char* reply;
        int rc;
        const char* name;
        const char* traced;
    };
    const Case kCases[] = {
        {R"({"ReturnCode":0,"QuarantineFilename":"a.bin"})", 0, "a.bin", nullptr},
        {R"({"QuarantineFilename":"b.bin"})", 0, "b.bin", "Object ReturnCode not found"},
        {R"({"ReturnCode":0})", -1, nullptr, "Failed to read QuarantineFilename from JSON"},
        {R"({"ReturnCode":0,"QuarantineFilename":""})", -1, nullptr,
         "Key QuarantineFilename found, but value is empty"},
        {R"({"ReturnCode":7,"QuarantineFilename":"c.bin"})", 7, nullptr, nullptr},
        {R"({"ReturnCode":"0","QuarantineFilename":"d.bin"})", -1, nullptr,
         "Key ReturnCode is not an integer"},
        {R"({"ReturnCode":0,"QuarantineFilename":42})", -1, nullptr,
         "Key QuarantineFilename is not a string"},
    };
    Responder& store = serve("qz-av-quarantine.store", "{}");
    infected_scan();
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.reply);
        TraceCapture trace(QZ_LOG_WARN);
        store.set_reply(c.reply);
        char* name = nullptr;
        EXPECT_EQ(vsalib_quarantine(setup_->engine(), setup_->job(), setup_->result(), "ev-1",
                                    "qz-av-quarantine.store", &name),
                  c.rc);
        EXPECT_EQ(text_of(name), text_of(c.name));
        free(name);
        if (c.traced != nullptr) {
            EXPECT_TRUE(trace.contains(c.traced));
        }
    }
}

}  // namespace
