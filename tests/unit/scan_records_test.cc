#include "scan/scan_records.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "log/log.h"
#include "scan/records_trace.h"
#include "scan/scan_alloc.h"
#include "support/temp_dir.h"

namespace {

using qztest::TraceCapture;

constexpr const char* kFreeText = "detected by vendrix Anti-Virus for SAP solutions";

struct File {
    int32_t rc;
    const char* name;
    const char* virus;  // nullptr: never set
    const char* error;
    uint64_t size;
};

char* copy(const char* text) { return text != nullptr ? strdup(text) : nullptr; }

// A consolidated scan result with its own scan information record, as scan handling links
// them; both released at the end.
class Scan {
  public:
    explicit Scan(const std::vector<File>& files) : result_(qzvsalib_new_engine_scan_result()) {
        scaninfo_ = static_cast<VSA_SCANINFO*>(calloc(1, sizeof(VSA_SCANINFO)));
        scaninfo_->struct_size = QZ_SCANINFO_SIZE;
        scaninfo_->uiJobID = 4711;
        result_->scaninfo = scaninfo_;
        result_->files =
            static_cast<qz_file_scan_result**>(calloc(files.size() + 1, sizeof(void*)));
        for (const File& f : files) {
            qz_file_scan_result* file = qzvsalib_new_file_scan_result();
            file->rc = f.rc;
            file->filename = copy(f.name);
            file->virusname = copy(f.virus);
            file->error = copy(f.error);
            file->mime_type = copy("application/octet-stream");
            file->mime_encoding = copy("binary");
            file->extension = copy("bin");
            file->file_type = copy("data");
            file->object_type = 9;
            file->filesize = f.size;
            result_->files[result_->nfiles++] = file;
        }
    }
    ~Scan() {
        if (scaninfo_ != nullptr) vsalib_FreeScanInfo(&scaninfo_);
        qzvsalib_free_engine_scan_result(result_, 1);
    }
    Scan(const Scan&) = delete;
    Scan& operator=(const Scan&) = delete;

    VSA_RC fill(const char* suffix = "") {
        return vsalib_fill_scaninfo(scaninfo_, result_, suffix);
    }
    const VSA_SCANINFO& info() const { return *scaninfo_; }

