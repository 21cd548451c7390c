// The scan's events and scan log: how each verdict is classified (result text, reason, section,
// event, EPO record), and the message and event that one finished scan leaves in a real
// persistent queue, with the missing pieces that make it write nothing.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config_store.h"
#include "event/dispatcher.h"
#include "pqueue/pqueue.h"
#include "scan/scan_job.h"
#include "scan/scan_records.h"
#include "scan/scan_result.h"
#include "support/temp_dir.h"
#include "vsa_engine.h"
#include "vsalib_scan_log.h"

namespace {

using qz::vsalib::classify_scan_outcome;
using qz::vsalib::ScanLogInput;
using qz::vsalib::ScanLogOutcome;

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

TEST(ScanLog, EachVerdictHasItsResultTextSectionEventAndEpoRecord) {
    struct Case {
        int32_t rc;
        const char* error_text;
        const char* virus;
        bool quarantined;
        // expected
        const char* result_text;
        const char* reason_key;
        const char* reason;
        const char* section;
        int event_type;
        const char* event_error;
        const char* event_blocking;
        const char* event_message;
        int epo_id;  // 0: no EPO record
        const char* epo_text;
        const char* epo_category;
        const char* epo_type;
        const char* epo_action;
    };
    const Case kCases[] = {
        {SCAN_OK, nullptr, nullptr, false, "CLEAN", "Reason-Text", "", "", 1040, "", "",
         "File clean", 202953, "h.example/PRD: File clean", "ops.task.end", "none", "none"},
        {SCAN_OK_FINAL, nullptr, nullptr, false, "CLEAN", "Reason-Text", "", "", 1040, "", "",
         "File clean", 202953, "h.example/PRD: File clean", "ops.task.end", "none", "none"},
        {SCAN_ERROR, "Service qz-av-dummy: no reply", nullptr, false, "SCAN ERROR", "Message",
         "Service qz-av-dummy: no reply", "ErrorLog", 1050, "Service qz-av-dummy: no reply", "",
         "SCAN ERROR: Service qz-av-dummy: no reply", 202956,
         "h.example/PRD: Scan Error: Service qz-av-dummy: no reply", "ops.task.end", "none",
         "none"},
        {SCAN_CLEANED, nullptr, "Macro.Bad ##id-1", false, "FILE CLEANED", "Reason-Text",
         "Macro.Bad ", "BlockLog", 1080, "", "", "FILE CLEANED: Macro.Bad ", 0, "", "", "", ""},
        {SCAN_NOT_COMPLETED, "Service qz-av-x: busy", "ignored", false, "SCAN NOT COMPLETED",
         "Reason-Text", "Service qz-av-x: busy", "BlockLog", 1090, "Service qz-av-x: busy", "",
         "SCAN NOT COMPLETED: Service qz-av-x: busy", 202956,
         "h.example/PRD: Scan not completed: Service qz-av-x: busy", "ops.task.end", "none",
         "none"},
        {SCAN_NOT_COMPLETED, nullptr, "Encrypted ##id-2", false, "SCAN NOT COMPLETED",
         "Reason-Text", "Encrypted ", "BlockLog", 1090, "Encrypted ", "",
         "SCAN NOT COMPLETED: Encrypted ", 202956, "h.example/PRD: Scan not completed: Encrypted ",
         "ops.task.end", "none", "none"},
        {SCAN_NOT_COMPLETED, nullptr, nullptr, false, "SCAN NOT COMPLETED", "Reason-Text",
         "Scan could not be completed", "BlockLog", 1090, "Scan could not be completed", "",
         "SCAN NOT COMPLETED: Scan could not be completed", 202956,
         "h.example/PRD: Scan not completed: Scan could not be completed", "ops.task.end", "none",
         "none"},
        // The EPO text of a policy block keeps the suffix; the reason does not.
        {SCAN_BLOCKED_POLICY, nullptr, "Blocked MIME type ##id-3", false, "POLICY VIOLATION",
         "Reason-Text", "Blocked MIME type ", "BlockLog", 1060, "", "Blocked MIME type ",
         "POLICY VIOLATION: Blocked MIME type ", 202954,
         "h.example/PRD: Blocked MIME type ##id-3 found ", "policy.detect", "app", "blocked"},
        {SCAN_ACTIVE_CONTENT, nullptr, "JavaScript", true, "ACTIVE CONTENT", "Reason-Text",
         "JavaScript", "BlockLog", 1070, "", "JavaScript. Quarantined file q-17",
         "ACTIVE CONTENT: JavaScript. Quarantined file q-17", 202954,
         "h.example/PRD: JavaScript. Quarantined file q-17 ", "policy.detect", "app",
         "quarantined"},
        {SCAN_VIRUS_FOUND, nullptr, "EICAR-Test-File ", false, "MALWARE DETECTED", "Reason-Text",
         "EICAR-Test-File ", "BlockLog", 1060, "", "EICAR-Test-File ",
         "MALWARE DETECTED: EICAR-Test-File ", 202954, "h.example/PRD: EICAR-Test-File  found ",
         "av.detect", "app", "blocked"},
        {SCAN_VIRUS_FOUND, nullptr, "EICAR-Test-File ", true, "MALWARE DETECTED", "Reason-Text",
         "EICAR-Test-File ", "BlockLog", 1070, "", "EICAR-Test-File . Quarantined file q-17",
         "MALWARE DETECTED: EICAR-Test-File . Quarantined file q-17", 202954,
         "h.example/PRD: EICAR-Test-File . Quarantined file q-17 found ", "av.detect", "app",
         "quarantined"},
        {SCAN_VIRUS_FOUND, nullptr, nullptr, false, "MALWARE DETECTED", "Reason-Text",
         "MALWARE DETECTED", "BlockLog", 1060, "", "MALWARE DETECTED",
         "MALWARE DETECTED: MALWARE DETECTED", 202954, "h.example/PRD: MALWARE DETECTED found ",
         "av.detect", "app", "blocked"},
    };
    for (const Case& c : kCases) {
        ScanLogInput in;
        in.rc = c.rc;
        in.error_text = c.error_text;
        in.first_virus_name = c.virus;
        in.delimiter = "##";
        in.quarantined = c.quarantined;
        in.quarantine_name = "q-17";
        in.fqdn = "h.example";
        in.sid = "PRD";
        const ScanLogOutcome out = classify_scan_outcome(in);
        const std::string what = std::to_string(c.rc) + " " + (c.virus ? c.virus : "");
        EXPECT_EQ(out.result_text, c.result_text) << what;
        EXPECT_EQ(out.reason_key, c.reason_key) << what;
        EXPECT_EQ(out.reason, c.reason) << what;
        EXPECT_EQ(out.section, c.section) << what;
        EXPECT_EQ(out.event_type, c.event_type) << what;
        EXPECT_EQ(out.event_error, c.event_error) << what;
        EXPECT_EQ(out.event_blocking, c.event_blocking) << what;
        EXPECT_EQ(out.event_message, c.event_message) << what;
        EXPECT_EQ(out.epo, c.epo_id != 0) << what;
        if (c.epo_id == 0) continue;
        EXPECT_EQ(out.epo_event_id, c.epo_id) << what;
        EXPECT_EQ(out.epo_text, c.epo_text) << what;
        EXPECT_EQ(out.epo_category, c.epo_category) << what;
        EXPECT_EQ(out.epo_type, c.epo_type) << what;
        EXPECT_EQ(out.epo_action, c.epo_action) << what;
    }
}

TEST(ScanLog, AnEmptyDelimiterCutsNothing) {
    ScanLogInput in;
    in.rc = SCAN_VIRUS_FOUND;
    in.first_virus_name = "EICAR-Test-File  3f2c";
    in.delimiter = "";
    EXPECT_EQ(classify_scan_outcome(in).reason, "EICAR-Test-File  3f2c");
}

// A finished scan as vsaScan_create_logs sees it, over a real queue in a temporary directory.
class FinishedScan {
  public:
    FinishedScan() {
        QZ_InitializeCriticalSection(&g_.cs, 0);
        g_.config = qz_config_new_list();
        queue_ = qz_pqueue_open(dir_.path().c_str(), "VSA.pq", 100, 1000000, O_CREAT, 1);
        params_.pq = queue_;
        g_.logThreadParams = &params_;
        engine_.config = g_.config;
        engine_.global = &g_;
        engine_.SID = const_cast<char*>("PRD");
        engine_.FQDN = const_cast<char*>("host1.example.org");
        engine_.realmID = const_cast<char*>("realm-7");
        engine_.TenantID = const_cast<char*>("tenant-1");
        engine_.realmName = const_cast<char*>("Realm Seven");
        job_.scan_config = qz_config_new_list();
        job_.event_id = strdup("7d1f0c52-1d2a-11ef-9c1b-0242ac120002");
        job_.object_name = "invoice.pdf";
        job_.data_len = 5000000000ull;
        scaninfo_ = static_cast<VSA_SCANINFO*>(calloc(1, sizeof(VSA_SCANINFO)));
        scaninfo_->struct_size = QZ_SCANINFO_SIZE;
        result_ = qzvsalib_new_engine_scan_result();
        result_->scaninfo = scaninfo_;
    }
    ~FinishedScan() {
        vsalib_FreeScanInfo(&scaninfo_);
        qzvsalib_free_engine_scan_result(result_, 1);
        qz_scanjob_release(&job_);
        qz_pqueue_close(queue_);
        qz_config_free_list(g_.config);
        QZ_DeleteCriticalSection(&g_.cs);
    }

