#include "config/config_store.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "log/log.h"
#include "support/temp_dir.h"

namespace {

using qztest::TempDir;
using qztest::TraceCapture;

// A fresh store, freed at the end of the test.
class Store {
  public:
    Store() : list_(qz_config_new_list()) {}
    ~Store() {
        if (list_ != nullptr) {
            if (list_->iter_active) list_iterator_stop(list_);
            qz_config_free_list(list_);
        }
    }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    list_t* get() const { return list_; }
    operator list_t*() const { return list_; }

  private:
    list_t* list_;
};

const qz_config_parameter* at(list_t* list, unsigned int pos) {
    return static_cast<const qz_config_parameter*>(list_get_at(list, pos));
}

TEST(ConfigStore, NewListHasTheParameterFunctions) {
    Store store;
    ASSERT_NE(store.get(), nullptr);
    EXPECT_EQ(store.get()->attrs.seeker, qz_config_parameter_seeker);
    EXPECT_EQ(store.get()->attrs.comparator, qz_config_parameter_comparator);
    EXPECT_EQ(store.get()->attrs.hasher, qz_config_parameter_hashcomputer);
    EXPECT_EQ(list_size(store), 0u);
}

TEST(ConfigStore, SourcePrecedence) {
    struct Case {
        uint32_t first, second;
        int rc;
        const char* value;
        int source;
    };
    const Case kCases[] = {
        {QZ_SOURCE_VSI_API, QZ_SOURCE_BASEDIR_CONFIG, 1, "first", QZ_SOURCE_VSI_API},
        {QZ_SOURCE_BASEDIR_CONFIG, QZ_SOURCE_VSI_API, 0, "second", QZ_SOURCE_VSI_API},
        {QZ_SOURCE_SID_CONFIG, QZ_SOURCE_SID_CONFIG, 0, "second", QZ_SOURCE_SID_CONFIG},
        {QZ_SOURCE_DEFAULT, QZ_SOURCE_GLOBAL_CONFIG, 0, "second", QZ_SOURCE_GLOBAL_CONFIG},
        {QZ_SOURCE_RETRIEVED, QZ_SOURCE_DEFAULT, 1, "first", QZ_SOURCE_RETRIEVED},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(qz_parametersource[c.first]) + " then " +
                     qz_parametersource[c.second]);
        Store store;
        ASSERT_EQ(StoreConfigParameter_String(store, "SCAN", "BLOCKEXTENSIONS", "first", c.first),
                  0);
        EXPECT_EQ(StoreConfigParameter_String(store, "SCAN", "BLOCKEXTENSIONS", "second", c.second),
                  c.rc);
        EXPECT_STREQ(GetConfigParameter_String(store, "SCAN", "BLOCKEXTENSIONS"), c.value);
        EXPECT_EQ(GetConfigParameter_Source(store, "SCAN", "BLOCKEXTENSIONS"), c.source);
        EXPECT_EQ(list_size(store), 1u);
    }
}

TEST(ConfigStore, StoresAndReplacementsAreTraced) {
    TraceCapture trace(QZ_LOG_TRACE);
    Store store;
    StoreConfigParameter_String(store, "SCAN", "X", "a", QZ_SOURCE_DEFAULT);
    EXPECT_TRUE(trace.contains("storing SCAN X"));
    EXPECT_TRUE(trace.contains("Stored SCAN-X from source Default"));
    StoreConfigParameter_String(store, "SCAN", "X", "b", QZ_SOURCE_DEFAULT);
    EXPECT_TRUE(trace.contains("Overwriting SCAN-X (a) from Default with b from Default"));
    StoreConfigParameter_String(store, "SCAN", "X", "c", QZ_SOURCE_VSI_API);
    StoreConfigParameter_String(store, "SCAN", "X", "d", QZ_SOURCE_BASEDIR_CONFIG);
    EXPECT_TRUE(trace.contains(
        "Current source for [SCAN - X] (VSI API) than (Basedir config) - not overwriting"));
    StoreConfigParameter_Int(store, "SCAN", "N", 1, QZ_SOURCE_DEFAULT);
    StoreConfigParameter_Long(store, "SCAN", "N", 2, QZ_SOURCE_RETRIEVED);
    EXPECT_TRUE(trace.contains("Overwriting SCAN-N (1) from Default with 2 from Retrieved"));
    StoreConfigParameter_String(store, "SCAN", "T", "42", QZ_SOURCE_DEFAULT);
    EXPECT_TRUE(trace.contains("Stored \"42\" as numerical 42"));
}

