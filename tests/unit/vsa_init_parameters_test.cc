// The host's init parameters as VsaInit takes them: extraction into the store, the directory
// checks and the required parameters, driven through the real adapter with the test
// implementation staged. One table of cases; each runs in a fresh adapter.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "support/temp_dir.h"
#include "support/vsa_host.h"

namespace {

namespace fs = std::filesystem;
using qztest::InitParams;
using qztest::VsaHost;
using qztest::VsaHostOptions;

// A read-only tmpfs for the "not writable" case; root passes every permission check, a
// read-only file system it cannot. available() is false where mounting is not permitted.
class ReadOnlyMount {
  public:
    ReadOnlyMount(const std::string& path, bool wanted) : path_(path) {
        if (!wanted) return;
        fs::create_directories(path_);
        mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", MS_RDONLY, "size=64k") == 0;
    }
    ~ReadOnlyMount() {
        if (mounted_) umount(path_.c_str());
    }
    ReadOnlyMount(const ReadOnlyMount&) = delete;
    ReadOnlyMount& operator=(const ReadOnlyMount&) = delete;
    bool available() const { return mounted_; }

  private:
    std::string path_;
    bool mounted_ = false;
};

// One record of the host's list. Texts may hold {base} (the installation directory), {temp}
// (the test's directory), {file} (a regular file), {rel} (the installation directory relative to
// the working directory) and {ro} (a read-only directory).
struct Param {
    enum Kind { kText, kNumber, kNullValue, kEmptyText, kNumberForText, kCutText } kind;
    uint32_t code;
    std::string text;
    int64_t number = 0;
    size_t length = 0;
};
Param Text(uint32_t code, std::string text) { return {Param::kText, code, std::move(text)}; }
Param Number(uint32_t code, int64_t number) { return {Param::kNumber, code, "", number}; }
Param NullValue(uint32_t code) { return {Param::kNullValue, code, ""}; }
Param EmptyText(uint32_t code) { return {Param::kEmptyText, code, ""}; }
Param NumberForText(uint32_t code, int64_t number) {
    return {Param::kNumberForText, code, "", number};
}
// A text whose stated length is shorter than the text.
Param CutText(uint32_t code, std::string text, size_t length) {
    return {Param::kCutText, code, std::move(text), 0, length};
}

constexpr const char* kAbsent = "<absent>";

struct Stored {
    const char* section;
    const char* key;
    std::string value;  // kAbsent: not in the store
    int source = -1;    // checked when not -1
};

struct Line {
    int level;
    const char* function;
    std::string text;
};

enum class List { kBaseThenCase, kCaseOnly, kNone };

struct Case {
    const char* name;
    std::vector<Param> params;
    VSA_RC rc;
    std::string error_text;  // "" when the handle carries none
    std::vector<Stored> stored;
    std::vector<Line> lines;
    List list = List::kBaseThenCase;
    std::string config = {};          // appended to the configuration file
    std::vector<Stored> preset = {};  // stored with source "VSI API" before VsaInit
    bool needs_read_only = false;
};

constexpr const char* kExtract = "vsawrapper_ExtractInitParameters";
constexpr const char* kValidate = "vsawrapper_ValidateInitParameters";
constexpr const char* kRequired = "vsawrapper_HaveRequiredParams";
constexpr int kHost = QZ_SOURCE_VSI_API;

std::vector<Case> cases() {
    return {
        {"broker and proxy",
         {Text(VSA_INITDRIVERS, "nats://h:4222;PX=http://proxy:3128")},
         VSA_OK,
         "",
         {{"GLOBAL", "BROKER", "nats://h:4222", kHost}, {"GLOBAL", "PROXY", "http://proxy:3128"}},
         {{QZ_LOG_TRACE, kExtract, "Parsing nats://h:4222;PX=http://proxy:3128 for INITDRIVERS"}}},
        {"broker stops before /SHM",
         {Text(VSA_INITDRIVERS, "nats://h:4222/SHM/segment")},
         VSA_OK,
         "",
         {{"GLOBAL", "BROKER", "nats://h:4222"}, {"GLOBAL", "PROXY", kAbsent}},
         {}},
        {"/SHM and proxy",
         {Text(VSA_INITDRIVERS, "nats://h:4222/SHMx;PX=p:1")},
         VSA_OK,
         "",
         {{"GLOBAL", "BROKER", "nats://h:4222"}, {"GLOBAL", "PROXY", "p:1"}},
         {}},
        {"three directory parts",
         {Text(VSA_INITDIRECTORY, "{base};{temp}/run;{temp}/ignored")},
         VSA_OK,
         "",
         {{"INIT", "INITDIRECTORY", "{base}"}, {"INIT", "INITRUNDIR", "{temp}/run", kHost}},
         {{QZ_LOG_WARN, kExtract,
           "INITDIRECTORY has more than two semicolon-delimited parts; everything past the second "
           "is ignored"},
          {QZ_LOG_DEBUG, kExtract, "Got {temp}/run for INITRUNDIR (2nd piece of INITDIRECTORY)"},
          {QZ_LOG_DEBUG, kExtract, "Got {base} for INITDIRECTORY via API"}}},
        {"blank run directory part",
         {Text(VSA_INITDIRECTORY, "{base};   ")},
         VSA_OK,
         "",
         {{"INIT", "INITDIRECTORY", "{base}"}, {"INIT", "INITRUNDIR", kAbsent}},
         {}},
        {"empty run directory part",
         {Text(VSA_INITDIRECTORY, "{base};")},
         VSA_OK,
         "",
         {{"INIT", "INITRUNDIR", kAbsent}},
         {}},
        {"relative directory becomes absolute",
         {Text(VSA_INITDIRECTORY, "{rel}")},
         VSA_OK,
         "",
         {{"INIT", "INITDIRECTORY", "{base}", kHost}},
         {{QZ_LOG_DEBUG, kValidate, "Validating INITDIRECTORY: {rel}"},
          {QZ_LOG_DEBUG, kValidate, "INITDIRECTORY adjusted from \"{rel}\" to \"{base}\""}}},
        {"directory trimmed and expanded",
         {Text(VSA_INITDIRECTORY, "  $QZ_TEST_INSTALL  ;  ${QZ_TEST_INSTALL}/run ")},
         VSA_OK,
         "",
         {{"INIT", "INITDIRECTORY", "{base}"}, {"INIT", "INITRUNDIR", "{base}/run"}},
         {}},
        {"trace settings",
         {Text(VSA_INITEXTRADRIVERDIRECTORY, "{temp}/trace.log;5")},
         VSA_OK,
         "",
         {{"TRACE", "TRACEFILE", "{temp}/trace.log", kHost}, {"TRACE", "TRACELEVEL", "5"}},
         {{QZ_LOG_TRACE, kExtract, "Parsing {temp}/trace.log;5 for INITEXTRADRIVERDIRECTORY"},
          {QZ_LOG_DEBUG, kExtract, "Got {temp}/trace.log for TRACEFILE via API"},
          {QZ_LOG_DEBUG, kExtract, "Got 5 for TRACELEVEL via API"},
          {QZ_LOG_INFO, kExtract, "    vendrix VSA-Wrapper version 4.0.5.139 "}}},
        {"trace level that is no number",
         {Text(VSA_INITEXTRADRIVERDIRECTORY, "{temp}/trace.log;high")},
         VSA_OK,
         "",
         {{"TRACE", "TRACELEVEL", "high"}},
         {{QZ_LOG_DEBUG, kExtract, "Got -1 for TRACELEVEL via API"}}},
        {"trace settings without semicolon",
         {Text(VSA_INITEXTRADRIVERDIRECTORY, "nosemicolon")},
         VSA_OK,
         "",
         {{"TRACE", "TRACEFILE", "{temp}/trace.log", QZ_SOURCE_BASEDIR_CONFIG},
          {"TRACE", "TRACELEVEL", "6"}},
         {{QZ_LOG_WARN, kExtract, "No semicolon found in INITEXTRADRIVERDIRECTORY"},
          {QZ_LOG_INFO, kExtract, "    vendrix VSA-Wrapper version 4.0.5.139 "},
          {QZ_LOG_INFO, kExtract, "Max tracefile size: 0 MB"}}},
        {"time-out in the value field",
         {Number(VSA_INITTIMEOUT, 120)},
         VSA_OK,
         "",
         {{"INIT", "INITTIMEOUT", "120", kHost}},
         {{QZ_LOG_DEBUG, kExtract, "Got 120 for INITTIMEOUT via API"}}},
        {"time-out takes the low 32 bits",
         {Number(VSA_INITTIMEOUT, (int64_t{1} << 32) + 30)},
         VSA_OK,
         "",
         {{"INIT", "INITTIMEOUT", "30"}},
         {}},
        {"CLAMAV needs INITSERVERS",
         {Text(VSA_INITENGINES, "CLAMAV")},
         VSA_E_INVALID_PARAM,
         "INITSERVERS (required with CLAMAV) not set",
         {{"INIT", "INITENGINES", "CLAMAV"}},
         {{QZ_LOG_ERROR, kRequired, "INITSERVERS (required with CLAMAV) not set"},
          {QZ_LOG_FATAL, "VsaInit", "INITSERVERS (required with CLAMAV) not set"}}},
        {"ICAP with INITSERVERS",
         {Text(VSA_INITENGINES, "ICAP"), Text(VSA_INITSERVERS, "icap://10.0.0.1:1344")},
         VSA_OK,
         "",
         {{"INIT", "INITSERVERS", "icap://10.0.0.1:1344", kHost}},
         {{QZ_LOG_DEBUG, kExtract, "Got ICAP for INITENGINES via API"},
          {QZ_LOG_DEBUG, kExtract, "Got icap://10.0.0.1:1344 for INITSERVERS via API"}}},
        {"lower-case clamav is not checked", {Text(VSA_INITENGINES, "clamav")}, VSA_OK, "", {}, {}},
        {"ICAP among other engines is not checked",
         {Text(VSA_INITENGINES, "ICAP;DUMMY")},
         VSA_OK,
         "",
         {},
         {}},
        {"no parameter list",
         {},
         VSA_E_INVALID_PARAM,
         "INITDIRECTORY (required) not set",
         {{"INIT", "INITENGINES", "DUMMY", QZ_SOURCE_DEFAULT}},
         {{QZ_LOG_INFO, kExtract, "No INIT parameters passed by VSI"},
          {QZ_LOG_FATAL, "VsaInit", "INITDIRECTORY (required) not set"}},
         List::kNone},
        {"empty parameter list",
         {},
         VSA_E_INVALID_PARAM,
         "INITDIRECTORY (required) not set",
         {},
         {},
         List::kCaseOnly},
        {"directory from the configuration file",
         {Text(VSA_INITDRIVERS, "nats://h:4222")},
         VSA_OK,
         "",
         {{"INIT", "INITDIRECTORY", "{base}", QZ_SOURCE_BASEDIR_CONFIG}},
         {},
         List::kCaseOnly,
         "[INIT]\nINITDIRECTORY = {base}\n"},
        {"no broker",
         {Text(VSA_INITDIRECTORY, "{base}")},
         VSA_E_INVALID_PARAM,
         "Required broker URL not set in parameter INITDRIVERS",
         {},
         {{QZ_LOG_ERROR, kRequired, "Required broker URL not set in parameter INITDRIVERS"}},
         List::kCaseOnly},
        {"engines emptied",
         {},
         VSA_E_INVALID_PARAM,
         "INITENGINES (required) not set",
         {},
         {},
         List::kBaseThenCase,
         "",
         {{"INIT", "INITENGINES", ""}}},
        {"NULL value skipped",
         {NullValue(VSA_INITEXTRADRIVERS)},
         VSA_OK,
         "",
         {{"INIT", "INITEXTRADRIVERS", kAbsent}},
         {{QZ_LOG_WARN, kExtract, "Got NULL-pointer for parameter 2 - skipping"}}},
        {"zero-length text skipped",
         {EmptyText(VSA_INITENGINES)},
         VSA_OK,
         "",
         {{"INIT", "INITENGINES", "DUMMY", QZ_SOURCE_DEFAULT}},
         {{QZ_LOG_WARN, kExtract, "Got zero-length string for parameter 2 - skipping"}}},
        {"unknown code skipped",
         {Text(99, "whatever"), Text(VSA_INITEXTRADRIVERS, "payload-key")},
         VSA_OK,
         "",
         {{"INIT", "INITEXTRADRIVERS", "payload-key", kHost}},
         {{QZ_LOG_WARN, kExtract, "Unsupported parameter passed"},
          {QZ_LOG_DEBUG, kExtract, "Got payload-key for INITEXTRADRIVERS via API"}}},
        {"number for a text parameter skipped",
         {NumberForText(VSA_INITENGINES, 5)},
         VSA_OK,
         "",
         {{"INIT", "INITENGINES", "DUMMY"}},
         {{QZ_LOG_WARN, kExtract,
           "Got value type 3 instead of a string for parameter 2 (code 12) - skipping"}}},
        {"text read up to its stated length",
         {CutText(VSA_INITENGINES, "DUMMY;CLAMAV", 5)},
         VSA_OK,
         "",
         {{"INIT", "INITENGINES", "DUMMY", kHost}},
         {}},
        {"missing directory",
         {Text(VSA_INITDIRECTORY, "{temp}/missing")},
         VSA_E_INVALID_PARAM,
         "Invalid Parameter INITDIRECTORY {temp}/missing: No such file or directory ",
         {},
         {{QZ_LOG_ERROR, kValidate,
           "Invalid Parameter INITDIRECTORY {temp}/missing: No such file or directory"},
          {QZ_LOG_FATAL, "VsaInit",
           "Invalid Parameter INITDIRECTORY {temp}/missing: No such file or directory "}}},
        {"directory that is a file",
         {Text(VSA_INITDIRECTORY, "{file}")},
         VSA_E_INVALID_PARAM,
         "Invalid Parameter INITDIRECTORY {file}: Not a directory ",
         {},
         {}},
        {"temporary directory that is a file",
         {Text(VSA_INITTEMP_PATH, "{file}")},
         VSA_E_INVALID_PARAM,
         "Invalid Parameter INITTEMP_PATH {file}: Not a directory ",
         {{"INIT", "INITTEMP_PATH", "{file}", kHost}},
         {{QZ_LOG_DEBUG, kValidate, "Validating INITTEMP_PATH: {file}"}}},
        {"temporary directory not writable",
         {Text(VSA_INITTEMP_PATH, "{ro}")},
         VSA_E_INVALID_PARAM,
         "Invalid Parameter INITTEMP_PATH {ro}: Read-only file system ",
         {},
         {{QZ_LOG_ERROR, kValidate, "Invalid Parameter INITTEMP_PATH {ro}: Read-only file system"}},
         List::kBaseThenCase,
         "",
         {},
         true},
        {"temporary directory expanded",
         {Text(VSA_INITTEMP_PATH, "$QZ_TEST_INSTALL")},
         VSA_OK,
         "",
         {{"INIT", "INITTEMP_PATH", "{base}"}},
         {{QZ_LOG_DEBUG, kExtract, "Got {base} for INITTEMP_PATH via API"}}},
        {"unknown variable kept as given",
         {Text(VSA_INITTEMP_PATH, "$QZ_TEST_UNSET_VARIABLE/tmp")},
         VSA_E_INVALID_PARAM,
         "Invalid Parameter INITTEMP_PATH $QZ_TEST_UNSET_VARIABLE/tmp: No such file or directory ",
         {},
         {{QZ_LOG_WARN, kExtract,
           "Could not expand $QZ_TEST_UNSET_VARIABLE/tmp; taking it as given"}}},
        {"host value replaces file value, file value replaces default",
         {Text(VSA_INITENGINES, "DUMMY")},
         VSA_OK,
         "",
         {{"INIT", "INITENGINES", "DUMMY", kHost},
          {"INIT", "INITTIMEOUT", "90", QZ_SOURCE_BASEDIR_CONFIG}},
         {},
         List::kBaseThenCase,
         "[INIT]\nINITENGINES = MIMESCAN;DUMMY\nINITTIMEOUT = 90\n"},
    };
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

class Placeholders {
  public:
    Placeholders(const VsaHost& host)
        : base_(fs::canonical(host.base()).string()),
          temp_(fs::canonical(host.temp()).string()),
          rel_(fs::relative(base_, fs::current_path()).string()) {}
    std::string operator()(std::string text) const {
        text = replace_all(text, "{base}", base_);
        text = replace_all(text, "{temp}", temp_);
        text = replace_all(text, "{file}", temp_ + "/plainfile");
        text = replace_all(text, "{ro}", temp_ + "/readonly");
        return replace_all(text, "{rel}", rel_);
    }

  private:
    std::string base_, temp_, rel_;
};

void add(InitParams& params, const Param& p, const Placeholders& fill) {
    switch (p.kind) {
        case Param::kText:
            params.text(p.code, fill(p.text));
            break;
        case Param::kNumber:
            params.number(p.code, static_cast<intptr_t>(p.number));
            break;
        case Param::kNullValue:
            params.raw(p.code, VSA_TYPE_STRING, 8, nullptr);
            break;
        case Param::kEmptyText:
            params.raw(p.code, VSA_TYPE_STRING, 0, const_cast<char*>("ignored"));
            break;
        case Param::kNumberForText:
            params.raw(p.code, VSA_TYPE_INTEGER, 4, reinterpret_cast<void*>(p.number));
            break;
        case Param::kCutText:
            params.text(p.code, p.text);
            params.get()->pParams[params.get()->usCount - 1].lLength = p.length;
            break;
    }
}

class EnvironmentVariable {
  public:
    EnvironmentVariable(const char* name, const std::string& value) : name_(name) {
        setenv(name, value.c_str(), 1);
    }
    ~EnvironmentVariable() { unsetenv(name_); }

  private:
    const char* name_;
};

TEST(VsaInitParameters, TableOfCases) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        VsaHostOptions options;
        options.config = c.config;
        VsaHost host(qztest::built_vsa_libraries(), options);
        Placeholders fill(host);
        // The paths are known only now that the host exists: fill them into its configuration.
        std::string config_path = host.base() + "/config/qzvsa4.cfg";
        qztest::write_file(config_path, fill(qztest::read_file(config_path)));
        EnvironmentVariable install("QZ_TEST_INSTALL", fill("{base}"));
        qztest::write_file(fill("{file}"), "not a directory\n");
        ReadOnlyMount read_only(fill("{ro}"), c.needs_read_only);
        if (c.needs_read_only && !read_only.available()) {
            std::printf("read-only mounts are not permitted here; case \"%s\" not run\n", c.name);
            continue;
        }

        ASSERT_EQ(host.startup(), VSA_OK);
        for (const Stored& s : c.preset)
            StoreConfigParameter_String(host.state()->config, s.section, s.key,
                                        fill(s.value).c_str(), QZ_SOURCE_VSI_API);
        InitParams params;
        if (c.list == List::kBaseThenCase)
            params.text(VSA_INITDRIVERS, "nats://127.0.0.1:4222")
                .text(VSA_INITDIRECTORY, host.base());
        for (const Param& p : c.params) add(params, p, fill);

        VSA_INIT* handle = nullptr;
        VSA_RC rc = host.init(nullptr, c.list == List::kNone ? nullptr : params.get(), &handle);
        EXPECT_EQ(rc, c.rc);
        ASSERT_NE(handle, nullptr);
        if (c.error_text.empty())
            EXPECT_EQ(handle->pszErrorText, nullptr);
        else
            EXPECT_STREQ(handle->pszErrorText, fill(c.error_text).c_str());
        // The implementation is loaded only once every check has passed.
        EXPECT_EQ(host.calls().find("init ") != std::string::npos, c.rc == VSA_OK);

        list_t* store = host.state()->config;
        for (const Stored& s : c.stored) {
            SCOPED_TRACE(std::string(s.section) + "/" + s.key);
            const char* value = GetConfigParameter_String(store, s.section, s.key);
            if (s.value == kAbsent) {
                EXPECT_EQ(value, nullptr);
                continue;
            }
            ASSERT_NE(value, nullptr);
            EXPECT_EQ(value, fill(s.value));
            if (s.source != -1) {
                EXPECT_EQ(GetConfigParameter_Source(store, s.section, s.key), s.source);
            }
        }
        for (const Line& line : c.lines) {
            EXPECT_TRUE(host.traced(line.level, line.function, fill(line.text)))
                << fill(line.text) << "\n"
                << host.trace();
        }
        EXPECT_EQ(host.end(&handle, nullptr), VSA_OK);
        EXPECT_EQ(handle, nullptr);
        EXPECT_EQ(host.cleanup(), VSA_OK);
    }
}

