#include "scan/scan_job.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "config/config_store.h"
#include "log/log.h"
#include "platform/thread.h"
#include "support/temp_dir.h"

namespace {

using qztest::TraceCapture;

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

// A job over a request, with the store and the runtime view it is encoded against; releases
// everything at the end.
class Job {
  public:
    explicit Job(uint32_t action) : store_(qz_config_new_list()) {
        scanparam_.struct_size = sizeof scanparam_;
        scanparam_.tActioncode = action;
        job_.scanparam = &scanparam_;
        job_.scan_config = qz_config_new_list();
        job_.event_id = strdup("0b3c6f2e-1d2a-11ef-9c1b-0242ac120002");
        job_.object_name = "report.pdf";
        job_.data_len = 1234;
        job_.shm_id = QZ_SHM_IN_MEMORY;
        runtime_.config = store_;
        runtime_.realmID = "realm-7";
        runtime_.SID = "PRD";
        runtime_.FQDN = "host1.example.org";
        set_services({"qz-av-mimescan", "qz-av-clamav"});
    }
    ~Job() {
        qz_scanjob_release(&job_);
        qz_config_free_list(store_);
    }
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    void set_services(std::vector<std::string> names) {
        names_ = std::move(names);
        pointers_.clear();
        for (std::string& name : names_) pointers_.push_back(name.data());
        pointers_.push_back(nullptr);
        runtime_.services = pointers_.data();
    }
    int encode() {
        errbuf_[0] = 'x';
        return qzvsalib_EncodeScanjobToJSON(&runtime_, &job_, errbuf_);
    }
    // The rendered text parsed again, as a service reads it.
    JsonPtr wire() const { return JsonPtr(json_tokener_parse(job_.job_json)); }

    list_t* store_;
    VSA_SCANPARAM scanparam_{};
    qz_scanjob job_{};
    qz_scan_runtime runtime_{};
    char errbuf_[QZ_SCAN_MESSAGE_SIZE] = "";

  private:
    std::vector<std::string> names_;
    std::vector<char*> pointers_;
};

std::vector<std::pair<std::string, json_type>> members(json_object* doc) {
    std::vector<std::pair<std::string, json_type>> out;
    json_object_object_foreach(doc, key, value) {
        out.emplace_back(key, json_object_get_type(value));
    }
    return out;
}

std::string text(json_object* doc, const char* key) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(doc, key, &value)) return "<absent>";
    return json_object_get_string(value);
}

int64_t integer(json_object* doc, const char* key) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(doc, key, &value)) return -12345;
    return json_object_get_int64(value);
}

TEST(ScanJob, BufferJobMembersInOrderWithTheirTypes) {
    Job job(VSA_ACTION_SCAN);
    ASSERT_EQ(StoreConfigParameter_String(job.store_, "INIT", "INITSERVERS", "srv1;srv2",
                                          QZ_SOURCE_GLOBAL_CONFIG),
              0);
    ASSERT_EQ(
        StoreConfigParameter_Int(job.job_.scan_config, "SCAN", "SCANEXTRACT", 1, QZ_SOURCE_VSI_API),
        0);
    ASSERT_EQ(StoreConfigParameter_String(job.job_.scan_config, "SCAN", "BLOCKEXTENSIONS",
                                          "exe;com", QZ_SOURCE_GLOBAL_CONFIG),
              0);
    ASSERT_EQ(job.encode(), 0);
    EXPECT_STREQ(job.errbuf_, "");
    ASSERT_EQ(job.job_.job_json,
              json_object_to_json_string_ext(job.job_.job_doc, JSON_C_TO_STRING_PRETTY));
    JsonPtr doc = job.wire();
    ASSERT_NE(doc, nullptr);

    const std::vector<std::pair<std::string, json_type>> expected = {
        {"Command", json_type_int},
        {"realmID", json_type_string},
        {"SID", json_type_string},
        {"Hostname", json_type_string},
        {"EventID", json_type_string},
        {"PID", json_type_int},
        {"TID", json_type_int},
        {"Scan-Servers", json_type_string},
        {"shmID", json_type_string},
        {"ObjectName", json_type_string},
        {"ObjectLen", json_type_int},
        {"SCANEXTRACT", json_type_string},
        {"BLOCKEXTENSIONS", json_type_string},
        {"Services", json_type_string},
        {"Recursion", json_type_int},
    };
    EXPECT_EQ(members(doc.get()), expected);

    EXPECT_EQ(integer(doc.get(), "Command"), 101);
    EXPECT_EQ(text(doc.get(), "realmID"), "realm-7");
    EXPECT_EQ(text(doc.get(), "SID"), "PRD");
    EXPECT_EQ(text(doc.get(), "Hostname"), "host1.example.org");
    EXPECT_EQ(text(doc.get(), "EventID"), "0b3c6f2e-1d2a-11ef-9c1b-0242ac120002");
    EXPECT_EQ(integer(doc.get(), "PID"), static_cast<int64_t>(QZ_GetProcessId()));
    EXPECT_EQ(integer(doc.get(), "TID"), static_cast<int64_t>(QZ_GetThreadId()));
    EXPECT_EQ(text(doc.get(), "Scan-Servers"), "srv1;srv2");
    EXPECT_EQ(text(doc.get(), "shmID"), "0xffffffff");
    EXPECT_EQ(text(doc.get(), "ObjectName"), "report.pdf");
    EXPECT_EQ(integer(doc.get(), "ObjectLen"), 1234);
    EXPECT_EQ(text(doc.get(), "SCANEXTRACT"), "1");
    EXPECT_EQ(text(doc.get(), "BLOCKEXTENSIONS"), "exe;com");
    EXPECT_EQ(text(doc.get(), "Services"), "qz-av-mimescan;qz-av-clamav");
    EXPECT_EQ(integer(doc.get(), "Recursion"), 0);
}

