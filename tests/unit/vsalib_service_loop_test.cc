// The rules of a scan over several services, without a broker: how per-service verdicts merge
// into the consolidated result, and how the loop picks services, carries the MIME scanner's
// findings, stops, times out and turns every failure into an error result. The services are
// scripted behind the loop's transport interface; the same loop runs over the broker in
// tests/integration/service_loop_test.cc. Also the staged-payload registry and the release of
// a scan information record.
#include "vsalib_service_loop.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "scan/scan_alloc.h"
#include "scan/scan_records.h"
#include "support/scan_setup.h"
#include "support/temp_dir.h"
#include "vsa/vsalib_entry_points.h"
#include "vsalib_quarantine.h"
#include "vsalib_scan_merge.h"
#include "vsalib_scan_transport.h"
#include "vsalib_single_service_scan.h"
#include "vsalib_staged_registry.h"

namespace {

using qztest::ScanSetup;
using qztest::TraceCapture;

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

struct ResultFree {
    void operator()(qz_scan_result* r) const { qzvsalib_free_engine_scan_result(r, 1); }
};
using ResultPtr = std::unique_ptr<qz_scan_result, ResultFree>;

// A service's reply as the parser reads it.
ResultPtr reply(const char* json) {
    JsonPtr doc(json_tokener_parse(json));
    EXPECT_NE(doc, nullptr) << json;
    qz_scan_result* result = nullptr;
    char errbuf[QZ_SCAN_MESSAGE_SIZE] = "";
    EXPECT_EQ(qzvsalib_parse_scanresult_json(doc.get(), &result, errbuf), 0) << errbuf;
    return ResultPtr(result);
}

std::string text(const char* value) { return value != nullptr ? value : "<null>"; }

// One consolidated file as the tables expect it.
struct File {
    std::string name;
    int32_t rc;
    std::string mime;
    std::string virus;
};

std::vector<File> files_of(const qz_scan_result* result) {
    std::vector<File> files;
    for (int32_t i = 0; i < result->nfiles; ++i) {
        const qz_file_scan_result* f = result->files[i];
        files.push_back({text(f->filename), f->rc, text(f->mime_type), text(f->virusname)});
    }
    return files;
}

bool operator==(const File& a, const File& b) {
    return a.name == b.name && a.rc == b.rc && a.mime == b.mime && a.virus == b.virus;
}

void PrintTo(const File& f, std::ostream* os) {
    *os << "{" << f.name << ", " << f.rc << ", " << f.mime << ", " << f.virus << "}";
}

// ---------------------------------------------------------------------------------------------
// Merge rules.

TEST(ScanMerge, ServiceResultsConsolidateByFileName) {
    struct Case {
        const char* name;
        std::vector<const char*> replies;
        int32_t rc;
        std::vector<File> files;
        const char* error;
    };
    const Case kCases[] = {
        {"clean and clean on one file: one entry, the first MIME type kept",
         {R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"File-name":"a.txt","MIME-type":"text/plain"}]})",
          R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"File-name":"a.txt","MIME-type":"application/octet-stream"}]})"},
         0,
         {{"a.txt", 0, "text/plain", ""}},
         "<null>"},
        {"clean then virus: the later code wins, the virus name is taken",
         {R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"File-name":"a.txt","MIME-type":"text/plain"}]})",
          R"({"ReturnCode":-210,"FilesScanned":1,"Results":[{"ReturnCode":-210,"File-name":"a.txt","Virusname":"EICAR-Test-File"}]})"},
         -210,
         {{"a.txt", -210, "text/plain", "EICAR-Test-File"}},
         "<null>"},
        {"a file found infected stays infected when a later service calls it clean",
         {R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"ReturnCode":-210,"File-name":"a.txt","Virusname":"W32/x"}]})",
          R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"ReturnCode":0,"File-name":"a.txt"}]})"},
         -210,
         {{"a.txt", -210, "", "W32/x"}},
         "<null>"},
        {"a policy block is not lifted by a later clean verdict",
         {R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"ReturnCode":-200,"File-name":"a.exe","Virusname":"Blocked extension"}]})",
          R"({"ReturnCode":1,"FilesScanned":1,"Results":[{"ReturnCode":1,"File-name":"a.exe"}]})"},
         -200,
         {{"a.exe", -200, "", "Blocked extension"}},
         "<null>"},
        {"a clean archive member listed last does not clear the archive's finding",
         {R"({"ReturnCode":-210,"FilesScanned":2,"Results":[{"ReturnCode":-210,"File-name":"a.zip","Virusname":"V"},{"ReturnCode":0,"File-name":"a.zip/readme"}]})"},
         -210,
         {{"a.zip", -210, "", "V"}, {"a.zip/readme", 0, "", ""}},
         "<null>"},
        {"not completed, then scanned clean by the next engine: the file is clean",
         {R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"ReturnCode":-100,"File-name":"a.txt","Virusname":"encrypted"}]})",
          R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"ReturnCode":0,"File-name":"a.txt"}]})"},
         -100,
         {{"a.txt", 0, "", "encrypted"}},
         "<null>"},
        {"names compare exactly: case makes two entries",
         {R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"File-name":"A.txt"}]})",
          R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"File-name":"a.txt"}]})"},
         0,
         {{"A.txt", 0, "", ""}, {"a.txt", 0, "", ""}},
         "<null>"},
        {"the first new file's error becomes the scan's error text, later ones do not",
         {R"({"ReturnCode":0,"FilesScanned":2,"Results":[{"File-name":"x","Error":"first"},{"File-name":"y","Error":"second"}]})",
          R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"File-name":"x","Error":"third"}]})"},
         0,
         {{"x", 0, "", ""}, {"y", 0, "", ""}},
         "first"},
        {"a service with no files changes nothing",
         {R"({"ReturnCode":0,"FilesScanned":0,"Results":[]})"},
         SCAN_RESULT_UNSET,
         {},
         "<null>"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ResultPtr consolidated(qzvsalib_new_engine_scan_result());
        for (const char* json : c.replies) {
            ResultPtr latest = reply(json);
            ASSERT_EQ(qz::vsalib::merge_scan_results(consolidated.get(), latest.get()), VSA_OK);
        }
        EXPECT_EQ(consolidated->rc, c.rc);
        EXPECT_EQ(files_of(consolidated.get()), c.files);
        EXPECT_EQ(text(consolidated->error_text), c.error);
    }
}