    // The scan found `virus` in one file of MIME type `mime` (code -210), as fill_scaninfo
    // leaves it.
    void found(const char* virus, const char* mime) {
        qz_file_scan_result* file = qzvsalib_new_file_scan_result();
        file->rc = SCAN_VIRUS_FOUND;
        file->filename = strdup("invoice.pdf");
        file->mime_type = strdup(mime);
        file->virusname = strdup(virus);
        result_->files = static_cast<qz_file_scan_result**>(calloc(1, sizeof file));
        result_->files[0] = file;
        result_->nfiles = 1;
        result_->rc = SCAN_VIRUS_FOUND;
        vsalib_fill_scaninfo(scaninfo_, result_, "");
    }
    void set(const char* section, const char* key, const char* value) {
        ASSERT_EQ(StoreConfigParameter_String(g_.config, section, key, value, QZ_SOURCE_VSI_API), 0);
    }
    void set_job(const char* key, const char* value) {
        ASSERT_EQ(
            StoreConfigParameter_String(job_.scan_config, "SCAN", key, value, QZ_SOURCE_VSI_API), 0);
    }
    void write(uint64_t duration_ms, bool quarantined = false, const char* name = nullptr) {
        vsaScan_create_logs(&g_, &engine_, &job_, result_, duration_ms, quarantined ? 1 : 0,
                            name);
    }
    // The oldest queued entry of the type, parsed; NULL when there is none.
    JsonPtr take(char type) {
        qz_pqueue_data* entry = qz_pqueue_pop(queue_, type);
        if (entry == nullptr) return nullptr;
        JsonPtr parsed(json_tokener_parse(entry->data));
        unlink(entry->path);
        qz_pqueue_data_free(entry);
        return parsed;
    }