TEST(ScanJob, CommandShmIdAndLengthFollowTheRequest) {
    struct Case {
        uint32_t action;
        int32_t shm_id;
        uint64_t length;
        int command;
        const char* shm_text;
    };
    const Case kCases[] = {
        {VSA_ACTION_SCAN, QZ_SHM_IN_MEMORY, 10, 101, "0xffffffff"},
        {VSA_ACTION_SCAN | VSA_ACTION_CLEAN, QZ_SHM_IN_MEMORY, 10, 102, "0xffffffff"},
        {VSA_ACTION_SCAN | VSA_ACTION_CHECK_MIME_TYPE | VSA_ACTION_ACTIVE_CONTENT, QZ_SHM_NONE, 0,
         101, "0x0"},
        // A file above 4 GiB keeps its full length on the wire.
        {VSA_ACTION_SCAN, QZ_SHM_IN_MEMORY, 5000000000ull, 101, "0xffffffff"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.action);
        Job job(c.action);
        job.job_.shm_id = c.shm_id;
        job.job_.data_len = c.length;
        ASSERT_EQ(job.encode(), 0);
        JsonPtr doc = job.wire();
        EXPECT_EQ(integer(doc.get(), "Command"), c.command);
        EXPECT_EQ(text(doc.get(), "shmID"), c.shm_text);
        json_object* length = nullptr;
        ASSERT_TRUE(json_object_object_get_ex(doc.get(), "ObjectLen", &length));
        EXPECT_EQ(json_object_get_uint64(length), c.length);
    }
}

TEST(ScanJob, ActionWithoutTheScanBitIsRefused) {
    TraceCapture trace(QZ_LOG_ERROR);
    for (uint32_t action : {0u, 1u, 8u, 16u, 25u}) {
        Job job(action);
        EXPECT_EQ(job.encode(), -1);
        EXPECT_EQ(std::string(job.errbuf_),
                  "Unsupported Scan Action Code " + std::to_string(action));
        EXPECT_EQ(job.job_.job_json, nullptr);
    }
    EXPECT_TRUE(trace.contains("Unsupported Scan Action Code 8"));
}