TEST(ScanMerge, SizesTypesAndVersionsFillOnlyWhatIsMissing) {
    ResultPtr consolidated(qzvsalib_new_engine_scan_result());
    ResultPtr first = reply(
        R"({"ReturnCode":0,"FilesScanned":2,"Results":[
            {"File-name":"a","File-size":0,"Object-type":0,"Extension":""},
            {"File-name":"b","File-size":5,"Object-type":3,"Extension":"pdf"}]})");
    ResultPtr second = reply(
        R"({"ReturnCode":0,"FilesScanned":2,"Results":[
            {"File-name":"a","File-size":10,"Object-type":7,"Extension":"txt","Error":"late"},
            {"File-name":"b","File-size":10,"Object-type":7,"Extension":"exe"}]})");
    second->engine_major = 6;
    second->engine_minor = 1;
    second->dat_major = 11111;
    second->dat_minor = 2;
    ResultPtr third = reply(R"({"ReturnCode":0,"FilesScanned":0,"Results":[]})");
    third->engine_major = 7;
    third->dat_major = 22222;

    ASSERT_EQ(qz::vsalib::merge_scan_results(consolidated.get(), first.get()), VSA_OK);
    ASSERT_EQ(qz::vsalib::merge_scan_results(consolidated.get(), second.get()), VSA_OK);
    ASSERT_EQ(qz::vsalib::merge_scan_results(consolidated.get(), third.get()), VSA_OK);
    ASSERT_EQ(consolidated->nfiles, 2);
    const qz_file_scan_result* a = consolidated->files[0];
    const qz_file_scan_result* b = consolidated->files[1];
    EXPECT_EQ(a->filesize, 10u);
    EXPECT_EQ(a->object_type, 7);
    EXPECT_STREQ(a->extension, "txt");
    EXPECT_STREQ(a->error, "");  // an update never takes the new file's error
    EXPECT_EQ(b->filesize, 5u);
    EXPECT_EQ(b->object_type, 3);
    EXPECT_STREQ(b->extension, "pdf");
    // Versions come from the first service that reports them, even without new files.
    EXPECT_EQ(consolidated->engine_major, 6);
    EXPECT_EQ(consolidated->engine_minor, 1);
    EXPECT_EQ(consolidated->dat_major, 11111);
    EXPECT_EQ(consolidated->dat_minor, 2);
}

TEST(ScanMerge, FailuresAreErrorsAndLeaveConsistentCounts) {
    TraceCapture trace(QZ_LOG_ERROR);
    ResultPtr latest = reply(
        R"({"ReturnCode":0,"FilesScanned":3,"Results":[{"File-name":"a"},{"File-name":"b"},{"File-name":"c"}]})");
    EXPECT_EQ(qz::vsalib::merge_scan_results(nullptr, latest.get()), VSA_E_SCAN_FAILED);
    EXPECT_TRUE(trace.contains("Invalid pointer consolidated"));
    EXPECT_TRUE(trace.contains("Failed to merge scan results"));

    // Every allocation of the merge in turn fails: the result keeps exactly the entries it
    // counts (ASan checks that nothing leaks or is walked beyond them).
    for (int successes = 0; successes < 20; ++successes) {
        SCOPED_TRACE(successes);
        ResultPtr consolidated(qzvsalib_new_engine_scan_result());
        qz::scan::fail_allocations_after(successes);
        const VSA_RC rc = qz::vsalib::merge_scan_results(consolidated.get(), latest.get());
        qz::scan::fail_allocations_after(-1);
        if (rc == VSA_OK) {
            EXPECT_EQ(consolidated->nfiles, 3);
            break;
        }
        EXPECT_EQ(rc, VSA_E_SCAN_FAILED);
        EXPECT_LT(consolidated->nfiles, 3);
        for (int32_t i = 0; i < consolidated->nfiles; ++i) {
            ASSERT_NE(consolidated->files[i], nullptr);
        }
    }
    EXPECT_TRUE(trace.contains("Failed to allocate new consolidated filescan result struct"));
}

// ---------------------------------------------------------------------------------------------
// The loop over scripted services.

// What one scripted service does with a request.
struct Script {
    const char* json = nullptr;     // reply text; NULL: no reply
    const char* failure = nullptr;  // transport's reason when there is no reply
    int delay_ms = 0;
};