    vsa_global g_{};
    VSA_ENGINE engine_{};
    qz_scanjob job_{};
    qz_scan_result* result_ = nullptr;
    VSA_SCANINFO* scaninfo_ = nullptr;

  private:
    qztest::TempDir dir_;
    qz_pqueue* queue_ = nullptr;
    logThreadParams params_{};
};

json_object* at(json_object* object, const char* key) {
    json_object* value = nullptr;
    return object != nullptr && json_object_object_get_ex(object, key, &value) ? value : nullptr;
}
std::string text_at(json_object* object, const char* key) {
    json_object* value = at(object, key);
    return value != nullptr ? json_object_get_string(value) : "<missing>";
}

TEST(ScanLog, CleanScanQueuesOneLogMessageWithoutVerdictSectionAndEventFileClean) {
    FinishedScan scan;
    scan.result_->rc = SCAN_OK;
    scan.write(42);

    JsonPtr log = scan.take('L');
    ASSERT_TRUE(log);
    EXPECT_FALSE(scan.take('L')) << "exactly one log message per scan";
    EXPECT_EQ(text_at(log.get(), "EventID"), "7d1f0c52-1d2a-11ef-9c1b-0242ac120002");
    EXPECT_EQ(text_at(log.get(), "Tenant"), "tenant-1");
    EXPECT_EQ(text_at(log.get(), "RealmName"), "Realm Seven");
    EXPECT_EQ(text_at(log.get(), "realmID"), "realm-7");
    EXPECT_EQ(at(log.get(), "BlockLog"), nullptr);
    EXPECT_EQ(at(log.get(), "ErrorLog"), nullptr);
    json_object* scanlog = at(log.get(), "ScanLog");
    ASSERT_NE(scanlog, nullptr);
    EXPECT_EQ(text_at(scanlog, "ScanLogPath"), "");
    json_object* data = at(scanlog, "LogData");
    EXPECT_EQ(text_at(data, "SID"), "PRD");
    EXPECT_EQ(text_at(data, "Filename"), "invoice.pdf");
    EXPECT_EQ(json_object_get_uint64(at(data, "File-size")), 5000000000ull);
    EXPECT_EQ(text_at(data, "MIME-type"), "application/x-empty");
    EXPECT_EQ(json_object_get_int64(at(data, "Duration")), 42);
    EXPECT_EQ(text_at(data, "Result-Text"), "CLEAN");
    EXPECT_EQ(text_at(data, "Reason-Text"), "");
    json_object* epo = at(at(log.get(), "EPOLog"), "LogData");
    EXPECT_EQ(json_object_get_int(at(epo, "EventID")), 202953);
    EXPECT_EQ(text_at(epo, "Threat-Name"), "host1.example.org/PRD: File clean");
    EXPECT_EQ(text_at(epo, "Lib-Version"), "");
    EXPECT_EQ(text_at(epo, "DAT-Version"), "");

    JsonPtr event = scan.take('E');
    ASSERT_TRUE(event);
    EXPECT_FALSE(scan.take('E'));
    EXPECT_EQ(text_at(event.get(), "SID"), "PRD");
    json_object* section = at(event.get(), "Event");
    EXPECT_EQ(json_object_get_int(at(section, "Type")), 1040);
    EXPECT_EQ(text_at(section, "Filename"), "invoice.pdf");
    EXPECT_EQ(text_at(section, "Event-Message"), "File clean");
    EXPECT_EQ(at(section, "Error"), nullptr);
    EXPECT_EQ(at(section, "Blocking-Reason"), nullptr);
}

TEST(ScanLog, QuarantinedVirusGoesToBlockLogAndScanLogWithTheExpandedPath) {
    FinishedScan scan;
    setenv("QZ_SCANLOG_TEST_DIR", "/var/log/scans", 1);
    scan.set("SCAN", "EVENT_ID_DELIMITER", "##");
    scan.set("INIT", "INITENGINES", "MIMESCAN;Trellix");
    scan.set_job("SCANLOGPATH", "$QZ_SCANLOG_TEST_DIR/scan.log");
    scan.result_->engine_major = 6;
    scan.result_->engine_minor = 1;
    scan.found("EICAR-Test-File ##7d1f0c52", "text/plain");
    scan.write(7, true, "q-0001");

    JsonPtr log = scan.take('L');
    ASSERT_TRUE(log);
    json_object* block = at(at(log.get(), "BlockLog"), "LogData");
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(text_at(block, "Result-Text"), "MALWARE DETECTED");
    EXPECT_EQ(text_at(block, "Reason-Text"), "EICAR-Test-File ");
    EXPECT_EQ(text_at(block, "MIME-type"), "text/plain");
    json_object* scanlog = at(log.get(), "ScanLog");
    EXPECT_EQ(text_at(scanlog, "ScanLogPath"), "/var/log/scans/scan.log");
    // The same data in both places.
    EXPECT_STREQ(json_object_to_json_string(at(scanlog, "LogData")),
                 json_object_to_json_string(block));
    json_object* epo = at(at(log.get(), "EPOLog"), "LogData");
    EXPECT_EQ(json_object_get_int(at(epo, "EventID")), 202954);
    EXPECT_EQ(text_at(epo, "Action-taken"), "quarantined");
    EXPECT_EQ(text_at(epo, "Lib-Version"), "6.1");
    EXPECT_EQ(text_at(epo, "DAT-Version"), "");

    JsonPtr event = scan.take('E');
    ASSERT_TRUE(event);
    json_object* section = at(event.get(), "Event");
    EXPECT_EQ(json_object_get_int(at(section, "Type")), 1070);
    EXPECT_EQ(text_at(section, "Blocking-Reason"), "EICAR-Test-File . Quarantined file q-0001");
    unsetenv("QZ_SCANLOG_TEST_DIR");
}

TEST(ScanLog, ScanErrorNamesTheWorker) {
    FinishedScan scan;
    scan.result_->rc = SCAN_ERROR;
    scan.result_->error_text = strdup("Service qz-av-dummy: engine down");
    scan.result_->worker_hostname = strdup("worker-3");
    scan.write(1);
    JsonPtr log = scan.take('L');
    ASSERT_TRUE(log);
    json_object* data = at(at(log.get(), "ErrorLog"), "LogData");
    EXPECT_EQ(text_at(data, "Result-Text"), "SCAN ERROR");
    EXPECT_EQ(text_at(data, "Message"), "Service qz-av-dummy: engine down");
    EXPECT_EQ(text_at(data, "WorkerHostname"), "worker-3");
    JsonPtr event = scan.take('E');
    ASSERT_TRUE(event);
    EXPECT_EQ(text_at(at(event.get(), "Event"), "Error"), "Service qz-av-dummy: engine down");
}

TEST(ScanLog, MissingPiecesWriteNothingAndABadLogPathDropsTheMessage) {
    {
        FinishedScan scan;
        scan.result_->rc = SCAN_OK;
        scan.engine_.FQDN = nullptr;
        qztest::TraceCapture trace;
        scan.write(1);
        EXPECT_FALSE(scan.take('L'));
        EXPECT_FALSE(scan.take('E'));
        EXPECT_TRUE(
            trace.contains("Invalid parameter: runtime or runtime->SID or runtime->FQDN is NULL"));
    }
    {
        FinishedScan scan;
        scan.result_->rc = SCAN_OK;
        scan.g_.logThreadParams = nullptr;
        qztest::TraceCapture trace;
        scan.write(1);
        EXPECT_TRUE(trace.contains(
            "Invalid parameter: g or g->logThreadParams or g->logThreadParams->pq is NULL"));
    }
    {
        FinishedScan scan;
        scan.result_->rc = SCAN_OK;
        unsetenv("QZ_SCANLOG_UNSET_VARIABLE");
        scan.set_job("SCANLOGPATH", "$QZ_SCANLOG_UNSET_VARIABLE/scan.log");
        qztest::TraceCapture trace;
        scan.write(1);
        EXPECT_FALSE(scan.take('L'));
        EXPECT_TRUE(scan.take('E')) << "the event goes before the scan log";
        EXPECT_TRUE(trace.contains("Failed to allocate scanlogpath_expanded"));
    }
}

}  // namespace