TEST(ScanJob, ScanParametersByFlagsAndSection) {
    TraceCapture trace(QZ_LOG_DEBUG);
    Job job(VSA_ACTION_SCAN);
    list_t* config = job.job_.scan_config;
    ASSERT_EQ(StoreConfigParameter_Int(config, "SCAN", "SCANEXTRACT_DEPTH", 5, QZ_SOURCE_VSI_API),
              0);
    ASSERT_EQ(StoreConfigParameter_String(config, "scan", "SCANLOGPATH", "C:\\logs\\scan",
                                          QZ_SOURCE_GLOBAL_CONFIG),
              0);
    ASSERT_EQ(StoreConfigParameter_String(config, "SCAN", "SCANMIMETYPES", "", QZ_SOURCE_DEFAULT),
              0);
    ASSERT_EQ(
        StoreConfigParameter_String(config, "ACTIVECONTENT", "CHECKPDF", "1", QZ_SOURCE_DEFAULT),
        0);
    // An integer kept without its text: the one case that travels as a JSON integer.
    ASSERT_EQ(StoreConfigParameter_Int(config, "SCAN", "SCANEXTRACT_SIZE", 1000, QZ_SOURCE_DEFAULT),
              0);
    auto* bare = static_cast<qz_config_parameter*>(list_get_at(config, list_size(config) - 1));
    free(bare->ptr);
    bare->ptr = nullptr;
    bare->flags = QZ_CONFIG_INT_VALID;

    ASSERT_EQ(job.encode(), 0);
    JsonPtr doc = job.wire();
    json_object* value = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(doc.get(), "SCANEXTRACT_DEPTH", &value));
    EXPECT_TRUE(json_object_is_type(value, json_type_string));
    EXPECT_STREQ(json_object_get_string(value), "5");
    EXPECT_EQ(text(doc.get(), "SCANLOGPATH"), "C:\\logs\\scan");
    ASSERT_TRUE(json_object_object_get_ex(doc.get(), "SCANEXTRACT_SIZE", &value));
    EXPECT_TRUE(json_object_is_type(value, json_type_int));
    EXPECT_EQ(json_object_get_int(value), 1000);
    EXPECT_EQ(text(doc.get(), "SCANMIMETYPES"), "<absent>");
    EXPECT_EQ(text(doc.get(), "CHECKPDF"), "<absent>");
    EXPECT_TRUE(trace.contains("Parameter SCANMIMETYPES has no value"));
    EXPECT_TRUE(trace.contains("Adding parameter SCANEXTRACT_SIZE = 1000 to scan request"));
    EXPECT_TRUE(trace.contains("Adding parameter SCANEXTRACT_DEPTH = 5  to scan request"));
    EXPECT_TRUE(trace.contains("Scan Request (JSON):\n{"));
}

TEST(ScanJob, ParameterNamedLikeADocumentMemberIsLeftOut) {
    TraceCapture trace(QZ_LOG_ERROR);
    Job job(VSA_ACTION_SCAN);
    for (const char* key : {"Command", "ObjectLen", "_kv_key"}) {
        ASSERT_EQ(StoreConfigParameter_String(job.job_.scan_config, "SCAN", key, "7",
                                              QZ_SOURCE_GLOBAL_CONFIG),
                  0);
    }
    ASSERT_EQ(job.encode(), 0);
    JsonPtr doc = job.wire();
    EXPECT_EQ(integer(doc.get(), "Command"), 101);
    EXPECT_EQ(integer(doc.get(), "ObjectLen"), 1234);
    EXPECT_EQ(text(doc.get(), "_kv_key"), "<absent>");
    EXPECT_TRUE(trace.contains("Parameter Command would replace a member of the scan request"));
}

TEST(ScanJob, ScanServersFromTheInitSection) {
    struct Case {
        const char* value;  // nullptr: not set
        const char* expected;
    };
    const Case kCases[] = {{"vs1:3300", "vs1:3300"}, {"", "n/a"}, {nullptr, "n/a"}};
    for (const Case& c : kCases) {
        Job job(VSA_ACTION_SCAN);
        if (c.value != nullptr) {
            ASSERT_EQ(StoreConfigParameter_String(job.store_, "INIT", "INITSERVERS", c.value,
                                                  QZ_SOURCE_VSI_API),
                      0);
        }
        QZ_CRITICAL_SECTION lock;
        ASSERT_EQ(QZ_InitializeCriticalSection(&lock, 0), 0);
        job.runtime_.config_lock = &lock;
        ASSERT_EQ(job.encode(), 0);
        EXPECT_EQ(text(job.wire().get(), "Scan-Servers"), c.expected);
        QZ_DeleteCriticalSection(&lock);
    }
}