// A request as the service saw it.
struct Call {
    std::string subject;
    std::string job_json;
    std::string staged_key;
    bool carried_payload = false;
    uint32_t remaining_ms = 0;
    uint32_t extra_ms = 0;
};

class ScriptedTransport final : public qz::vsalib::ScanTransport {
  public:
    std::map<std::string, Script> services;
    std::vector<Call> calls;
    // Staging: the key handed out, or NULL for "no staging" with stage_message as reason.
    const char* stage_key = "scan-1-2-3";
    int stage_rc = 0;
    const char* stage_message = "";
    int staged = 0;
    std::vector<std::string> unstaged;
    uint32_t stage_timeout = 0;

    int stage(const uint8_t*, uint64_t, uint32_t timeout_ms, char** key, char* errbuf) override {
        ++staged;
        stage_timeout = timeout_ms;
        *key = stage_key != nullptr ? strdup(stage_key) : nullptr;
        snprintf(errbuf, QZ_SCAN_MESSAGE_SIZE, "%s", stage_message);
        return stage_rc;
    }
    void unstage(const char* key) override { unstaged.emplace_back(key); }
    json_object* send_job(const char* subject, const qz_scanjob& job, uint32_t remaining_ms,
                          uint32_t extra_ms, char* errbuf) override {
        Call call;
        call.subject = subject;
        call.job_json = job.job_json != nullptr ? job.job_json : "";
        call.staged_key = job.staged_key != nullptr ? job.staged_key : "";
        call.carried_payload = job.shm_id == QZ_SHM_IN_MEMORY && call.staged_key.empty();
        call.remaining_ms = remaining_ms;
        call.extra_ms = extra_ms;
        calls.push_back(call);
        auto found = services.find(subject);
        if (found == services.end()) {
            snprintf(errbuf, QZ_SCAN_MESSAGE_SIZE, "NATS: no responders available for %s", subject);
            return nullptr;
        }
        const Script& script = found->second;
        if (script.delay_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(script.delay_ms));
        }
        if (script.json == nullptr) {
            snprintf(errbuf, QZ_SCAN_MESSAGE_SIZE, "%s",
                     script.failure != nullptr ? script.failure : "");
            return nullptr;
        }
        json_object* parsed = json_tokener_parse(script.json);
        if (parsed == nullptr) {
            snprintf(errbuf, QZ_SCAN_MESSAGE_SIZE, "NATS: reply from %s is not valid JSON",
                     subject);
        }
        return parsed;
    }

    std::vector<std::string> asked() const {
        std::vector<std::string> subjects;
        for (const Call& call : calls) subjects.push_back(call.subject);
        return subjects;
    }
};

constexpr const char* kClean =
    R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"ReturnCode":0,"File-name":"report.pdf"}]})";
constexpr const char* kMimePdf =
    R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"ReturnCode":0,"File-name":"report.pdf",
        "MIME-type":"application/pdf","MIME-encoding":"binary","File-type":"PDF document",
        "Extension":"pdf"}]})";
constexpr const char* kVirus =
    R"({"ReturnCode":-210,"FilesScanned":1,"Results":[{"ReturnCode":-210,"File-name":"report.pdf",
        "Virusname":"EICAR-Test-File"}]})";

