#include "scan/scan_result.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <memory>
#include <string>

#include "log/log.h"
#include "scan/scan_alloc.h"
#include "support/temp_dir.h"

namespace {

using qztest::TraceCapture;

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

struct ResultFree {
    void operator()(qz_scan_result* r) const { qzvsalib_free_engine_scan_result(r, 1); }
};
using ResultPtr = std::unique_ptr<qz_scan_result, ResultFree>;

// Parses text as a reply, reads it into a new result; keeps both.
struct Parsed {
    explicit Parsed(const char* text) : reply(json_tokener_parse(text)) {
        qz_scan_result* raw = nullptr;
        rc = qzvsalib_parse_scanresult_json(reply.get(), &raw, errbuf);
        result.reset(raw);
    }
    JsonPtr reply;
    ResultPtr result;
    char errbuf[QZ_SCAN_MESSAGE_SIZE] = "unset";
    int rc = 0;
};

// Every file record that nfiles counts exists.
void expect_consistent(const qz_scan_result* result) {
    ASSERT_GE(result->nfiles, 0);
    for (int32_t i = 0; i < result->nfiles; ++i) {
        ASSERT_NE(result->files, nullptr);
        ASSERT_NE(result->files[i], nullptr) << i;
        EXPECT_NE(result->files[i]->filename, nullptr);
    }
}

TEST(ScanResult, NewResultIsUnset) {
    ResultPtr result(qzvsalib_new_engine_scan_result());
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->rc, SCAN_RESULT_UNSET);
    EXPECT_EQ(result->nfiles, 0);
    EXPECT_EQ(result->files, nullptr);
    EXPECT_EQ(result->error_text, nullptr);
    qzvsalib_free_engine_scan_result(nullptr, 1);
    qzvsalib_free_file_scan_result(nullptr);
}

TEST(ScanResult, EveryMemberOfAFileEntryIsRead) {
    Parsed p(R"({"ReturnCode": -210, "FilesScanned": 2, "Results": [
        {"ReturnCode": 0, "File-name": "outer.zip", "MIME-type": "application/zip",
         "MIME-encoding": "binary", "File-type": "Zip archive data", "Extension": "zip",
         "Error": "", "Virusname": "", "Object-type": 12, "File-size": 4096},
        {"ReturnCode": -210, "File-name": "inner/eicar.com", "MIME-type": "text/plain",
         "MIME-encoding": "us-ascii", "File-type": "ASCII text", "Extension": "com",
         "Error": "none", "Virusname": "Eicar-Test-Signature", "Object-type": 3,
         "File-size": 68}]})");
    ASSERT_EQ(p.rc, 0) << p.errbuf;
    EXPECT_STREQ(p.errbuf, "");
    EXPECT_EQ(p.result->rc, SCAN_VIRUS_FOUND);
    ASSERT_EQ(p.result->nfiles, 2);
    const qz_file_scan_result& outer = *p.result->files[0];
    EXPECT_EQ(outer.rc, 0);
    EXPECT_STREQ(outer.filename, "outer.zip");
    EXPECT_STREQ(outer.mime_type, "application/zip");
    EXPECT_STREQ(outer.mime_encoding, "binary");
    EXPECT_STREQ(outer.file_type, "Zip archive data");
    EXPECT_STREQ(outer.extension, "zip");
    EXPECT_STREQ(outer.error, "");
    EXPECT_STREQ(outer.virusname, "");
    EXPECT_EQ(outer.object_type, 12);
    EXPECT_EQ(outer.filesize, 4096u);
    const qz_file_scan_result& inner = *p.result->files[1];
    EXPECT_EQ(inner.rc, SCAN_VIRUS_FOUND);
    EXPECT_STREQ(inner.filename, "inner/eicar.com");
    EXPECT_STREQ(inner.error, "none");
    EXPECT_STREQ(inner.virusname, "Eicar-Test-Signature");
    EXPECT_EQ(inner.object_type, 3);
    EXPECT_EQ(inner.filesize, 68u);
    EXPECT_EQ(p.result->error_text, nullptr);
}

TEST(ScanResult, MissingOptionalMembersTakeTheirDefaults) {
    TraceCapture trace(QZ_LOG_WARN);
    Parsed p(R"({"ReturnCode": 0, "FilesScanned": 1, "Results": [
        {"File-name": "a.txt", "Virusname": null}]})");
    ASSERT_EQ(p.rc, 0) << p.errbuf;
    ASSERT_EQ(p.result->nfiles, 1);
    const qz_file_scan_result& file = *p.result->files[0];
    EXPECT_EQ(file.rc, 0);
    for (const char* text : {file.mime_type, file.mime_encoding, file.file_type, file.extension,
                             file.error, file.virusname}) {
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "");
    }
    EXPECT_EQ(file.object_type, 0);
    EXPECT_EQ(file.filesize, 0u);
    for (const char* line : {"Object ReturnCode not found", "Object Object-type not found",
                             "Object File-size not found"}) {
        EXPECT_TRUE(trace.contains(line)) << line;
    }
}