    qz_scan_result* result_;
    VSA_SCANINFO* scaninfo_;
};

// Every counted record exists and is complete.
void expect_consistent(const VSA_SCANINFO& s) {
    if (s.uiScanned > 0) {
        ASSERT_NE(s.pContentInfo, nullptr);
    }
    for (uint32_t i = 0; i < s.uiScanned; ++i) {
        EXPECT_EQ(s.pContentInfo[i].struct_size, 80u);
        EXPECT_NE(s.pContentInfo[i].pszObjectName, nullptr);
        EXPECT_NE(s.pContentInfo[i].pszCharSet, nullptr);
    }
    if (s.uiInfections > 0) {
        ASSERT_NE(s.pVirusInfo, nullptr);
    }
    for (uint32_t i = 0; i < s.uiInfections; ++i) {
        EXPECT_EQ(s.pVirusInfo[i].struct_size, 72u);
        EXPECT_NE(s.pVirusInfo[i].pszVirusName, nullptr);
        EXPECT_NE(s.pVirusInfo[i].pszObjectName, nullptr);
        EXPECT_NE(s.pVirusInfo[i].pszFreeTextInfo, nullptr);
    }
    if (s.uiScanErrors > 0) {
        ASSERT_NE(s.pScanError, nullptr);
    }
    for (uint32_t i = 0; i < s.uiScanErrors; ++i) EXPECT_EQ(s.pScanError[i].struct_size, 48u);
}

TEST(ScanRecords, ServiceCodesMapToVsaCodes) {
    struct Case {
        int32_t code;
        VSA_RC vsa;
        bool invalid;
    };
    const Case kCases[] = {
        {SCAN_OK, VSA_OK, false},
        {SCAN_OK_FINAL, VSA_OK, false},
        {SCAN_NOT_COMPLETED, VSA_E_NOT_SCANNED, false},
        {SCAN_CLEANED, VSA_E_CLEANED, false},
        {SCAN_BLOCKED_POLICY, VSA_E_BLOCKED_BY_POLICY, false},
        {SCAN_ACTIVE_CONTENT, VSA_E_ACTIVECONTENT_FOUND, false},
        {SCAN_VIRUS_FOUND, VSA_E_VIRUS_FOUND, false},
        {SCAN_ERROR, VSA_E_SCAN_FAILED, false},
        {SCAN_RESULT_UNSET, VSA_E_SCAN_FAILED, true},
        {5, VSA_E_SCAN_FAILED, true},
        {-201, VSA_E_SCAN_FAILED, true},
    };
    TraceCapture trace(QZ_LOG_ERROR);
    for (const Case& c : kCases) {
        trace.clear();
        EXPECT_EQ(qzvsalib_map_QZ_to_VSA_rc(c.code), c.vsa) << c.code;
        EXPECT_EQ(trace.contains("Invalid returncode " + std::to_string(c.code)), c.invalid)
            << c.code;
    }
}

TEST(ScanRecords, CleanFileGivesOneContentRecord) {
    Scan scan({{SCAN_OK, "C:\\in\\report.pdf", "", "", 1234}});
    EXPECT_EQ(scan.fill(), VSA_OK);
    const VSA_SCANINFO& s = scan.info();
    EXPECT_EQ(s.uiScanned, 1u);
    EXPECT_EQ(s.uiClean, 1u);
    EXPECT_EQ(s.uiInfections, 0u);
    EXPECT_EQ(s.uiScanErrors, 0u);
    EXPECT_EQ(s.uiNotScanned, 0u);
    EXPECT_EQ(s.pVirusInfo, nullptr);
    EXPECT_EQ(s.pScanError, nullptr);
    ASSERT_NE(s.pContentInfo, nullptr);
    const VSA_CONTENTINFO& c = s.pContentInfo[0];
    EXPECT_EQ(c.struct_size, 80u);
    EXPECT_EQ(c.uiJobID, 4711u);
    EXPECT_EQ(c.lObjectSize, 1234u);
    EXPECT_EQ(c.tObjectType, 9);
    EXPECT_STREQ(c.pszObjectName, "C:\\in\\report.pdf");
    EXPECT_STREQ(c.pszExtension, "bin");
    EXPECT_STREQ(c.pszContentType, "application/octet-stream");
    EXPECT_STREQ(c.pszCharSet, "binary");
    EXPECT_EQ(c.match_so, 0u);
    EXPECT_EQ(c.match_eo, 0u);
}

TEST(ScanRecords, AbsentFileTextsBecomeEmptyStrings) {
    Scan scan({{SCAN_VIRUS_FOUND, nullptr, nullptr, nullptr, 0}});
    free(scan.result_->files[0]->extension);
    scan.result_->files[0]->extension = nullptr;
    EXPECT_EQ(scan.fill(), VSA_E_VIRUS_FOUND);
    EXPECT_STREQ(scan.info().pContentInfo[0].pszObjectName, "");
    EXPECT_STREQ(scan.info().pContentInfo[0].pszExtension, "");
    EXPECT_STREQ(scan.info().pVirusInfo[0].pszObjectName, "");
    EXPECT_STREQ(scan.info().pVirusInfo[0].pszVirusName, "Unknown ");
}

TEST(ScanRecords, VirusFoundGivesAVirusRecord) {
    Scan scan({{SCAN_VIRUS_FOUND, "eicar.com", "Eicar-Test-Signature", "", 68}});
    EXPECT_EQ(scan.fill(), VSA_E_VIRUS_FOUND);
    const VSA_SCANINFO& s = scan.info();
    EXPECT_EQ(s.uiScanned, 1u);
    EXPECT_EQ(s.uiInfections, 1u);
    EXPECT_EQ(s.uiClean, 0u);
    const VSA_VIRUSINFO& v = s.pVirusInfo[0];
    EXPECT_EQ(v.struct_size, 72u);
    EXPECT_EQ(v.bRepairable, 0);
    EXPECT_EQ(v.tDetectType, 1);
    EXPECT_EQ(v.tVirusType, 1);
    EXPECT_EQ(v.tActionType, 6);
    EXPECT_EQ(v.tObjectType, 9);
    EXPECT_EQ(v.uiVirusID, 0u);
    EXPECT_EQ(v.uiJobID, 4711u);
    EXPECT_EQ(v.lObjectSize, 68u);
    EXPECT_STREQ(v.pszVirusName, "Eicar-Test-Signature ");
    EXPECT_STREQ(v.pszObjectName, "eicar.com");
    EXPECT_STREQ(v.pszFreeTextInfo, kFreeText);
}

TEST(ScanRecords, FindingsByCode) {
    struct Case {
        const char* name;
        std::vector<File> files;
        const char* suffix;
        VSA_RC rc;
        uint32_t clean, infections, not_scanned, errors;
        std::vector<int32_t> detect_types;
        std::vector<std::string> virus_names;
    };
    const Case kCases[] = {
        {"lowest code wins",
         {{0, "a", "", "", 1},
          {SCAN_ACTIVE_CONTENT, "b", "JS", "", 2},
          {SCAN_VIRUS_FOUND, "c", "Eicar", "", 3}},
         "",
         VSA_E_VIRUS_FOUND,
         1,
         2,
         0,
         0,
         {4, 1},
         {"JS ", "Eicar "}},
        {"policy block carries its reason, with the event id suffix",
         {{SCAN_BLOCKED_POLICY, "x.exe", "Extension blocked", "", 10}},
         " EventID:42",
         VSA_E_BLOCKED_BY_POLICY,
         0,
         1,
         0,
         0,
         {5},
         {"Extension blocked  EventID:42"}},
        {"policy block without a reason",
         {{SCAN_BLOCKED_POLICY, "x.exe", "", "", 10}},
         " EventID:42",
         VSA_E_BLOCKED_BY_POLICY,
         0,
         1,
         0,
         0,
         {5},
         {"Unknown  EventID:42"}},
        {"cleaned counts as clean",
         {{SCAN_CLEANED, "a", "", "", 1}},
         "",
         VSA_E_CLEANED,
         1,
         0,
         0,
         0,
         {},
         {}},
        {"final OK counts as clean",
         {{SCAN_OK_FINAL, "a", "", "", 1}, {0, "b", "", "", 1}},
         "",
         VSA_OK,
         2,
         0,
         0,
         0,
         {},
         {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Scan scan(c.files);
        EXPECT_EQ(scan.fill(c.suffix), c.rc);
        const VSA_SCANINFO& s = scan.info();
        EXPECT_EQ(s.uiScanned, c.files.size());
        EXPECT_EQ(s.uiClean, c.clean);
        EXPECT_EQ(s.uiInfections, c.infections);
        EXPECT_EQ(s.uiNotScanned, c.not_scanned);
        EXPECT_EQ(s.uiScanErrors, c.errors);
        for (size_t i = 0; i < c.detect_types.size(); ++i) {
            EXPECT_EQ(s.pVirusInfo[i].tDetectType, c.detect_types[i]);
            EXPECT_EQ(s.pVirusInfo[i].pszVirusName, c.virus_names[i]);
        }
        expect_consistent(s);
    }
}

TEST(ScanRecords, NotCompletedCountsAsNotScannedInfectionAndError) {
    Scan scan({{SCAN_NOT_COMPLETED, "data.sar", "", "", 500}});
    EXPECT_EQ(scan.fill(" EventID:7"), VSA_E_NOT_SCANNED);
    const VSA_SCANINFO& s = scan.info();
    EXPECT_EQ(s.uiNotScanned, 1u);
    EXPECT_EQ(s.uiInfections, 1u);
    EXPECT_EQ(s.uiScanErrors, 1u);
    EXPECT_EQ(s.uiClean, 0u);
    EXPECT_STREQ(s.pVirusInfo[0].pszVirusName, "Scan not completed  EventID:7");
    EXPECT_EQ(s.pVirusInfo[0].tDetectType, 0);
    const VSA_SCANERROR& e = s.pScanError[0];
    EXPECT_EQ(e.struct_size, 48u);
    EXPECT_EQ(e.uiJobID, 4711u);
    EXPECT_STREQ(e.pszObjectName, "data.sar");
    EXPECT_EQ(e.lObjectSize, 500u);
    EXPECT_EQ(e.iErrorRC, VSA_E_NOT_SCANNED);
    EXPECT_STREQ(e.pszErrorText, "");
}

TEST(ScanRecords, ServiceErrorStopsTheWalk) {
    Scan scan({{0, "a", "", "", 1},
               {SCAN_ERROR, "b", "", "decompression failed", 2},
               {SCAN_VIRUS_FOUND, "c", "Eicar", "", 3}});
    EXPECT_EQ(scan.fill(), VSA_E_SCAN_FAILED);
    const VSA_SCANINFO& s = scan.info();
    EXPECT_EQ(s.uiScanned, 3u);
    EXPECT_STREQ(s.pContentInfo[2].pszObjectName, "c");
    EXPECT_EQ(s.uiClean, 1u);
    EXPECT_EQ(s.uiInfections, 0u);
    ASSERT_EQ(s.uiScanErrors, 1u);
    EXPECT_EQ(s.pScanError[0].iErrorRC, VSA_E_SCAN_FAILED);
    EXPECT_STREQ(s.pScanError[0].pszErrorText, "decompression failed");
    EXPECT_STREQ(s.pScanError[0].pszObjectName, "b");
}

TEST(ScanRecords, UnknownFileCodeFailsTheScan) {
    TraceCapture trace(QZ_LOG_ERROR);
    Scan scan({{0, "a", "", "", 1}, {5, "b", "", "", 2}, {0, "c", "", "", 3}});
    EXPECT_EQ(scan.fill(), VSA_E_SCAN_FAILED);
    EXPECT_TRUE(trace.contains("Invalid returncode 5"));
    EXPECT_EQ(scan.info().uiClean, 1u);
    EXPECT_EQ(scan.info().uiScanned, 3u);
}

TEST(ScanRecords, NothingScannedAndInvalidArguments) {
    Scan scan({});
    EXPECT_EQ(scan.fill(), VSA_OK);
    EXPECT_EQ(scan.info().uiScanned, 0u);
    EXPECT_EQ(scan.info().pContentInfo, nullptr);
    EXPECT_EQ(vsalib_fill_scaninfo(nullptr, scan.result_, ""), SCAN_ERROR);
    EXPECT_EQ(vsalib_fill_scaninfo(scan.scaninfo_, nullptr, ""), SCAN_ERROR);
    EXPECT_EQ(vsalib_allocate_and_fill_contentinfo(nullptr), nullptr);
}

TEST(ScanRecords, ScanErrorRecordsAreAppended) {
    VSA_SCANINFO* s = static_cast<VSA_SCANINFO*>(calloc(1, sizeof(VSA_SCANINFO)));
    EXPECT_EQ(vsalib_reallocate_and_fill_scanerror(1, "a", 1, 13, "t", nullptr), 2);
    EXPECT_EQ(vsalib_reallocate_and_fill_scanerror(1, "a", 1, 13, "t", s), 2);
    EXPECT_EQ(s->uiScanErrors, 0u);
    s->uiScanErrors++;
    ASSERT_EQ(vsalib_reallocate_and_fill_scanerror(77, "first", 10, VSA_E_INVALID_SCANOBJECT,
                                                   "File x does not exist", s),
              0);
    s->uiScanErrors++;
    ASSERT_EQ(vsalib_reallocate_and_fill_scanerror(78, nullptr, 0, VSA_E_NOT_SUPPORTED, nullptr, s),
              0);
    ASSERT_EQ(s->uiScanErrors, 2u);
    EXPECT_EQ(s->pScanError[0].uiJobID, 77u);
    EXPECT_STREQ(s->pScanError[0].pszObjectName, "first");
    EXPECT_EQ(s->pScanError[0].iErrorRC, VSA_E_INVALID_SCANOBJECT);
    EXPECT_STREQ(s->pScanError[0].pszErrorText, "File x does not exist");
    EXPECT_EQ(s->pScanError[1].pszObjectName, nullptr);
    EXPECT_EQ(s->pScanError[1].pszErrorText, nullptr);
    EXPECT_EQ(s->pScanError[1].iErrorRC, VSA_E_NOT_SUPPORTED);
    vsalib_FreeScanInfo(&s);
    EXPECT_EQ(s, nullptr);
}

TEST(ScanRecords, SingleScanErrorIsReleased) {
    VSA_SCANINFO holder{};
    holder.uiScanErrors = 1;
    ASSERT_EQ(vsalib_reallocate_and_fill_scanerror(1, "name", 2, 3, "text", &holder), 0);
    VSA_SCANERROR* error = holder.pScanError;
    vsalib_FreeVSA_SCANERROR(&error);
    EXPECT_EQ(error, nullptr);
    vsalib_FreeVSA_SCANERROR(&error);
    vsalib_FreeVSA_SCANERROR(nullptr);
}

// Makes the n-th allocation fail for n = 0, 1, ... until a fill goes through, and checks after
// each that the counts match the records present; release (under ASan) then proves that
// nothing is lost and nothing freed twice.
TEST(ScanRecords, AllocationFailuresKeepCountsAndRecordsInStep) {
    const std::vector<File> files = {
        {0, "a", "", "", 1},
        {SCAN_VIRUS_FOUND, "b", "Eicar", "", 2},
        {SCAN_NOT_COMPLETED, "c", "not extracted", "", 3},
        {SCAN_BLOCKED_POLICY, "d", "", "", 4},
        {SCAN_ERROR, "e", "", "engine failed", 5},
    };
    TraceCapture trace(QZ_LOG_ERROR);
    bool completed = false;
    int failures = 0;
    for (int allowed = 0; allowed < 200 && !completed; ++allowed) {
        SCOPED_TRACE(allowed);
        Scan scan(files);
        qz::scan::fail_allocations_after(allowed);
        const VSA_RC rc = scan.fill();
        qz::scan::fail_allocations_after(-1);
        expect_consistent(scan.info());
        EXPECT_EQ(rc, VSA_E_SCAN_FAILED);
        const VSA_SCANINFO& s = scan.info();
        completed = s.uiScanned == 5 && s.uiInfections == 3 && s.uiScanErrors == 2;
        if (!completed) ++failures;
    }
    EXPECT_TRUE(completed);
    EXPECT_GT(failures, 10);
    EXPECT_TRUE(trace.contains("Failed to allocate Contentinfo"));
    EXPECT_TRUE(trace.contains("Failed to allocate virusinfo"));
    EXPECT_TRUE(trace.contains("Failed to create/fill scanerror struct"));
}

TEST(ScanRecords, ReleaseFunctionsTakeEverything) {
    TraceCapture trace(QZ_LOG_ERROR);
    VSA_SCANINFO* none = nullptr;
    vsalib_FreeScanInfo(&none);
    vsalib_FreeScanInfo(nullptr);
    EXPECT_TRUE(trace.contains("Invalid pointer ppscinfo"));

    auto* init = static_cast<VSA_INIT*>(calloc(1, sizeof(VSA_INIT)));
    init->struct_size = 88;
    init->usDriverCount = 2;
    init->pDriverInfo = static_cast<VSA_DRIVERINFO*>(calloc(2, sizeof(VSA_DRIVERINFO)));
    init->pDriverInfo[0].pszDriverName = strdup("qz-av-clamav");
    init->pDriverInfo[1].pszDriverName = strdup("qz-av-mimescan");
    init->pszLibraryText = strdup("library 4.0");
    init->pszErrorText = strdup("error");
    vsalib_FreeVSA_INIT(&init);
    EXPECT_EQ(init, nullptr);
    vsalib_FreeVSA_INIT(&init);
    EXPECT_TRUE(trace.contains("Invalid pointer pp_init"));

    auto* config = static_cast<VSA_CONFIG*>(calloc(1, sizeof(VSA_CONFIG)));
    config->pAdapterInfo = static_cast<VSA_ADAPTERINFO*>(calloc(1, sizeof(VSA_ADAPTERINFO)));
    config->pAdapterInfo->pszVendor = strdup("vendor");
    config->pAdapterInfo->pszVersionText = strdup("4.0");
    config->pInitParams = static_cast<VSA_INITPARAMS*>(calloc(1, sizeof(VSA_INITPARAMS)));
    config->pInitParams->usCount = 2;
    config->pInitParams->pParams = static_cast<VSA_INITPARAM*>(calloc(2, sizeof(VSA_INITPARAM)));
    config->pInitParams->pParams[0] = {32, VSA_INITDRIVERS, VSA_TYPE_STRING, 3, strdup("url")};
    config->pInitParams->pParams[1] = {32, VSA_INITTIMEOUT, VSA_TYPE_TIMEOUT, 4,
                                       reinterpret_cast<void*>(30)};
    // A list without its array.
    config->pOptParams = static_cast<VSA_OPTPARAMS*>(calloc(1, sizeof(VSA_OPTPARAMS)));
    vsalib_FreeVSA_CONFIG(&config);
    EXPECT_EQ(config, nullptr);
    vsalib_FreeVSA_CONFIG(&config);
    EXPECT_TRUE(trace.contains("Invalid pointer pp_config"));
}

TEST(ScanRecords, TraceDumpsNameEveryField) {
    Scan scan({{SCAN_NOT_COMPLETED, "data.sar", "not extracted", "", 500}});
    TraceCapture trace(QZ_LOG_TRACE);
    ASSERT_EQ(scan.fill(), VSA_E_NOT_SCANNED);
    EXPECT_TRUE(trace.contains("***** struct_size:          80"));
    EXPECT_TRUE(trace.contains("***** uiJobID :             4711"));
    EXPECT_TRUE(trace.contains("***** pszObjectName:        data.sar"));
    EXPECT_TRUE(trace.contains("Added VSA_CONTENTINFO # 0 for file \"data.sar\""));
    EXPECT_TRUE(
        trace.contains("Added VSA_VIRUSINFO for \"not extracted \" found in file \"data.sar\""));
    trace.clear();
    trace_VSA_SCANINFO(&scan.info());
    for (const char* line :
         {"VSA_SCANINFO", "uiScanned: 1", "uiNotScanned: 1", "uiInfections: 1", "uiScanErrors: 1",
          "VSA_CONTENTINFO #0", "    pszContentType: application/octet-stream", "VSA_VIRUSINFO #0",
          "    pszVirusName: not extracted ", "    tActionType: 6", "    VSA_SCANERROR #0",
          "    iErrorRC: 14", "    pszErrorText: not extracted", "pbBytesCleaned: (nil)",
          "lBytesCleaned: 0",
          "============================================================================"}) {
        EXPECT_TRUE(trace.contains(line)) << line;
    }
    trace.clear();
    trace_VSA_CONTENTINFO(scan.info().pContentInfo, 0);
    trace_VSA_VIRUSINFO(scan.info().pVirusInfo, -1);
    trace_VSA_SCANERROR(nullptr, 3);
    trace_VSA_SCANINFO(nullptr);
    EXPECT_EQ(trace.contents(), "");
}

TEST(ScanRecords, FormattedText) {
    std::unique_ptr<char, decltype(&free)> text(qz_sprintf("%s %s", "Eicar", ""), &free);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text.get(), "Eicar ");
    std::string long_text(5000, 'x');
    std::unique_ptr<char, decltype(&free)> big(qz_sprintf("%s!", long_text.c_str()), &free);
    EXPECT_EQ(std::string(big.get()), long_text + "!");
}

}  // namespace