TEST(ServiceLoop, VerdictsStopsAndFailuresAsATable) {
    struct Case {
        const char* name;
        std::vector<std::string> services;
        std::map<std::string, Script> scripts;
        VSA_RC code;
        int32_t rc;
        const char* error;
        std::vector<std::string> asked;
        int32_t nfiles;
    };
    const std::vector<std::string> two = {"qz-av-mimescan", "qz-av-dummy"};
    const std::vector<std::string> three = {"qz-av-mimescan", "qz-av-dummy", "qz-av-clamav"};
    const Case kCases[] = {
        {"clean and clean",
         two,
         {{"qz-av-mimescan", {kMimePdf}}, {"qz-av-dummy", {kClean}}},
         VSA_OK,
         0,
         "<null>",
         two,
         1},
        {"clean then virus",
         two,
         {{"qz-av-mimescan", {kMimePdf}}, {"qz-av-dummy", {kVirus}}},
         VSA_E_VIRUS_FOUND,
         -210,
         "<null>",
         two,
         1},
        {"a virus found first ends the scan; later engines are not asked",
         {"qz-av-dummy", "qz-av-clamav"},
         {{"qz-av-dummy", {kVirus}}, {"qz-av-clamav", {kClean}}},
         VSA_E_VIRUS_FOUND,
         -210,
         "<null>",
         {"qz-av-dummy"},
         1},
        {"a final clean verdict ends the scan clean",
         three,
         {{"qz-av-mimescan",
           {R"({"ReturnCode":1,"FilesScanned":1,"Results":[{"ReturnCode":1,"File-name":"report.pdf"}]})"}}},
         VSA_OK,
         1,
         "<null>",
         {"qz-av-mimescan"},
         1},
        {"blocked by policy",
         three,
         {{"qz-av-mimescan",
           {R"({"ReturnCode":-200,"FilesScanned":1,"Results":[{"ReturnCode":-200,"File-name":"report.pdf","Virusname":"MIME type application/x-dosexec is blocked"}]})"}}},
         VSA_E_BLOCKED_BY_POLICY,
         -200,
         "<null>",
         {"qz-av-mimescan"},
         1},
        {"active content",
         {"qz-av-dummy", "qz-av-clamav"},
         {{"qz-av-dummy",
           {R"({"ReturnCode":-202,"FilesScanned":1,"Results":[{"ReturnCode":-202,"File-name":"report.pdf","Virusname":"JavaScript"}]})"}}},
         VSA_E_ACTIVECONTENT_FOUND,
         -202,
         "<null>",
         {"qz-av-dummy"},
         1},
        {"a service error ends the scan as failed, with the worker's name; nothing after it runs",
         three,
         {{"qz-av-mimescan", {kMimePdf}},
          {"qz-av-dummy",
           {R"({"ReturnCode":-1000,"Error":"engine not loaded","WorkerHostname":"worker-3"})"}},
          {"qz-av-clamav", {kClean}}},
         VSA_E_SCAN_FAILED,
         -1000,
         "Service qz-av-dummy: engine not loaded",
         {"qz-av-mimescan", "qz-av-dummy"},
         1},
        {"no reply (time-out or a worker that died mid-job)",
         two,
         {{"qz-av-mimescan", {kMimePdf}},
          {"qz-av-dummy", {nullptr, "NATS: request to qz-av-dummy timed out after 5250 ms"}}},
         VSA_E_SCAN_FAILED,
         -1000,
         "Service qz-av-dummy: NATS: request to qz-av-dummy timed out after 5250 ms",
         two,
         1},
        {"a service nobody serves",
         {"qz-av-clamav"},
         {},
         VSA_E_SCAN_FAILED,
         -1000,
         "Service qz-av-clamav: NATS: no responders available for qz-av-clamav",
         {"qz-av-clamav"},
         0},
        {"malformed JSON",
         two,
         {{"qz-av-mimescan", {"{\"ReturnCode\":0,"}}},
         VSA_E_SCAN_FAILED,
         -1000,
         "Service qz-av-mimescan: NATS: reply from qz-av-mimescan is not valid JSON",
         {"qz-av-mimescan"},
         0},
        {"a member of the wrong type is no clean verdict",
         two,
         {{"qz-av-mimescan", {R"({"ReturnCode":"0","FilesScanned":0,"Results":[]})"}}},
         VSA_E_SCAN_FAILED,
         -1000,
         "Service qz-av-mimescan: Key ReturnCode is not an integer",
         {"qz-av-mimescan"},
         0},
        {"a file count above the results sent",
         two,
         {{"qz-av-mimescan",
           {R"({"ReturnCode":0,"FilesScanned":2,"Results":[{"File-name":"report.pdf"}]})"}}},
         VSA_E_SCAN_FAILED,
         -1000,
         "Service qz-av-mimescan: Failed to read File-name from JSON",
         {"qz-av-mimescan"},
         0},
        {"a reply without a return code",
         two,
         {{"qz-av-mimescan", {R"({"FilesScanned":0,"Results":[]})"}}},
         VSA_E_SCAN_FAILED,
         -1000,
         "Service qz-av-mimescan: Invalid returncode 1000",
         {"qz-av-mimescan"},
         0},
        {"an unknown return code",
         two,
         {{"qz-av-mimescan", {R"({"ReturnCode":5,"FilesScanned":0,"Results":[]})"}}},
         VSA_E_SCAN_FAILED,
         -1000,
         "Service qz-av-mimescan: Invalid returncode 5",
         {"qz-av-mimescan"},
         0},
        {"not completed without fallback",
         two,
         {{"qz-av-mimescan", {kMimePdf}},
          {"qz-av-dummy",
           {R"({"ReturnCode":-100,"Blocking-reason":"password protected","FilesScanned":0,"Results":[]})"}}},
         VSA_E_NOT_SCANNED,
         -100,
         "Service qz-av-dummy: password protected",
         two,
         1},
        {"a fallback answers for the primary",
         {"qz-av-sophos+clamav", "qz-av-dummy"},
         {{"qz-av-sophos",
           {R"({"ReturnCode":-100,"Blocking-reason":"busy","FilesScanned":0,"Results":[]})"}},
          {"qz-av-clamav", {kClean}},
          {"qz-av-dummy", {kClean}}},
         VSA_OK,
         0,
         "<null>",
         {"qz-av-sophos", "qz-av-clamav", "qz-av-dummy"},
         1},
        {"a fallback that fails keeps its own reason",
         {"qz-av-sophos+clamav"},
         {{"qz-av-sophos",
           {R"({"ReturnCode":-100,"Blocking-reason":"busy","FilesScanned":0,"Results":[]})"}},
          {"qz-av-clamav", {nullptr, "NATS: request to qz-av-clamav timed out after 250 ms"}}},
         VSA_E_SCAN_FAILED,
         -1000,
         "Service qz-av-sophos+clamav: NATS: request to qz-av-clamav timed out after 250 ms",
         {"qz-av-sophos", "qz-av-clamav"},
         0},
        {"a plus sign alone goes on with the next service",
         {"qz-av-sophos+", "qz-av-dummy"},
         {{"qz-av-sophos",
           {R"({"ReturnCode":-100,"Blocking-reason":"busy","FilesScanned":1,"Results":[{"ReturnCode":-100,"File-name":"report.pdf"}]})"}},
          {"qz-av-dummy", {kClean}}},
         VSA_OK,
         -100,
         "<null>",
         {"qz-av-sophos", "qz-av-dummy"},
         1},
        {"a clean top-level answer over an infected file is no clean scan",
         two,
         {{"qz-av-mimescan",
           {R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"ReturnCode":-210,"File-name":"report.pdf","Virusname":"V"}]})"}},
          {"qz-av-dummy", {R"({"ReturnCode":0,"FilesScanned":0,"Results":[]})"}}},
         VSA_E_VIRUS_FOUND,
         -210,
         "<null>",
         two,
         1},
        {"the control service is never asked",
         {"qz-av-control", "qz-av-dummy"},
         {{"qz-av-dummy", {kClean}}},
         VSA_OK,
         0,
         "<null>",
         {"qz-av-dummy"},
         1},
        {"no services: nothing asked, nothing staged",
         {},
         {},
         VSA_OK,
         SCAN_RESULT_UNSET,
         "<null>",
         {},
         0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ScanSetup setup;
        setup.set_services(c.services);
        setup.encode();
        ScriptedTransport transport;
        transport.services = c.scripts;
        char msgbuf[QZ_SCAN_MESSAGE_SIZE] = "";
        const VSA_RC code = qz::vsalib::loop_scan_services(setup.engine(), transport, setup.job(),
                                                           setup.result(), msgbuf);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(setup.result()->rc, c.rc);
        EXPECT_EQ(text(setup.result()->error_text), c.error);
        EXPECT_EQ(transport.asked(), c.asked);
        EXPECT_EQ(setup.result()->nfiles, c.nfiles);
        if (c.code == VSA_E_SCAN_FAILED || c.code == VSA_E_NOT_SCANNED) {
            EXPECT_EQ(std::string(msgbuf), c.error);
        }
        EXPECT_EQ(transport.staged, c.services.empty() ? 0 : 1);
    }
}