TEST(ScanJob, ServicesLeaveOutControlAndWhatTheJobDoesNotNeed) {
    const std::vector<std::string> all = {"qz-av-control", "qz-av-mimescan",
                                          "qz-av-archiveextractor", "qz-av-activecontent",
                                          "qz-av-clamav"};
    struct Case {
        const char* extract;  // "SCANEXTRACT" text, nullptr: absent
        const char* active;   // "CUST_ACTIVE_CONTENT" text, nullptr: absent
        std::vector<std::string> services;
        const char* expected;
    };
    const Case kCases[] = {
        {"1", nullptr, all, "qz-av-mimescan;qz-av-archiveextractor;qz-av-clamav"},
        {"0", "1", all, "qz-av-mimescan;qz-av-activecontent;qz-av-clamav"},
        {nullptr, nullptr, all, "qz-av-mimescan;qz-av-clamav"},
        {"1", "1", all, "qz-av-mimescan;qz-av-archiveextractor;qz-av-activecontent;qz-av-clamav"},
        {"1",
         "1",
         {"QZ-AV-Control", "qz-av-MimeScan", "QZ-AV-ARCHIVEEXTRACTOR", "qz-av-sophos+clamav"},
         "qz-av-MimeScan;QZ-AV-ARCHIVEEXTRACTOR;qz-av-sophos+clamav"},
        {"1", "1", {}, ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.expected);
        Job job(VSA_ACTION_SCAN);
        job.set_services(c.services);
        if (c.extract != nullptr) {
            ASSERT_EQ(StoreConfigParameter_String(job.job_.scan_config, "SCAN", "SCANEXTRACT",
                                                  c.extract, QZ_SOURCE_VSI_API),
                      0);
        }
        if (c.active != nullptr) {
            ASSERT_EQ(
                StoreConfigParameter_String(job.job_.scan_config, "SCAN", "CUST_ACTIVE_CONTENT",
                                            c.active, QZ_SOURCE_VSI_API),
                0);
        }
        ASSERT_EQ(job.encode(), 0);
        EXPECT_EQ(text(job.wire().get(), "Services"), c.expected);
    }
}

TEST(ScanJob, ServicesTextIsCutAt1023Characters) {
    Job job(VSA_ACTION_SCAN);
    std::vector<std::string> many;
    for (int i = 0; i < 60; ++i) many.push_back("qz-av-engine" + std::to_string(i) + "-xxxx");
    job.set_services(many);
    ASSERT_EQ(job.encode(), 0);
    const std::string services = text(job.wire().get(), "Services");
    EXPECT_EQ(services.size(), 1023u);
    EXPECT_EQ(services.rfind("qz-av-engine0-xxxx;qz-av-engine1-xxxx", 0), 0u);
}

TEST(ScanJob, BusyScanConfigurationFailsTheEncoding) {
    TraceCapture trace(QZ_LOG_ERROR);
    Job job(VSA_ACTION_SCAN);
    ASSERT_EQ(list_iterator_start(job.job_.scan_config), 0);
    EXPECT_EQ(job.encode(), -1);
    EXPECT_STREQ(job.errbuf_, "Failed to start scan config iterator");
    EXPECT_TRUE(trace.contains("Failed to start scan config iterator"));
    list_iterator_stop(job.job_.scan_config);
}

TEST(ScanJob, TextsThatNeedEscapingSurviveTheWire) {
    const char* const kNames[] = {
        "quote\"d \\ back\\slash",
        "line\nbreak\ttab\x01"
        "ctl",
        "a/b/c.txt",
        "\xc3\xa4rger \xe2\x82\xac.doc",
        "{\"ReturnCode\": 0}",
    };
    for (const char* name : kNames) {
        SCOPED_TRACE(name);
        Job job(VSA_ACTION_SCAN);
        job.job_.object_name = name;
        ASSERT_EQ(StoreConfigParameter_String(job.job_.scan_config, "SCAN", "SCANEXTENSIONS", name,
                                              QZ_SOURCE_VSI_API),
                  0);
        ASSERT_EQ(job.encode(), 0);
        JsonPtr doc = job.wire();
        ASSERT_NE(doc, nullptr) << job.job_.job_json;
        EXPECT_EQ(text(doc.get(), "ObjectName"), name);
        EXPECT_EQ(text(doc.get(), "SCANEXTENSIONS"), name);
        EXPECT_EQ(members(doc.get()).size(), 14u);
    }
}