TEST(ConfigStore, ReplacedParameterMovesToTheEnd) {
    Store store;
    StoreConfigParameter_String(store, "S", "A", "1", QZ_SOURCE_DEFAULT);
    StoreConfigParameter_String(store, "S", "B", "2", QZ_SOURCE_DEFAULT);
    StoreConfigParameter_String(store, "S", "C", "3", QZ_SOURCE_DEFAULT);
    EXPECT_EQ(StoreConfigParameter_String(store, "S", "A", "4", QZ_SOURCE_DEFAULT), 0);
    ASSERT_EQ(list_size(store), 3u);
    EXPECT_STREQ(at(store, 0)->key, "B");
    EXPECT_STREQ(at(store, 1)->key, "C");
    EXPECT_STREQ(at(store, 2)->key, "A");
    EXPECT_STREQ(at(store, 2)->ptr, "4");
    EXPECT_STREQ(at(store, 2)->lookup, "S-A");
}

TEST(ConfigStore, TextAndIntegerViewsOfOneParameter) {
    Store store;
    StoreConfigParameter_String(store, "S", "TEXT", "abc", QZ_SOURCE_DEFAULT);
    StoreConfigParameter_String(store, "S", "NUMBER", "42", QZ_SOURCE_DEFAULT);
    StoreConfigParameter_Long(store, "S", "LONG", 7, QZ_SOURCE_DEFAULT);
    StoreConfigParameter_Int(store, "S", "INT", -3, QZ_SOURCE_DEFAULT);

    int i = 99;
    long l = 99;
    EXPECT_EQ(GetConfigParameter_Int(store, "S", "TEXT", &i), -1);
    EXPECT_EQ(GetConfigParameter_Long(store, "S", "TEXT", &l), -1);
    EXPECT_EQ(i, 99);
    EXPECT_EQ(l, 99);
    EXPECT_EQ(GetConfigParameter_Int(store, "S", "NUMBER", &i), 0);
    EXPECT_EQ(i, 42);
    EXPECT_EQ(GetConfigParameter_Int(store, "S", "LONG", &i), 0);
    EXPECT_EQ(i, 7);
    EXPECT_EQ(GetConfigParameter_Long(store, "S", "LONG", &l), 0);
    EXPECT_EQ(l, 7);
    EXPECT_STREQ(GetConfigParameter_String(store, "S", "LONG"), "7");
    EXPECT_STREQ(GetConfigParameter_String(store, "S", "INT"), "-3");
    EXPECT_EQ(GetConfigParameter_Int(store, "S", "MISSING", &i), -1);
    EXPECT_EQ(GetConfigParameter_String(store, "S", "MISSING"), nullptr);
    EXPECT_EQ(GetConfigParameter_Source(store, "S", "MISSING"), -1);
}