TEST(ServiceLoop, ServiceErrorNamesTheWorker) {
    ScanSetup setup;
    setup.set_services({"qz-av-dummy"});
    setup.encode();
    ScriptedTransport transport;
    transport.services["qz-av-dummy"] = {
        R"({"ReturnCode":-1000,"Error":"engine not loaded","WorkerHostname":"worker-3"})"};
    EXPECT_EQ(qz::vsalib::loop_scan_services(setup.engine(), transport, setup.job(), setup.result(),
                                             nullptr),
              VSA_E_SCAN_FAILED);
    EXPECT_STREQ(setup.result()->worker_hostname, "worker-3");
}

// The MIME scanner's findings reach every later service in the job, and an archive type
// doubles the transfer allowance of the services after it.
TEST(ServiceLoop, MimeFindingsAndArchiveAllowanceReachLaterServices) {
    ScanSetup setup;
    setup.set_store("SCANBANDWIDTH", "80");
    setup.set_payload(std::string(1000000, 'z'));
    setup.set_services({"qz-av-mimescan", "qz-av-dummy", "qz-av-clamav"});
    setup.encode();
    ScriptedTransport transport;
    transport.services["qz-av-mimescan"] = {
        R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"File-name":"report.pdf",
            "MIME-type":"application/zip","MIME-encoding":"binary","File-type":"Zip archive",
            "Extension":"zip"}]})"};
    transport.services["qz-av-dummy"] = {kClean};
    transport.services["qz-av-clamav"] = {kClean};
    ASSERT_EQ(qz::vsalib::loop_scan_services(setup.engine(), transport, setup.job(), setup.result(),
                                             nullptr),
              VSA_OK);
    ASSERT_EQ(transport.calls.size(), 3u);
    // 1,000,000 bytes at 80 Mbit/s: 100 ms, 200 ms once the object is known to be a zip.
    EXPECT_EQ(transport.calls[0].extra_ms, 100u);
    EXPECT_EQ(transport.calls[1].extra_ms, 200u);
    EXPECT_EQ(transport.calls[2].extra_ms, 200u);
    EXPECT_EQ(transport.stage_timeout, 5000u + 2 * 100u);

    JsonPtr before(json_tokener_parse(transport.calls[0].job_json.c_str()));
    json_object* value = nullptr;
    EXPECT_FALSE(json_object_object_get_ex(before.get(), "MIME-type", &value));
    for (size_t i = 1; i < 3; ++i) {
        JsonPtr doc(json_tokener_parse(transport.calls[i].job_json.c_str()));
        ASSERT_NE(doc, nullptr);
        auto member = [&](const char* key) {
            json_object* v = nullptr;
            return json_object_object_get_ex(doc.get(), key, &v)
                       ? std::string(json_object_get_string(v))
                       : std::string("<absent>");
        };
        EXPECT_EQ(member("MIME-type"), "application/zip");
        EXPECT_EQ(member("MIME-encoding"), "binary");
        EXPECT_EQ(member("File-type"), "Zip archive");
        EXPECT_EQ(member("Extension"), "zip");
    }
    // The MIME type found first is the one that stays in the consolidated entry.
    ASSERT_EQ(setup.result()->nfiles, 1);
    EXPECT_STREQ(setup.result()->files[0]->mime_type, "application/zip");
}