TEST(ScanJob, BaseNameIsTheTextAfterTheLastSlashOrBackslash) {
    struct Case {
        const char* name;
        const char* base;
    };
    const Case kCases[] = {
        {nullptr, "empty_filename"},
        {"report.pdf", "report.pdf"},
        {"C:\\data\\in\\report.pdf", "report.pdf"},
        {"/usr/sap/trans/report.pdf", "report.pdf"},
        {"C:\\mixed/dir\\sub/report.pdf", "report.pdf"},
        {"/dir/", ""},
        {"C:\\dir\\", ""},
        {"", ""},
    };
    for (const Case& c : kCases) {
        EXPECT_STREQ(qz_scanjob_object_base_name(c.name), c.base)
            << (c.name != nullptr ? c.name : "(null)");
    }
}

TEST(ScanJob, MimeFindingsAreAddedAndRenderedAgain) {
    Job job(VSA_ACTION_SCAN);
    ASSERT_EQ(job.encode(), 0);
    qz_file_scan_result first{};
    first.mime_type = const_cast<char*>("application/zip");
    first.mime_encoding = const_cast<char*>("binary");
    first.file_type = const_cast<char*>("Zip archive");
    first.extension = const_cast<char*>("zip");
    ASSERT_EQ(qz_scanjob_add_mime_findings(&job.job_, &first), 0);
    qz_file_scan_result second{};
    second.mime_type = const_cast<char*>("application/pdf");
    ASSERT_EQ(qz_scanjob_add_mime_findings(&job.job_, &second), 0);

    JsonPtr doc = job.wire();
    const auto order = members(doc.get());
    ASSERT_EQ(order.size(), 17u);
    EXPECT_EQ(order[13].first, "MIME-type");
    EXPECT_EQ(order[16].first, "Extension");
    EXPECT_EQ(text(doc.get(), "MIME-type"), "application/pdf");
    EXPECT_EQ(text(doc.get(), "MIME-encoding"), "");
    EXPECT_EQ(text(doc.get(), "Extension"), "");

    EXPECT_EQ(qz_scanjob_add_mime_findings(&job.job_, nullptr), -1);
}

TEST(ScanJob, DocumentIntegersAcceptNumericStrings) {
    TraceCapture trace(QZ_LOG_WARN);
    Job job(VSA_ACTION_SCAN);
    ASSERT_EQ(
        StoreConfigParameter_Int(job.job_.scan_config, "SCAN", "SCANEXTRACT", 1, QZ_SOURCE_VSI_API),
        0);
    ASSERT_EQ(job.encode(), 0);
    EXPECT_EQ(qz_scanjob_document_int(&job.job_, "SCANEXTRACT"), 1);
    EXPECT_EQ(qz_scanjob_document_int(&job.job_, "ObjectLen"), 1234);
    EXPECT_EQ(qz_scanjob_document_int(&job.job_, "CUST_ACTIVE_CONTENT"), 0);
    EXPECT_TRUE(trace.contains("Object CUST_ACTIVE_CONTENT not found"));
}

TEST(ScanJob, ReleaseClearsWhatTheJobOwns) {
    Job job(VSA_ACTION_SCAN);
    ASSERT_EQ(job.encode(), 0);
    qz_scanjob_release(&job.job_);
    EXPECT_EQ(job.job_.scan_config, nullptr);
    EXPECT_EQ(job.job_.event_id, nullptr);
    EXPECT_EQ(job.job_.job_doc, nullptr);
    EXPECT_EQ(job.job_.job_json, nullptr);
    EXPECT_NE(job.job_.scanparam, nullptr);
    qz_scanjob_release(&job.job_);
    qz_scanjob_release(nullptr);
}

TEST(ScanJob, InvalidArgumentsAreRefused) {
    Job job(VSA_ACTION_SCAN);
    char errbuf[QZ_SCAN_MESSAGE_SIZE];
    EXPECT_EQ(qzvsalib_EncodeScanjobToJSON(nullptr, &job.job_, errbuf), -1);
    EXPECT_STREQ(errbuf, "Invalid pointer runtime");
    EXPECT_EQ(qzvsalib_EncodeScanjobToJSON(&job.runtime_, nullptr, nullptr), -1);
    job.job_.scanparam = nullptr;
    EXPECT_EQ(qzvsalib_EncodeScanjobToJSON(&job.runtime_, &job.job_, errbuf), -1);
    EXPECT_STREQ(errbuf, "Invalid pointer job->scanparam");
}

}  // namespace