TEST(ConfigStore, NumericTextsAreConvertedWhenTheyHoldNoLetter) {
    struct Case {
        const char* text;
        bool numeric;
        int value;
    };
    const Case kCases[] = {
        {"-5", true, -5},
        {"1.5", true, 1},
        {"/", true, 0},
        {"", true, 0},
        {" 42 ", true, 42},
        {"+7", true, 7},
        {"2147483647", true, INT_MAX},
        {"10MB", false, 0},
        {"0x10", false, 0},
        {"1e3", false, 0},
        {"99999999999", false, 0},
        {"-99999999999", false, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        Store store;
        ASSERT_EQ(StoreConfigParameter_String(store, "S", "K", c.text, QZ_SOURCE_DEFAULT), 0);
        int value = -12345;
        EXPECT_EQ(GetConfigParameter_Int(store, "S", "K", &value), c.numeric ? 0 : -1);
        EXPECT_EQ(value, c.numeric ? c.value : -12345);
        EXPECT_STREQ(GetConfigParameter_String(store, "S", "K"), c.text);
    }
}

TEST(ConfigStore, OutOfRangeNumbersStayTextWithAnError) {
    TraceCapture trace(QZ_LOG_ERROR);
    Store store;
    EXPECT_EQ(StoreConfigParameter_String(store, "S", "BIG", "99999999999", QZ_SOURCE_DEFAULT), 0);
    EXPECT_TRUE(trace.contains("\"99999999999\""));
    EXPECT_EQ(StoreConfigParameter_Long(store, "S", "HUGE", 99999999999L, QZ_SOURCE_DEFAULT), 0);
    EXPECT_TRUE(trace.contains("Value 99999999999 of S-HUGE does not fit a 32-bit integer"));
    long l = 0;
    EXPECT_EQ(GetConfigParameter_Long(store, "S", "HUGE", &l), -1);
    EXPECT_STREQ(GetConfigParameter_String(store, "S", "HUGE"), "99999999999");
}

TEST(ConfigStore, LookupsAreExactAndCaseSensitive) {
    Store store;
    StoreConfigParameter_String(store, "Scan", "Key", "v", QZ_SOURCE_DEFAULT);
    EXPECT_STREQ(GetConfigParameter_String(store, "Scan", "Key"), "v");
    EXPECT_EQ(GetConfigParameter_String(store, "SCAN", "Key"), nullptr);
    EXPECT_EQ(GetConfigParameter_String(store, "Scan", "KEY"), nullptr);
    EXPECT_EQ(GetConfigParameter_Source(store, "scan", "key"), -1);
    // The identity is the joined lookup alone.
    StoreConfigParameter_String(store, "A-B", "C", "1", QZ_SOURCE_DEFAULT);
    EXPECT_EQ(StoreConfigParameter_String(store, "A", "B-C", "2", QZ_SOURCE_DEFAULT), 0);
    EXPECT_EQ(list_size(store), 2u);
    EXPECT_STREQ(GetConfigParameter_String(store, "A-B", "C"), "2");
}

TEST(ConfigStore, OverlongLookupIsCutNotOverflowed) {
    Store store;
    std::string section(2000, 's');
    ASSERT_EQ(StoreConfigParameter_String(store, section.c_str(), "K", "v", QZ_SOURCE_DEFAULT), 0);
    const qz_config_parameter* p = at(store, 0);
    EXPECT_EQ(strlen(p->lookup), static_cast<size_t>(QZ_CONFIG_LOOKUP_MAX));
    EXPECT_EQ(std::string(p->section), section);
    EXPECT_STREQ(GetConfigParameter_String(store, section.c_str(), "K"), "v");
}

TEST(ConfigStore, BadArgumentsAreRefusedAndTraced) {
    TraceCapture trace(QZ_LOG_ERROR);
    Store store;
    EXPECT_EQ(StoreConfigParameter_String(store, "S", "K", nullptr, QZ_SOURCE_DEFAULT), -1);
    EXPECT_TRUE(trace.contains("NULL pointer received config="));
    EXPECT_TRUE(trace.contains("value=(nil)"));
    EXPECT_EQ(StoreConfigParameter_String(nullptr, "S", "K", "v", QZ_SOURCE_DEFAULT), -1);
    EXPECT_EQ(StoreConfigParameter_Int(store, nullptr, "K", 1, QZ_SOURCE_DEFAULT), -1);
    EXPECT_EQ(StoreConfigParameter_Long(store, "S", nullptr, 1, QZ_SOURCE_DEFAULT), -1);
    EXPECT_EQ(StoreConfigParameter_String(store, "S", "K", "v", QZ_SOURCE_COUNT), -1);
    EXPECT_TRUE(trace.contains("Invalid parameter source 6"));
    EXPECT_EQ(list_size(store), 0u);
    int i = 0;
    long l = 0;
    EXPECT_EQ(GetConfigParameter_String(nullptr, "S", "K"), nullptr);
    EXPECT_EQ(GetConfigParameter_String(store, nullptr, "K"), nullptr);
    EXPECT_EQ(GetConfigParameter_Int(store, "S", nullptr, &i), -1);
    EXPECT_EQ(GetConfigParameter_Int(store, "S", "K", nullptr), -1);
    EXPECT_EQ(GetConfigParameter_Long(store, "S", "K", nullptr), -1);
    EXPECT_EQ(GetConfigParameter_Long(nullptr, "S", "K", &l), -1);
    EXPECT_EQ(GetConfigParameter_Source(nullptr, "S", "K"), -1);
}

TEST(ConfigStore, ChangesWhileTheIteratorIsActiveKeepTheOldValue) {
    TraceCapture trace(QZ_LOG_ERROR);
    Store store;
    StoreConfigParameter_String(store, "S", "K", "old", QZ_SOURCE_DEFAULT);
    ASSERT_EQ(list_iterator_start(store), 0);
    EXPECT_EQ(StoreConfigParameter_String(store, "S", "K", "new", QZ_SOURCE_VSI_API), -1);
    EXPECT_EQ(StoreConfigParameter_String(store, "S", "OTHER", "x", QZ_SOURCE_VSI_API), -1);
    list_iterator_stop(store);
    EXPECT_STREQ(GetConfigParameter_String(store, "S", "K"), "old");
    EXPECT_EQ(list_size(store), 1u);
    EXPECT_TRUE(trace.contains("Failed to append S-K"));
}

TEST(ConfigStore, DuplicateIsADeepCopy) {
    Store store;
    StoreConfigParameter_String(store, "S", "K", "12", QZ_SOURCE_RETRIEVED);
    const qz_config_parameter* original = at(store, 0);
    qz_config_parameter* copy = qz_config_duplicate_parameter(original);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->lookup, original->lookup);
    EXPECT_NE(copy->ptr, original->ptr);
    EXPECT_STREQ(copy->lookup, "S-K");
    EXPECT_STREQ(copy->section, "S");
    EXPECT_STREQ(copy->key, "K");
    EXPECT_STREQ(copy->ptr, "12");
    EXPECT_EQ(copy->flags, original->flags);
    EXPECT_EQ(copy->value, 12);
    EXPECT_EQ(copy->source, static_cast<uint32_t>(QZ_SOURCE_RETRIEVED));
    qz_config_free_parameter(copy);

    qz_config_parameter textless = {};
    textless.lookup = const_cast<char*>("A-B");
    textless.section = const_cast<char*>("A");
    textless.key = const_cast<char*>("B");
    textless.ptr = reinterpret_cast<char*>(0x1);  // not owned: flag bit 1 is clear
    textless.flags = QZ_CONFIG_INT_VALID;
    textless.value = 3;
    qz_config_parameter* copy2 = qz_config_duplicate_parameter(&textless);
    ASSERT_NE(copy2, nullptr);
    EXPECT_EQ(copy2->ptr, nullptr);
    EXPECT_EQ(copy2->value, 3);
    qz_config_free_parameter(copy2);
    qz_config_free_parameter(nullptr);
    EXPECT_EQ(qz_config_duplicate_parameter(nullptr), nullptr);
}

