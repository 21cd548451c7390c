#include "scan/scan_config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "log/log.h"
#include "scan/scan_alloc.h"
#include "support/temp_dir.h"

namespace {

using qztest::TraceCapture;

class List {
  public:
    explicit List(list_t* list) : list_(list) {}
    ~List() {
        if (list_ != nullptr) {
            if (list_->iter_active) list_iterator_stop(list_);
            qz_config_free_list(list_);
        }
    }
    List(const List&) = delete;
    List& operator=(const List&) = delete;
    operator list_t*() const { return list_; }

  private:
    list_t* list_;
};

VSA_OPTPARAM flag(uint32_t code, bool on) {
    return {sizeof(VSA_OPTPARAM), code, VSA_TYPE_BOOLEAN, 0,
            reinterpret_cast<void*>(static_cast<intptr_t>(on ? 1 : 0))};
}
VSA_OPTPARAM number(uint32_t code, long value) {
    return {sizeof(VSA_OPTPARAM), code, VSA_TYPE_INTEGER, 4,
            reinterpret_cast<void*>(static_cast<intptr_t>(value))};
}
VSA_OPTPARAM string(uint32_t code, const char* value) {
    return {sizeof(VSA_OPTPARAM), code, VSA_TYPE_STRING, value ? strlen(value) : 0,
            const_cast<char*>(value)};
}

std::string value(list_t* config, const char* key) {
    const char* text = GetConfigParameter_String(config, "SCAN", key);
    return text != nullptr ? text : "<absent>";
}

TEST(ScanConfig, CopyTakesScanAndActiveContentSectionsInAnyCase) {
    List store(qz_config_new_list());
    ASSERT_EQ(StoreConfigParameter_String(store, "SCAN", "SCANALLFILES", "1", 1), 0);
    ASSERT_EQ(StoreConfigParameter_String(store, "scan", "SCANLOGPATH", "/var/log", 1), 0);
    ASSERT_EQ(StoreConfigParameter_String(store, "ActiveContent", "CHECKPDF", "1", 1), 0);
    ASSERT_EQ(StoreConfigParameter_String(store, "INIT", "INITSERVERS", "x", 1), 0);
    ASSERT_EQ(StoreConfigParameter_String(store, "SCANNER", "OTHER", "x", 1), 0);
    QZ_CRITICAL_SECTION lock;
    ASSERT_EQ(QZ_InitializeCriticalSection(&lock, 0), 0);
    List copy(qz_scan_config_copy(store, &lock));
    QZ_DeleteCriticalSection(&lock);
    ASSERT_NE(static_cast<list_t*>(copy), nullptr);
    EXPECT_EQ(list_size(copy), 3u);
    EXPECT_STREQ(GetConfigParameter_String(copy, "SCAN", "SCANALLFILES"), "1");
    EXPECT_STREQ(GetConfigParameter_String(copy, "scan", "SCANLOGPATH"), "/var/log");
    EXPECT_STREQ(GetConfigParameter_String(copy, "ActiveContent", "CHECKPDF"), "1");
    EXPECT_EQ(GetConfigParameter_Source(copy, "SCAN", "SCANALLFILES"), 1);
    // The copy is the scan's own: the store changes nothing in it afterwards.
    ASSERT_EQ(StoreConfigParameter_String(store, "SCAN", "SCANALLFILES", "0", 5), 0);
    EXPECT_STREQ(GetConfigParameter_String(copy, "SCAN", "SCANALLFILES"), "1");
}

TEST(ScanConfig, CopyIsEmptyWhenTheStoreIsBusyOrMissing) {
    TraceCapture trace(QZ_LOG_WARN);
    List store(qz_config_new_list());
    ASSERT_EQ(StoreConfigParameter_String(store, "SCAN", "SCANALLFILES", "1", 1), 0);
    ASSERT_EQ(StoreConfigParameter_String(store, "SCAN", "SCANEXTRACT", "1", 1), 0);

    ASSERT_EQ(list_iterator_start(store), 0);
    List busy(qz_scan_config_copy(store, nullptr));
    list_iterator_stop(store);
    EXPECT_EQ(list_size(busy), 0u);

    List missing(qz_scan_config_copy(nullptr, nullptr));
    ASSERT_NE(static_cast<list_t*>(missing), nullptr);
    EXPECT_EQ(list_size(missing), 0u);
    EXPECT_TRUE(trace.contains("Parameter store busy; the scan configuration stays empty"));
}

TEST(ScanConfig, ActionBitsAndOptionalParametersAreMerged) {
    struct Case {
        const char* name;
        uint32_t action;
        std::vector<VSA_OPTPARAM> params;
        std::vector<std::pair<const char*, const char*>> expected;  // key, value or "<absent>"
    };
    const Case kCases[] = {
        {"action bits",
         VSA_ACTION_SCAN | VSA_ACTION_CHECK_MIME_TYPE | VSA_ACTION_ACTIVE_CONTENT,
         {},
         {{"CUST_CHECK_MIME_TYPE", "1"}, {"CUST_ACTIVE_CONTENT", "1"}}},
        {"no bits",
         VSA_ACTION_SCAN,
         {},
         {{"CUST_CHECK_MIME_TYPE", "<absent>"}, {"CUST_ACTIVE_CONTENT", "<absent>"}}},
        {"best effort sets all files and extract",
         VSA_ACTION_SCAN,
         {flag(VSA_SCANBESTEFFORT, true)},
         {{"SCANBESTEFFORT", "1"}, {"SCANALLFILES", "1"}, {"SCANEXTRACT", "1"}}},
        {"a later extract 0 overrides best effort",
         VSA_ACTION_SCAN,
         {flag(VSA_SCANBESTEFFORT, true), flag(VSA_SCANEXTRACT, false)},
         {{"SCANBESTEFFORT", "1"}, {"SCANEXTRACT", "0"}}},
        {"best effort 0",
         VSA_ACTION_SCAN,
         {flag(VSA_SCANBESTEFFORT, false)},
         {{"SCANBESTEFFORT", "0"}, {"SCANALLFILES", "<absent>"}}},
        {"flags and limits",
         VSA_ACTION_SCAN,
         {flag(VSA_SCANALLFILES, true), number(VSA_SCANEXTRACT_SIZE, 1048576),
          number(VSA_SCANEXTRACT_DEPTH, 0), number(VSA_SCANEXTRACT_RATIO, 50)},
         {{"SCANALLFILES", "1"},
          {"SCANEXTRACT_SIZE", "1048576"},
          {"SCANEXTRACT_DEPTH", "<absent>"},
          {"SCANEXTRACT_RATIO", "50"}}},
        {"strings; NULL counts as absent",
         VSA_ACTION_SCAN,
         {string(VSA_SCANEXTENSIONS, "pdf;doc"), string(VSA_SCANLOGPATH, nullptr),
          string(VSA_SCANMIMETYPES, "text/*"), string(VSA_BLOCKMIMETYPES, "application/x-ms*"),
          string(VSA_BLOCKEXTENSIONS, "exe")},
         {{"SCANEXTENSIONS", "pdf;doc"},
          {"SCANLOGPATH", "<absent>"},
          {"SCANMIMETYPES", "text/*"},
          {"BLOCKMIMETYPES", "application/x-ms*"},
          {"BLOCKEXTENSIONS", "exe"}}},
        {"quarantine target is cut at its first colon",
         VSA_ACTION_SCAN,
         {string(VSA_CLEANQUARANTINE, "/quarantine/box:secretkey:more")},
         {{"CLEANQUARANTINE", "/quarantine/box"}}},
        {"unknown codes are ignored",
         VSA_ACTION_SCAN,
         {number(VSA_SCANANNOUNCED_103, 7), number(999, 1)},
         {{"SCANALLFILES", "<absent>"}}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        List config(qz_config_new_list());
        VSA_SCANPARAM request{};
        request.tActioncode = c.action;
        std::vector<VSA_OPTPARAM> params = c.params;
        VSA_OPTPARAMS list{static_cast<uint16_t>(params.size()), params.data()};
        ASSERT_EQ(qz_scan_config_merge_request(config, &request, &list), VSA_OK);
        for (const auto& [key, expected] : c.expected) {
            EXPECT_EQ(value(config, key), expected) << key;
            if (std::string(expected) != "<absent>") {
                EXPECT_EQ(GetConfigParameter_Source(config, "SCAN", key), QZ_SOURCE_VSI_API);
            }
        }
    }
}

TEST(ScanConfig, QuarantineKeyNeverReachesTheTrace) {
    TraceCapture trace(QZ_LOG_TRACE);
    List config(qz_config_new_list());
    VSA_OPTPARAM param = string(VSA_CLEANQUARANTINE, "box:topsecret");
    VSA_OPTPARAMS list{1, &param};
    ASSERT_EQ(qz_scan_config_merge_request(config, nullptr, &list), VSA_OK);
    EXPECT_TRUE(trace.contains("Got CLEANQUARANTINE with encryption key, ignoring it"));
    EXPECT_TRUE(trace.contains("Got CLEANQUARANTINE = box from VSI"));
    EXPECT_FALSE(trace.contains("topsecret"));
}

TEST(ScanConfig, FailedMergeAnswersInvalidParameter) {
    TraceCapture trace(QZ_LOG_ERROR);
    struct Case {
        VSA_OPTPARAM param;
        const char* line;
    };
    const Case kCases[] = {
        {string(VSA_SCANEXTENSIONS, "pdf"), "Failed to merge SCANEXTENSIONS into scan config"},
        {string(VSA_BLOCKEXTENSIONS, "exe"), "Failed to merge BLOCKEXTANDIONS into scan config"},
        {number(VSA_SCANEXTRACT_SIZE, 10),
         "Failed to merge SCANEXTRACT_SIZE = 10  into scan config"},
        {flag(VSA_SCANEXTRACT, false), "Failed to merge SCANEXTRACT = 0 into scan config"},
        {flag(VSA_SCANBESTEFFORT, true), "Failed to merge SCANBESTEFFORT into scan config"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.line);
        trace.clear();
        List config(qz_config_new_list());
        // A list whose iterator is taken refuses every store.
        ASSERT_EQ(list_iterator_start(config), 0);
        VSA_OPTPARAM param = c.param;
        VSA_OPTPARAMS list{1, &param};
        EXPECT_EQ(qz_scan_config_merge_request(config, nullptr, &list), VSA_E_INVALID_PARAM);
        EXPECT_TRUE(trace.contains(c.line));
        EXPECT_TRUE(trace.contains("Failed to merge scanjob with con parameters"));
    }
    trace.clear();
    List config(qz_config_new_list());
    VSA_OPTPARAM param = string(VSA_CLEANQUARANTINE, "box");
    VSA_OPTPARAMS list{1, &param};
    qz::scan::fail_allocations_after(0);
    EXPECT_EQ(qz_scan_config_merge_request(config, nullptr, &list), VSA_E_INVALID_PARAM);
    qz::scan::fail_allocations_after(-1);
    EXPECT_TRUE(trace.contains("Failed to allocate cleanquarantine"));
    EXPECT_EQ(qz_scan_config_merge_request(nullptr, nullptr, nullptr), VSA_E_INVALID_PARAM);
}

}  // namespace