TEST(ScanResult, RepliesAndTheirOutcome) {
    struct Case {
        const char* name;
        const char* json;
        int rc;
        const char* message;  // errbuf
        int32_t result_rc;
        int32_t nfiles;
    };
    const Case kCases[] = {
        {"no files", R"({"ReturnCode": 0, "FilesScanned": 0, "Results": []})", 0, "", 0, 0},
        {"no Results", R"({"ReturnCode": 0, "FilesScanned": 0})", -1, "Failed to get Results array",
         0, 0},
        {"more entries than announced are ignored",
         R"({"ReturnCode": 1, "FilesScanned": 1, "Results": [{"File-name": "a"},
            {"File-name": "b"}, {"File-name": "c"}]})",
         0, "", 1, 1},
        {"fewer entries than announced",
         R"({"ReturnCode": 0, "FilesScanned": 2, "Results": [{"File-name": "a"}]})", -1,
         "Failed to read File-name from JSON", 0, 1},
        {"announced far beyond the entries",
         R"({"ReturnCode": 0, "FilesScanned": 2147483647, "Results": [{"File-name": "a"}]})", -1,
         "Failed to read File-name from JSON", 0, 1},
        {"missing file name in the second entry",
         R"({"ReturnCode": 0, "FilesScanned": 2, "Results": [{"File-name": "a"},
            {"MIME-type": "text/plain"}]})",
         -1, "Failed to read File-name from JSON", 0, 1},
        {"empty file name",
         R"({"ReturnCode": 0, "FilesScanned": 1, "Results": [{"File-name": ""}]})", -1,
         "Key File-name found, but value is empty", 0, 0},
        {"no ReturnCode keeps the unset code",
         R"({"FilesScanned": 1, "Results": [{"File-name": "a"}]})", 0, "", 1000, 1},
        {"no FilesScanned reads nothing", R"({"ReturnCode": 0, "Results": [{"File-name": "a"}]})",
         0, "", 0, 0},
        {"empty object", "{}", -1, "Failed to get Results array", 1000, 0},
        {"malformed JSON", R"({"ReturnCode": 0, "FilesScanned": )", -1,
         "Reply is not a JSON object", 1000, 0},
        {"array instead of object", "[1, 2]", -1, "Reply is not a JSON object", 1000, 0},
        // Wrong member types fail instead of being read as 0, which would be a clean verdict.
        {"ReturnCode as text", R"({"ReturnCode": "x", "FilesScanned": 0, "Results": []})", -1,
         "Key ReturnCode is not an integer", 1000, 0},
        {"ReturnCode as number text", R"({"ReturnCode": "-210", "FilesScanned": 0, "Results": []})",
         -1, "Key ReturnCode is not an integer", 1000, 0},
        {"ReturnCode as fraction", R"({"ReturnCode": 0.5, "FilesScanned": 0, "Results": []})", -1,
         "Key ReturnCode is not an integer", 1000, 0},
        {"ReturnCode out of range",
         R"({"ReturnCode": 4294967296, "FilesScanned": 0, "Results": []})", -1,
         "Key ReturnCode has an invalid value", 1000, 0},
        {"FilesScanned as text", R"({"ReturnCode": 0, "FilesScanned": "1", "Results": []})", -1,
         "Key FilesScanned is not an integer", 0, 0},
        {"negative FilesScanned", R"({"ReturnCode": 0, "FilesScanned": -1, "Results": []})", -1,
         "Key FilesScanned has an invalid value", 0, 0},
        {"Results as object", R"({"ReturnCode": 0, "FilesScanned": 1, "Results": {"a": 1}})", -1,
         "Key Results is not an array", 0, 0},
        {"entry not an object", R"({"ReturnCode": 0, "FilesScanned": 1, "Results": ["a"]})", -1,
         "Entry 0 of Results is not an object", 0, 0},
        {"file ReturnCode as text",
         R"({"ReturnCode": 0, "FilesScanned": 1, "Results": [{"ReturnCode": "0", "File-name": "a"}]})",
         -1, "Key ReturnCode is not an integer", 0, 0},
        {"file name as number",
         R"({"ReturnCode": 0, "FilesScanned": 1, "Results": [{"File-name": 5}]})", -1,
         "Key File-name is not a string", 0, 0},
        {"MIME type as number",
         R"({"ReturnCode": 0, "FilesScanned": 1, "Results": [{"File-name": "a", "MIME-type": 3}]})",
         -1, "Key MIME-type is not a string", 0, 0},
        {"Virusname as array",
         R"({"ReturnCode": -210, "FilesScanned": 1, "Results": [{"File-name": "a", "Virusname": []}]})",
         -1, "Key Virusname is not a string", -210, 0},
        {"File-size as text",
         R"({"ReturnCode": 0, "FilesScanned": 1, "Results": [{"File-name": "a", "File-size": "10"}]})",
         -1, "Key File-size is not an integer", 0, 0},
        {"negative File-size",
         R"({"ReturnCode": 0, "FilesScanned": 1, "Results": [{"File-name": "a", "File-size": -5}]})",
         -1, "Key File-size has an invalid value", 0, 0},
        {"Object-type as bool",
         R"({"ReturnCode": 0, "FilesScanned": 1, "Results": [{"File-name": "a", "Object-type": true}]})",
         -1, "Key Object-type is not an integer", 0, 0},
    };
    TraceCapture trace(QZ_LOG_ERROR);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        trace.clear();
        Parsed p(c.json);
        EXPECT_EQ(p.rc, c.rc);
        EXPECT_STREQ(p.errbuf, c.message);
        if (c.rc != 0) {
            EXPECT_TRUE(trace.contains(c.message));
        }
        if (p.result == nullptr) {
            // Only a reply that is no object is refused before a result is made.
            EXPECT_EQ(std::string(c.message), "Reply is not a JSON object");
            continue;
        }
        EXPECT_EQ(p.result->rc, c.result_rc);
        EXPECT_EQ(p.result->nfiles, c.nfiles);
        expect_consistent(p.result.get());
    }
}