TEST(ConfigStore, ListAttributes) {
    qz_config_parameter a = {};
    qz_config_parameter b = {};
    a.lookup = const_cast<char*>("S-A");
    b.lookup = const_cast<char*>("S-B");
    EXPECT_EQ(qz_config_parameter_seeker(&a, "S-A"), 1);
    EXPECT_EQ(qz_config_parameter_seeker(&a, "S-a"), 0);
    EXPECT_EQ(qz_config_parameter_seeker(&a, ""), 0);
    EXPECT_EQ(qz_config_parameter_seeker(&a, nullptr), 0);
    qz_config_parameter empty = {};
    empty.lookup = const_cast<char*>("");
    EXPECT_EQ(qz_config_parameter_seeker(&empty, ""), 0);
    // The generic list's convention: > 0 when the first sorts before the second.
    EXPECT_GT(qz_config_parameter_comparator(&a, &b), 0);
    EXPECT_LT(qz_config_parameter_comparator(&b, &a), 0);
    EXPECT_EQ(qz_config_parameter_comparator(&a, &a), 0);
    EXPECT_EQ(qz_config_parameter_hashcomputer(&a), list_hashcomputer_string("S-A"));
}

TEST(ConfigStore, FreeListRefusesNullAndABusyIterator) {
    TraceCapture trace(QZ_LOG_ERROR);
    EXPECT_EQ(qz_config_free_list(nullptr), -1);
    EXPECT_TRUE(trace.contains("NULL pointer received config="));
    list_t* list = qz_config_new_list();
    StoreConfigParameter_String(list, "S", "K", "v", QZ_SOURCE_DEFAULT);
    ASSERT_EQ(list_iterator_start(list), 0);
    EXPECT_EQ(qz_config_free_list(list), -1);  // waits 500 ms, then gives up
    EXPECT_EQ(list_size(list), 1u);
    list_iterator_stop(list);
    EXPECT_EQ(qz_config_free_list(list), 0);
}