TEST(VsaInitParameters, TraceSettingsFromTheHostMoveTheTrace) {
    VsaHost host(qztest::built_vsa_libraries());
    ASSERT_EQ(host.startup(), VSA_OK);
    std::string second = host.temp() + "/second.log";
    InitParams params;
    params.text(VSA_INITDRIVERS, "nats://127.0.0.1:4222")
        .text(VSA_INITDIRECTORY, host.base())
        .text(VSA_INITEXTRADRIVERDIRECTORY, second + ";5");
    VSA_INIT* handle = nullptr;
    ASSERT_EQ(host.init(nullptr, params.get(), &handle), VSA_OK);
    EXPECT_TRUE(host.traced(QZ_LOG_DEBUG, kExtract, "Got " + second + " for TRACEFILE via API"));

    std::string moved = qztest::read_file(second);
    EXPECT_NE(moved.find("vsa-wrapper:vsawrapper_ExtractInitParameters():     vendrix "
                         "VSA-Wrapper version 4.0.5.139 "),
              std::string::npos)
        << moved;
    EXPECT_NE(moved.find("DEBUG PID:"), std::string::npos);
    EXPECT_NE(moved.find("vsa-wrapper:VsaInit(): returning 0, gRefCounter = 1"), std::string::npos);
    // Level 5: no TRACE lines, and no source locations.
    EXPECT_EQ(moved.find("TRACE PID:"), std::string::npos);
    EXPECT_EQ(host.trace().find("returning 0, gRefCounter = 1"), std::string::npos);
    EXPECT_EQ(host.end(&handle, nullptr), VSA_OK);
}