TEST(ScanResult, ErrorReplyCarriesTextAndWorkerButNoFiles) {
    Parsed p(R"({"ReturnCode": -1000, "Error": "engine crashed", "WorkerHostname": "worker-3",
                 "FilesScanned": 1, "Results": [{"File-name": "a", "ReturnCode": -210}]})");
    ASSERT_EQ(p.rc, 0) << p.errbuf;
    EXPECT_EQ(p.result->rc, SCAN_ERROR);
    EXPECT_STREQ(p.result->error_text, "engine crashed");
    EXPECT_STREQ(p.result->worker_hostname, "worker-3");
    EXPECT_EQ(p.result->nfiles, 0);

    struct Case {
        const char* json;
        int rc;
        const char* message;
        const char* worker;  // nullptr: none stored
    };
    const Case kCases[] = {
        {R"({"ReturnCode": -1000})", -1, "Failed to read Error from JSON", nullptr},
        {R"({"ReturnCode": -1000, "Error": ""})", -1, "Key Error found, but value is empty",
         nullptr},
        {R"({"ReturnCode": -1000, "Error": 17})", -1, "Key Error is not a string", nullptr},
        {R"({"ReturnCode": -1000, "Error": "x", "WorkerHostname": ""})", 0, "", nullptr},
        {R"({"ReturnCode": -1000, "Error": "x"})", 0, "", nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.json);
        Parsed q(c.json);
        EXPECT_EQ(q.rc, c.rc);
        EXPECT_STREQ(q.errbuf, c.message);
        ASSERT_NE(q.result, nullptr);
        EXPECT_EQ(q.result->rc, SCAN_ERROR);
        EXPECT_EQ(q.result->nfiles, 0);
        EXPECT_EQ(q.result->worker_hostname, c.worker);
    }
}

TEST(ScanResult, AbsentReturnCodeOnAnErrorResultReadsTheErrorAgain) {
    ResultPtr result(qzvsalib_new_engine_scan_result());
    result->rc = SCAN_ERROR;
    result->error_text = strdup("old");
    JsonPtr reply(json_tokener_parse(R"({"Error": "new reason"})"));
    qz_scan_result* raw = result.get();
    char errbuf[QZ_SCAN_MESSAGE_SIZE];
    ASSERT_EQ(qzvsalib_parse_scanresult_json(reply.get(), &raw, errbuf), 0) << errbuf;
    EXPECT_STREQ(result->error_text, "new reason");
}