class ConfigFiles : public ::testing::Test {
  protected:
    void SetUp() override { mkdir(dir_.file("config").c_str(), 0755); }
    void write(const std::string& name, const std::string& text) {
        qztest::write_file(dir_.file("config/" + name), text);
    }
    int read(list_t* list, const char* sid = "PRD") {
        return qz_ReadConfigFrom(list, dir_.path().c_str(), sid);
    }
    TempDir dir_;
};

TEST_F(ConfigFiles, BaseThenSystemFileUnderTheirSources) {
    write("qzvsa4.cfg",
          "TOP = 1\n"
          "#HIDDEN = 2\n"
          "[SCAN]\n"
          "BLOCKEXTENSIONS = exe\n"
          "SCANTIMEOUT = 30\n"
          "FROMHOST = file\n"
          "[INIT]\n"
          "INITENGINES = A;B\n");
    write("qzvsa4_PRD.cfg",
          "[SCAN]\n"
          "SCANTIMEOUT = 45\n");
    Store store;
    StoreConfigParameter_String(store, "SCAN", "BLOCKEXTENSIONS", "default", QZ_SOURCE_DEFAULT);
    StoreConfigParameter_String(store, "SCAN", "FROMHOST", "host", QZ_SOURCE_VSI_API);
    EXPECT_EQ(read(store), 0);

    EXPECT_STREQ(GetConfigParameter_String(store, "", "TOP"), "1");
    ASSERT_NE(list_seek(store, "-TOP"), nullptr);
    EXPECT_EQ(GetConfigParameter_String(store, "", "#HIDDEN"), nullptr);
    EXPECT_STREQ(GetConfigParameter_String(store, "SCAN", "BLOCKEXTENSIONS"), "exe");
    EXPECT_EQ(GetConfigParameter_Source(store, "SCAN", "BLOCKEXTENSIONS"),
              QZ_SOURCE_BASEDIR_CONFIG);
    int timeout = 0;
    EXPECT_EQ(GetConfigParameter_Int(store, "SCAN", "SCANTIMEOUT", &timeout), 0);
    EXPECT_EQ(timeout, 45);
    EXPECT_EQ(GetConfigParameter_Source(store, "SCAN", "SCANTIMEOUT"), QZ_SOURCE_SID_CONFIG);
    EXPECT_STREQ(GetConfigParameter_String(store, "SCAN", "FROMHOST"), "host");
    EXPECT_STREQ(GetConfigParameter_String(store, "INIT", "INITENGINES"), "A;B");
    EXPECT_EQ(GetConfigParameter_String(store, "init", "INITENGINES"), nullptr);
}