TEST(ServiceLoop, ServicesTheJobDoesNotNeedAreSkipped) {
    struct Case {
        const char* name;
        bool empty_object;
        const char* extract;         // SCANEXTRACT of the job, NULL: absent
        const char* active_content;  // CUST_ACTIVE_CONTENT of the job, NULL: absent
        std::vector<std::string> asked;
    };
    const std::vector<std::string> all = {"qz-av-mimescan", "qz-av-archiveextractor",
                                          "qz-av-activecontent", "qz-av-dummy"};
    const Case kCases[] = {
        {"everything asked for", false, "1", "1", all},
        {"no extraction, no active content", false, "0", "0", {"qz-av-mimescan", "qz-av-dummy"}},
        {"settings absent count as 0", false, nullptr, nullptr, {"qz-av-mimescan", "qz-av-dummy"}},
        {"an empty object goes to the MIME scanner only", true, "1", "1", {"qz-av-mimescan"}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ScanSetup setup;
        setup.set_services(all);
        if (c.empty_object) setup.set_no_payload();
        if (c.extract != nullptr) setup.set_job("SCANEXTRACT", c.extract);
        if (c.active_content != nullptr) setup.set_job("CUST_ACTIVE_CONTENT", c.active_content);
        setup.encode();
        ScriptedTransport transport;
        for (const std::string& name : all) transport.services[name] = {kClean};
        EXPECT_EQ(qz::vsalib::loop_scan_services(setup.engine(), transport, setup.job(),
                                                 setup.result(), nullptr),
                  VSA_OK);
        EXPECT_EQ(transport.asked(), c.asked);
        EXPECT_EQ(transport.staged, c.empty_object ? 0 : 1);
        for (const Call& call : transport.calls) EXPECT_FALSE(call.carried_payload);
    }
}

TEST(ServiceLoop, SapArchiveWithoutExtractionIsNotScanned) {
    ScanSetup setup;
    setup.set_services({"qz-av-mimescan", "qz-av-archiveextractor", "qz-av-dummy"});
    setup.set_job("SCANEXTRACT", "0");
    setup.encode();
    ScriptedTransport transport;
    transport.services["qz-av-mimescan"] = {
        R"({"ReturnCode":0,"FilesScanned":1,"Results":[{"File-name":"report.pdf","MIME-type":"application/sar"}]})"};
    transport.services["qz-av-dummy"] = {kClean};
    EXPECT_EQ(qz::vsalib::loop_scan_services(setup.engine(), transport, setup.job(), setup.result(),
                                             nullptr),
              VSA_E_NOT_SCANNED);
    EXPECT_EQ(transport.asked(), std::vector<std::string>{"qz-av-mimescan"});
    ASSERT_EQ(setup.result()->nfiles, 1);
    EXPECT_EQ(setup.result()->files[0]->rc, SCAN_NOT_COMPLETED);
}

TEST(ServiceLoop, ScanTimeUsedUpEndsTheScanAsFailed) {
    TraceCapture trace(QZ_LOG_INFO);
    ScanSetup setup;
    setup.set_store("SCANTIMEOUT", "40");
    setup.set_services({"qz-av-mimescan", "qz-av-dummy"});
    setup.encode();
    ScriptedTransport transport;
    transport.services["qz-av-mimescan"] = {kMimePdf, nullptr, 80};
    transport.services["qz-av-dummy"] = {kClean};
    EXPECT_EQ(qz::vsalib::loop_scan_services(setup.engine(), transport, setup.job(), setup.result(),
                                             nullptr),
              VSA_E_SCAN_FAILED);
    EXPECT_EQ(transport.asked(), std::vector<std::string>{"qz-av-mimescan"});
    EXPECT_EQ(setup.result()->rc, SCAN_ERROR);
    EXPECT_STREQ(setup.result()->error_text, "Service qz-av-mimescan: Client side timeout");
    EXPECT_LE(transport.calls[0].remaining_ms, 40u);
    EXPECT_TRUE(trace.contains("Returning 13 - 1 files scanned"));
}

TEST(ServiceLoop, MissingOrNegativeScanTimeoutAsksNobody) {
    for (const char* timeout : {static_cast<const char*>(nullptr), "-5"}) {
        SCOPED_TRACE(timeout != nullptr ? timeout : "absent");
        TraceCapture trace(QZ_LOG_INFO);
        ScanSetup setup;
        // A store of its own, without the setting or with a negative one.
        list_t* store = qz_config_new_list();
        if (timeout != nullptr) {
            ASSERT_EQ(StoreConfigParameter_String(store, "SCAN", "SCANTIMEOUT", timeout,
                                                  QZ_SOURCE_VSI_API),
                      0);
        }
        list_t* original = setup.engine()->config;
        setup.engine()->config = store;
        setup.encode();
        ScriptedTransport transport;
        transport.services["qz-av-mimescan"] = {kClean};
        char msgbuf[QZ_SCAN_MESSAGE_SIZE] = "";
        EXPECT_EQ(qz::vsalib::loop_scan_services(setup.engine(), transport, setup.job(),
                                                 setup.result(), msgbuf),
                  VSA_E_SCAN_FAILED);
        setup.engine()->config = original;
        qz_config_free_list(store);
        EXPECT_TRUE(transport.calls.empty());
        EXPECT_EQ(transport.staged, 0);
        EXPECT_EQ(setup.result()->rc, SCAN_RESULT_UNSET);
        EXPECT_STREQ(msgbuf, "Failed to retrieve scan timeout from configuration");
        EXPECT_TRUE(trace.contains("Failed to retrieve scan timeout from configuration"));
        EXPECT_TRUE(trace.contains("Returning 13 - 0 files scanned"));
    }
}

// ---------------------------------------------------------------------------------------------
// Staging once and the registry.

TEST(ServiceLoop, PayloadIsStagedOnceAndEveryServiceGetsItsKey) {
    ScanSetup setup;
    setup.set_services({"qz-av-mimescan", "qz-av-dummy"});
    setup.encode();
    ScriptedTransport transport;
    transport.services["qz-av-mimescan"] = {kMimePdf};
    transport.services["qz-av-dummy"] = {kClean};
    ASSERT_EQ(qz::vsalib::loop_scan_services(setup.engine(), transport, setup.job(), setup.result(),
                                             nullptr),
              VSA_OK);
    EXPECT_EQ(transport.staged, 1);
    ASSERT_EQ(transport.calls.size(), 2u);
    for (const Call& call : transport.calls) {
        EXPECT_EQ(call.staged_key, "scan-1-2-3");
        EXPECT_FALSE(call.carried_payload);
    }
    std::string key;
    ASSERT_TRUE(qz::vsalib::staged_key_of(setup.scaninfo(), &key));
    EXPECT_EQ(key, "scan-1-2-3");
    // The job borrows the registry's key.
    EXPECT_EQ(std::string(setup.job()->staged_key), key);
    EXPECT_TRUE(transport.unstaged.empty());
}

TEST(ServiceLoop, WithoutStagingEachRequestCarriesThePayload) {
    struct Case {
        const char* name;
        const char* key;
        int rc;
        const char* message;
        const char* traced;
    };
    const Case kCases[] = {
        {"staging failed", nullptr, -1, "NATS: failed to stage scan data in KV store",
         "loop_scan_services: staging unavailable (NATS: failed to stage scan data in KV store); "
         "using per-call transfer"},
        {"gateway: no key, no message", nullptr, 0, "", nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TraceCapture trace(QZ_LOG_DEBUG);
        ScanSetup setup;
        setup.set_services({"qz-av-mimescan", "qz-av-dummy"});
        setup.encode();
        ScriptedTransport transport;
        transport.stage_key = c.key;
        transport.stage_rc = c.rc;
        transport.stage_message = c.message;
        transport.services["qz-av-mimescan"] = {kMimePdf};
        transport.services["qz-av-dummy"] = {kClean};
        ASSERT_EQ(qz::vsalib::loop_scan_services(setup.engine(), transport, setup.job(),
                                                 setup.result(), nullptr),
                  VSA_OK);
        for (const Call& call : transport.calls) EXPECT_TRUE(call.carried_payload);
        EXPECT_FALSE(qz::vsalib::staged_key_of(setup.scaninfo(), nullptr));
        if (c.traced != nullptr) {
            EXPECT_TRUE(trace.contains(c.traced));
        }
        EXPECT_FALSE(trace.contains("staging unavailable ()"));
    }
}

// A staged payload that no record owns would only go by the bucket's time-to-live.
TEST(ServiceLoop, StagedPayloadWithoutOwnerIsDeletedAtOnce) {
    ScanSetup setup;
    setup.set_services({"qz-av-dummy"});
    setup.encode();
    setup.result()->scaninfo = nullptr;
    ScriptedTransport transport;
    transport.services["qz-av-dummy"] = {kClean};
    ASSERT_EQ(qz::vsalib::loop_scan_services(setup.engine(), transport, setup.job(), setup.result(),
                                             nullptr),
              VSA_OK);
    EXPECT_EQ(transport.unstaged, std::vector<std::string>{"scan-1-2-3"});
    ASSERT_EQ(transport.calls.size(), 1u);
    EXPECT_TRUE(transport.calls[0].carried_payload);
    EXPECT_EQ(setup.job()->staged_key, nullptr);
}

TEST(StagedRegistry, OneEntryPerRecordReleasedOnce) {
    TraceCapture trace(QZ_LOG_WARN);
    VSA_SCANINFO first{};
    VSA_SCANINFO second{};
    const size_t before = qz::vsalib::staged_entry_count();

    EXPECT_EQ(vsalib_staged_register(nullptr, strdup("k0")), nullptr);
    EXPECT_EQ(vsalib_staged_register(&first, nullptr), nullptr);
    const char* k1 = vsalib_staged_register(&first, strdup("k1"));
    ASSERT_NE(k1, nullptr);
    EXPECT_STREQ(k1, "k1");
    // A second key for the same record replaces (and frees) the first.
    const char* k2 = vsalib_staged_register(&first, strdup("k2"));
    EXPECT_STREQ(k2, "k2");
    EXPECT_NE(vsalib_staged_register(&second, strdup("k3")), nullptr);
    EXPECT_EQ(qz::vsalib::staged_entry_count(), before + 2);
    std::string key;
    ASSERT_TRUE(qz::vsalib::staged_key_of(&first, &key));
    EXPECT_EQ(key, "k2");

    vsalib_staged_release(nullptr, &first);
    EXPECT_FALSE(qz::vsalib::staged_key_of(&first, nullptr));
    // Releasing again, or a record without entry, or NULL, does nothing.
    vsalib_staged_release(nullptr, &first);
    vsalib_staged_release(nullptr, nullptr);
    EXPECT_EQ(qz::vsalib::staged_entry_count(), before + 1);
    vsalib_staged_release(nullptr, &second);
    EXPECT_EQ(qz::vsalib::staged_entry_count(), before);

    // No room for the entry: the key is dropped (freed) and the scan relies on the TTL.
    qz::scan::fail_allocations_after(0);
    EXPECT_EQ(vsalib_staged_register(&first, strdup("k4")), nullptr);
    qz::scan::fail_allocations_after(-1);
    EXPECT_TRUE(trace.contains("staged_registry: OOM registering key for scaninfo"));
    EXPECT_EQ(qz::vsalib::staged_entry_count(), before);
}

TEST(StagedRegistry, ManyThreadsRegisterAndReleaseTheirOwnRecords) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 500;
    const size_t before = qz::vsalib::staged_entry_count();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([] {
            VSA_SCANINFO records[8]{};
            for (int round = 0; round < kRounds; ++round) {
                VSA_SCANINFO* record = &records[round % 8];
                const std::string key = "key-" + std::to_string(round);
                const char* kept = vsalib_staged_register(record, strdup(key.c_str()));
                EXPECT_STREQ(kept, key.c_str());
                std::string seen;
                EXPECT_TRUE(qz::vsalib::staged_key_of(record, &seen));
                EXPECT_EQ(seen, key);
                vsalib_staged_release(nullptr, record);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(qz::vsalib::staged_entry_count(), before);
}

TEST(VsaReleaseScan, ReleasesTheRecordAndItsRegistryEntry) {
    TraceCapture trace(QZ_LOG_WARN);
    vsa_global g{};
    g.libInitialised = 1;

    EXPECT_EQ(vsalib_VsaReleaseScan(nullptr, nullptr), VSA_E_NULL_PARAM);
    EXPECT_TRUE(trace.contains("Invalid value for g (NULL)"));
    EXPECT_EQ(vsalib_VsaReleaseScan(nullptr, &g), VSA_E_NULL_PARAM);
    PVSA_SCANINFO empty = nullptr;
    EXPECT_EQ(vsalib_VsaReleaseScan(&empty, &g), VSA_E_NULL_PARAM);
    EXPECT_TRUE(trace.contains("Returning VSA_E_NULL_PARAM"));

    auto* record = static_cast<VSA_SCANINFO*>(calloc(1, sizeof(VSA_SCANINFO)));
    record->struct_size = QZ_SCANINFO_SIZE;
    ASSERT_NE(vsalib_staged_register(record, strdup("scan-a-b-c")), nullptr);

    // After shutdown nothing is touched: the record and its entry stay.
    g.libInitialised = 0;
    PVSA_SCANINFO place = record;
    EXPECT_EQ(vsalib_VsaReleaseScan(&place, &g), VSA_E_NOT_INITIALISED);
    EXPECT_EQ(place, record);
    EXPECT_TRUE(qz::vsalib::staged_key_of(record, nullptr));
    EXPECT_TRUE(trace.contains("Returning VSA_E_NOT_INITIALISED"));

    g.libInitialised = 1;
    EXPECT_EQ(vsalib_VsaReleaseScan(&place, &g), VSA_OK);
    EXPECT_EQ(place, nullptr);
    EXPECT_FALSE(qz::vsalib::staged_key_of(record, nullptr));
}

// ---------------------------------------------------------------------------------------------
// Quarantine without a broker: what is refused before anything is sent.

TEST(Quarantine, RefusedWithoutAVirusRecord) {
    TraceCapture trace(QZ_LOG_ERROR);
    ScanSetup setup;
    setup.encode();
    char* name = reinterpret_cast<char*>(0x1);
    EXPECT_EQ(vsalib_quarantine(setup.engine(), setup.job(), setup.result(), "ev",
                                "qz-av-quarantine.store", &name),
              -1);
    EXPECT_EQ(name, nullptr);
    EXPECT_TRUE(trace.contains("Invalid scan result"));
}

TEST(Quarantine, OnlyFindingsAndFailuresWithATargetAreQuarantined) {
    TraceCapture trace(QZ_LOG_INFO);
    ScanSetup setup;
    setup.encode();
    // Clean and cleaned scans: no attempt, the code stays.
    for (VSA_RC code : {VSA_OK, VSA_E_CLEANED}) {
        qz::vsalib::QuarantineOutcome outcome = qz::vsalib::quarantine_scanned_object(
            setup.engine(), setup.job(), setup.result(), code);
        EXPECT_EQ(outcome.code, code);
        EXPECT_FALSE(outcome.quarantined);
    }
    // A finding without a target: nothing to do.
    EXPECT_EQ(qz::vsalib::quarantine_scanned_object(setup.engine(), setup.job(), setup.result(),
                                                    VSA_E_VIRUS_FOUND)
                  .code,
              VSA_E_VIRUS_FOUND);
    // A scan proxy quarantines itself.
    setup.set_job("CLEANQUARANTINE", "store");
    ASSERT_EQ(StoreConfigParameter_String(setup.store(), "INIT", "INITENGINES",
                                          "mimescan;ScanProxy", QZ_SOURCE_VSI_API),
              0);
    EXPECT_EQ(qz::vsalib::quarantine_scanned_object(setup.engine(), setup.job(), setup.result(),
                                                    VSA_E_VIRUS_FOUND)
                  .code,
              VSA_E_VIRUS_FOUND);
    EXPECT_TRUE(trace.contains("Quarantine handled by scanproxy"));
    EXPECT_FALSE(trace.contains("Quarantining file..."));
}

}  // namespace
