// The pure rules of a scan request: the object's base name, the size limits, and what of the
// host's optional parameters reaches the per-scan configuration (wrong types, unknown codes,
// texts without NUL within their length, numbers wider than their type).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "scan/scan_config.h"
#include "support/temp_dir.h"
#include "vsalib_scan_request.h"

namespace {

using qz::vsalib::decide_by_size;
using qz::vsalib::object_base_name;
using qz::vsalib::OptionalParameters;
using qz::vsalib::SizeDecision;

TEST(ScanRequest, BaseNameIsTheTextAfterTheLastSlashOrBackslash) {
    struct Case {
        const char* name;
        const char* base;
    };
    const Case kCases[] = {
        {"report.pdf", "report.pdf"},
        {"/usr/sap/trans/data/report.pdf", "report.pdf"},
        {"C:\\temp\\upload\\report.pdf", "report.pdf"},
        {"/mixed\\dir/sub\\last.txt", "last.txt"},
        {"C:\\temp/under/unix.txt", "unix.txt"},
        {"dir/", ""},
        {"", ""},
        {"\\", ""},
        {nullptr, "empty_filename"},
    };
    for (const Case& c : kCases) {
        EXPECT_STREQ(object_base_name(c.name), c.base) << (c.name ? c.name : "(null)");
    }
}

TEST(ScanRequest, SizeLimitsCompareTheFullLengthAndIgnoreLimitsOfZeroOrLess) {
    struct Case {
        uint64_t length;
        long min, max;
        SizeDecision decision;
    };
    const Case kCases[] = {
        {99, 100, 0, SizeDecision::kBelowMinimum},
        {100, 100, 0, SizeDecision::kScan},
        {0, 1, 0, SizeDecision::kBelowMinimum},
        {0, 0, 0, SizeDecision::kScan},
        {101, 0, 100, SizeDecision::kAboveMaximum},
        {100, 0, 100, SizeDecision::kScan},
        {UINT64_MAX, 0, 0, SizeDecision::kScan},
        {UINT64_MAX, 0, -1, SizeDecision::kScan},
        // Past 4 GiB: no 32-bit truncation on the way.
        {(1ull << 32) + 5, 0, 1000, SizeDecision::kAboveMaximum},
        {(1ull << 32) + 5, 0, (1l << 33), SizeDecision::kScan},
        // A negative minimum read as unsigned would hold back every object unscanned.
        {5, -1, 0, SizeDecision::kScan},
        // The minimum is checked first.
        {50, 100, 10, SizeDecision::kBelowMinimum},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(decide_by_size(c.length, c.min, c.max), c.decision)
            << c.length << " min " << c.min << " max " << c.max;
    }
}

VSA_OPTPARAM number(uint32_t code, uintptr_t value, uint32_t type = VSA_TYPE_INTEGER) {
    VSA_OPTPARAM p{};
    p.struct_size = sizeof p;
    p.tCode = code;
    p.tType = type;
    p.lLength = type == VSA_TYPE_INTEGER64 ? 8 : 4;
    p.pvValue = reinterpret_cast<void*>(value);
    return p;
}

VSA_OPTPARAM text(uint32_t code, const char* value, size_t length, uint32_t type = VSA_TYPE_STRING) {
    VSA_OPTPARAM p{};
    p.struct_size = sizeof p;
    p.tCode = code;
    p.tType = type;
    p.lLength = length;
    p.pvValue = const_cast<char*>(value);
    return p;
}

// The per-scan configuration that the checked parameters give; "" for an absent key.
class Merged {
  public:
    explicit Merged(std::vector<VSA_OPTPARAM> entries) : entries_(std::move(entries)) {
        VSA_OPTPARAMS host{static_cast<uint16_t>(entries_.size()), entries_.data()};
        OptionalParameters checked(&host);
        refused_ = checked.refused();
        EXPECT_EQ(qz_scan_config_merge_request(config_, nullptr, checked.get()), VSA_OK);
    }
    ~Merged() { qz_config_free_list(config_); }
    std::string value(const char* key) const {
        const char* v = GetConfigParameter_String(config_, "SCAN", key);
        if (v != nullptr) return v;
        long n = 0;
        return GetConfigParameter_Long(config_, "SCAN", key, &n) == 0 ? std::to_string(n) : "";
    }
    size_t refused() const { return refused_; }