TEST_F(ConfigFiles, OneMissingFileDoesNotStopTheOther) {
    TraceCapture trace(QZ_LOG_DEBUG);
    write("qzvsa4_PRD.cfg", "[SCAN]\nONLY = sid\n");
    Store only_sid;
    EXPECT_EQ(read(only_sid), 0);
    EXPECT_STREQ(GetConfigParameter_String(only_sid, "SCAN", "ONLY"), "sid");
    std::string base = dir_.file("config/qzvsa4.cfg");
    EXPECT_TRUE(trace.contains("Attempting to read config file " + base));
    EXPECT_TRUE(trace.contains("Could not load config from " + base +
                               ". Reason: No such file or directory"));

    write("qzvsa4.cfg", "[SCAN]\nONLY = base\n");
    Store other_sid;
    EXPECT_EQ(read(other_sid, "DEV"), 0);
    EXPECT_STREQ(GetConfigParameter_String(other_sid, "SCAN", "ONLY"), "base");
}

TEST_F(ConfigFiles, MalformedLinesAreSkipped) {
    write("qzvsa4.cfg",
          "[SCAN]\n"
          "this line has no equals sign\n"
          "GOOD = 1\n"
          "EMPTY =\n"
          "= nothing\n"
          "QUOTED = \"a b\" trailing\n"
          "LAST = 2");
    Store store;
    EXPECT_EQ(read(store), 0);
    EXPECT_EQ(list_size(store), 3u);
    EXPECT_STREQ(GetConfigParameter_String(store, "SCAN", "GOOD"), "1");
    EXPECT_STREQ(GetConfigParameter_String(store, "SCAN", "QUOTED"), "a b");
    EXPECT_STREQ(GetConfigParameter_String(store, "SCAN", "LAST"), "2");
}

TEST_F(ConfigFiles, FailedStoreIsReported) {
    TraceCapture trace(QZ_LOG_ERROR);
    write("qzvsa4.cfg", "[SCAN]\nKEY = value\n");
    Store store;
    ASSERT_EQ(list_iterator_start(store), 0);
    EXPECT_EQ(read(store), 0);
    list_iterator_stop(store);
    EXPECT_TRUE(trace.contains("Failed to store SCAN - value"));
    EXPECT_TRUE(
        trace.contains("Failed to parse configuration file " + dir_.file("config/qzvsa4.cfg")));
    ini_t* ini = ini_load(dir_.file("config/qzvsa4.cfg").c_str());
    ASSERT_NE(ini, nullptr);
    EXPECT_EQ(parse_config_to_list(ini, nullptr, 2), -1);
    EXPECT_EQ(parse_config_to_list(nullptr, store, 2), -1);
    ini_free(ini);
}

TEST_F(ConfigFiles, OverlongPathsAreNotRead) {
    TraceCapture trace(QZ_LOG_ERROR);
    std::string base(4090, 'b');
    Store store;
    EXPECT_EQ(qz_ReadConfigFrom(store, base.c_str(), "PRD"), 0);
    EXPECT_TRUE(trace.contains("Configuration file path too long"));
    EXPECT_EQ(qz_ReadConfigFrom(nullptr, dir_.path().c_str(), "PRD"), -1);
    EXPECT_EQ(qz_ReadConfig(nullptr), -1);
}

TEST(ReadConfig, LooksBesideThisModuleWithTheSystemIdentifier) {
    const char* saved = getenv("SAPSYSTEMNAME");
    std::string saved_value = saved ? saved : "";
    setenv("SAPSYSTEMNAME", "QZT", 1);
    char exe[PATH_MAX];
    ASSERT_NE(realpath("/proc/self/exe", exe), nullptr);
    std::string base;
    if (const char* marker = strcasestr(exe, "/qz-av-vsa/"))
        base.assign(exe, static_cast<size_t>(marker - exe));
    else
        base = std::string(exe).substr(0, std::string(exe).rfind('/'));

    TraceCapture trace(QZ_LOG_DEBUG);
    Store store;
    EXPECT_EQ(qz_ReadConfig(store), 0);
    EXPECT_TRUE(trace.contains("Attempting to read config file " + base + "/config/qzvsa4.cfg"));
    EXPECT_TRUE(
        trace.contains("Attempting to read config file " + base + "/config/qzvsa4_QZT.cfg"));
    if (saved)
        setenv("SAPSYSTEMNAME", saved_value.c_str(), 1);
    else
        unsetenv("SAPSYSTEMNAME");
}

}  // namespace