TEST(VsaInitParameters, LaterInitReplacesEarlierValues) {
    VsaHost host(qztest::built_vsa_libraries());
    ASSERT_EQ(host.startup(), VSA_OK);
    InitParams first;
    first.text(VSA_INITDRIVERS, "nats://first:4222")
        .text(VSA_INITDIRECTORY, host.base())
        .text(VSA_INITSERVERS, "one");
    InitParams second;
    second.text(VSA_INITDRIVERS, "nats://second:4222")
        .text(VSA_INITDIRECTORY, host.base())
        .number(VSA_INITTIMEOUT, 5);
    VSA_INIT* a = nullptr;
    VSA_INIT* b = nullptr;
    ASSERT_EQ(host.init(nullptr, first.get(), &a), VSA_OK);
    ASSERT_EQ(host.init(nullptr, second.get(), &b), VSA_OK);
    list_t* store = host.state()->config;
    EXPECT_STREQ(GetConfigParameter_String(store, "GLOBAL", "BROKER"), "nats://second:4222");
    EXPECT_STREQ(GetConfigParameter_String(store, "INIT", "INITSERVERS"), "one");
    EXPECT_STREQ(GetConfigParameter_String(store, "INIT", "INITTIMEOUT"), "5");
    EXPECT_EQ(host.end(&a, nullptr), VSA_OK);
    EXPECT_EQ(host.end(&b, nullptr), VSA_OK);
}

}  // namespace