TEST(ScanResult, FileSizeKeepsItsFullWidth) {
    Parsed p(R"({"ReturnCode": 0, "FilesScanned": 2, "Results": [
        {"File-name": "big.iso", "File-size": 5000000000},
        {"File-name": "edge.bin", "File-size": 2147483648}]})");
    ASSERT_EQ(p.rc, 0) << p.errbuf;
    EXPECT_EQ(p.result->files[0]->filesize, 5000000000ull);
    EXPECT_EQ(p.result->files[1]->filesize, 2147483648ull);
}

TEST(ScanResult, ReusedResultGetsItsFilesReplaced) {
    qz_scan_result* result = nullptr;
    JsonPtr first(json_tokener_parse(
        R"({"ReturnCode": 0, "FilesScanned": 2, "Results": [{"File-name": "a"}, {"File-name": "b"}]})"));
    JsonPtr second(json_tokener_parse(
        R"({"ReturnCode": -200, "FilesScanned": 1, "Results": [{"File-name": "c"}]})"));
    ASSERT_EQ(qzvsalib_parse_scanresult_json(first.get(), &result, nullptr), 0);
    ResultPtr owner(result);
    ASSERT_EQ(qzvsalib_parse_scanresult_json(second.get(), &result, nullptr), 0);
    ASSERT_EQ(result, owner.get());
    EXPECT_EQ(result->rc, SCAN_BLOCKED_POLICY);
    ASSERT_EQ(result->nfiles, 1);
    EXPECT_STREQ(result->files[0]->filename, "c");
    EXPECT_EQ(qzvsalib_parse_scanresult_json(first.get(), nullptr, nullptr), -1);
}

TEST(ScanResult, AllocationFailuresNeverLeaveACountAboveTheRecords) {
    const char* text = R"({"ReturnCode": -210, "FilesScanned": 3, "Results": [
        {"File-name": "a", "MIME-type": "text/plain", "Virusname": "v1"},
        {"File-name": "b", "Error": "e"},
        {"File-name": "c", "Extension": "exe", "ReturnCode": -210}]})";
    JsonPtr reply(json_tokener_parse(text));
    bool completed = false;
    for (int allowed = 0; allowed < 100 && !completed; ++allowed) {
        SCOPED_TRACE(allowed);
        qz_scan_result* result = nullptr;
        char errbuf[QZ_SCAN_MESSAGE_SIZE];
        qz::scan::fail_allocations_after(allowed);
        const int rc = qzvsalib_parse_scanresult_json(reply.get(), &result, errbuf);
        qz::scan::fail_allocations_after(-1);
        if (result != nullptr) {
            expect_consistent(result);
            if (rc != 0) {
                EXPECT_LT(result->nfiles, 3);
                EXPECT_NE(std::string(errbuf).find("Failed to allocate"), std::string::npos)
                    << errbuf;
            }
        } else {
            EXPECT_STREQ(errbuf, "Failed to allocate result struct");
        }
        completed = rc == 0;
        if (completed) {
            EXPECT_EQ(result->nfiles, 3);
        }
        qzvsalib_free_engine_scan_result(result, 1);
    }
    EXPECT_TRUE(completed);
}

TEST(ScanResult, BlockingReasonAndEngineVersions) {
    JsonPtr reply(json_tokener_parse(
        R"({"ReturnCode": -100, "Blocking-reason": "SAR archive not extracted",
            "Trellix-Engine-MajorVersion": 6, "Trellix-Engine-MinorVersion": 3,
            "Trellix-DAT-MajorVersion": 11000, "Trellix-DAT-MinorVersion": "x"})"));
    EXPECT_STREQ(qzvsalib_scanresult_blocking_reason(reply.get()), "SAR archive not extracted");
    JsonPtr plain(json_tokener_parse(R"({"ReturnCode": -100, "Blocking-reason": 3})"));
    EXPECT_STREQ(qzvsalib_scanresult_blocking_reason(plain.get()), "");
    EXPECT_STREQ(qzvsalib_scanresult_blocking_reason(nullptr), "");

    TraceCapture trace(QZ_LOG_WARN);
    ResultPtr result(qzvsalib_new_engine_scan_result());
    EXPECT_EQ(qzvsalib_parse_engine_versions(reply.get(), result.get()), -1);
    EXPECT_EQ(result->engine_major, 6);
    EXPECT_EQ(result->engine_minor, 3);
    EXPECT_EQ(result->dat_major, 11000);
    EXPECT_EQ(result->dat_minor, 0);
    EXPECT_EQ(qzvsalib_parse_engine_versions(plain.get(), result.get()), 0);
    EXPECT_TRUE(trace.contains("Object Trellix-Engine-MajorVersion not found"));
    EXPECT_EQ(result->engine_major, 6);
}

}  // namespace