  private:
    std::vector<VSA_OPTPARAM> entries_;
    list_t* config_ = qz_config_new_list();
    size_t refused_ = 0;
};

TEST(ScanRequest, OptionalParametersReachTheScanConfigurationOnlyWhenSafeToRead) {
    // Texts that are not NUL-terminated where their length ends.
    static const char kUnterminated[8] = {'a', 'p', 'p', 'l', 'i', 'c', 'a', 't'};
    static const char kEarlyNul[] = "exe\0dll";
    struct Case {
        const char* what;
        std::vector<VSA_OPTPARAM> entries;
        const char* key;
        const char* value;  // "" when the key must stay absent
        size_t refused;
    };
    const Case kCases[] = {
        {"text within its length", {text(VSA_SCANEXTENSIONS, "pdf;txt", 7)}, "SCANEXTENSIONS",
         "pdf;txt", 0},
        {"text without NUL within its length is cut at the length",
         {text(VSA_BLOCKMIMETYPES, kUnterminated, 3)}, "BLOCKMIMETYPES", "app", 0},
        {"text with a NUL before its length ends there",
         {text(VSA_BLOCKEXTENSIONS, kEarlyNul, sizeof kEarlyNul - 1)}, "BLOCKEXTENSIONS", "exe",
         0},
        {"text of length 0 is absent", {text(VSA_SCANLOGPATH, "/var/log/x", 0)}, "SCANLOGPATH",
         "", 1},
        {"NULL text is absent", {text(VSA_SCANMIMETYPES, nullptr, 5)}, "SCANMIMETYPES", "", 0},
        {"text code with a number type is not read as an address",
         {number(VSA_SCANLOGPATH, 0x1234, VSA_TYPE_INTEGER)}, "SCANLOGPATH", "", 1},
        {"text code with a Boolean type", {number(VSA_CLEANQUARANTINE, 1, VSA_TYPE_BOOLEAN)},
         "CLEANQUARANTINE", "", 1},
        {"number code with a string type is not read as a number",
         {text(VSA_SCANEXTRACT_SIZE, "5000", 4)}, "SCANEXTRACT_SIZE", "", 1},
        {"32-bit number ignores the upper half of the field",
         {number(VSA_SCANEXTRACT_SIZE, 0xFFFFFFFF00000005ull, VSA_TYPE_INTEGER)},
         "SCANEXTRACT_SIZE", "5", 0},
        {"negative 32-bit number stays negative",
         {number(VSA_SCANEXTRACT_DEPTH, 0xFFFFFFFFull, VSA_TYPE_TIMEOUT)}, "SCANEXTRACT_DEPTH",
         "-1", 0},
        {"64-bit number keeps all its bits",
         {number(VSA_SCANEXTRACT_SIZE, 1ull << 40, VSA_TYPE_INTEGER64)}, "SCANEXTRACT_SIZE",
         "1099511627776", 0},
        {"Boolean read from the field", {number(VSA_SCANALLFILES, 1, VSA_TYPE_BOOLEAN)},
         "SCANALLFILES", "1", 0},
        {"Boolean with garbage above 32 bits is still 0",
         {number(VSA_SCANEXTRACT, 0x100000000ull, VSA_TYPE_BOOLEAN)}, "SCANEXTRACT", "0", 0},
        {"unknown code", {number(999, 1), text(4711, "x", 1)}, "SCANALLFILES", "", 0},
        {"code announced but not taken", {number(VSA_SCANANNOUNCED_103, 1)}, "SCANALLFILES", "",
         0},
        {"SCANBESTEFFORT then SCANEXTRACT 0 leaves SCANEXTRACT at 0",
         {number(VSA_SCANBESTEFFORT, 1), number(VSA_SCANEXTRACT, 0)}, "SCANEXTRACT", "0", 0},
        {"SCANBESTEFFORT sets SCANALLFILES", {number(VSA_SCANBESTEFFORT, 1)}, "SCANALLFILES", "1",
         0},
        {"CLEANQUARANTINE is cut at its colon", {text(VSA_CLEANQUARANTINE, "vault:secret", 12)},
         "CLEANQUARANTINE", "vault", 0},
        {"a refused entry does not stop the ones after it",
         {number(VSA_SCANMIMETYPES, 42), text(VSA_SCANMIMETYPES, "text/plain", 10)},
         "SCANMIMETYPES", "text/plain", 1},
    };
    for (const Case& c : kCases) {
        Merged merged(c.entries);
        EXPECT_EQ(merged.value(c.key), c.value) << c.what;
        EXPECT_EQ(merged.refused(), c.refused) << c.what;
    }
}

TEST(ScanRequest, NoOptionalParametersGiveAnEmptyList) {
    OptionalParameters none(nullptr);
    EXPECT_EQ(none.get()->usCount, 0u);
    EXPECT_EQ(none.get()->pParams, nullptr);
    VSA_OPTPARAM entry = number(VSA_SCANALLFILES, 1);
    VSA_OPTPARAMS list_without_array{1, nullptr};
    EXPECT_EQ(OptionalParameters(&list_without_array).get()->usCount, 0u);
    VSA_OPTPARAMS count_zero{0, &entry};
    EXPECT_EQ(OptionalParameters(&count_zero).get()->usCount, 0u);
}

TEST(ScanRequest, CheckedTextsAreCopiesThatOutliveTheHostsBuffer) {
    char buffer[16] = "text/html";
    VSA_OPTPARAM entry = text(VSA_BLOCKMIMETYPES, buffer, strlen(buffer));
    VSA_OPTPARAMS host{1, &entry};
    OptionalParameters checked(&host);
    memset(buffer, 'x', sizeof buffer);
    ASSERT_EQ(checked.get()->usCount, 1u);
    EXPECT_STREQ(static_cast<const char*>(checked.get()->pParams[0].pvValue), "text/html");
    EXPECT_EQ(checked.get()->pParams[0].lLength, 9u);
}

}  // namespace
