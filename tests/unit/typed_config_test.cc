#include "config/typed_config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "log/log.h"
#include "support/temp_dir.h"

namespace {

// Loads text as a typed configuration file; frees the list at the end of the test.
class Loaded {
  public:
    explicit Loaded(const std::string& text) {
        path_ = dir_.file("typed.cfg");
        qztest::write_file(path_, text);
        rc_ = LoadConfig(&list_, path_.c_str());
    }
    ~Loaded() {
        if (list_ != nullptr) QZFreeConfig(list_);
    }
    Loaded(const Loaded&) = delete;
    Loaded& operator=(const Loaded&) = delete;

    int rc() const { return rc_; }
    qz_config_variable* list() const { return list_; }
    const std::string& path() const { return path_; }

  private:
    qztest::TempDir dir_;
    std::string path_;
    qz_config_variable* list_ = reinterpret_cast<qz_config_variable*>(1);
    int rc_;
};

int count_records(const qz_config_variable* list) {
    int n = 0;
    for (; list != nullptr; list = list->next) ++n;
    return n;
}

TEST(TypedConfig, ReadsEveryValueType) {
    Loaded cfg(
        "level = 5\n"
        "ratio = 0.5\n"
        "enabled = Yes\n"
        "disabled=OFF\n"
        "data = 0x0a 0xFF\n"
        "path = \"C:\\\\dir\"\n"
        "quote = \"say \\\"hi\\\", ok!\"\n"
        "neg = -12   \n"
        "empty = \"\"\n");
    ASSERT_EQ(cfg.rc(), QZ_CFG_OK);
    int32_t level = 0;
    EXPECT_EQ(GetConfigVariableLong(cfg.list(), "level", &level), QZ_CFG_OK);
    EXPECT_EQ(level, 5);
    float ratio = 0;
    EXPECT_EQ(GetConfigVariableFloat(cfg.list(), "ratio", &ratio), QZ_CFG_OK);
    EXPECT_FLOAT_EQ(ratio, 0.5f);
    unsigned char flag = 7;
    EXPECT_EQ(GetConfigVariableBool(cfg.list(), "enabled", &flag), QZ_CFG_OK);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(GetConfigVariableBool(cfg.list(), "disabled", &flag), QZ_CFG_OK);
    EXPECT_EQ(flag, 0);
    const unsigned char* bytes = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(GetConfigVariableBinary(cfg.list(), "data", &bytes, &length), QZ_CFG_OK);
    ASSERT_EQ(length, 2u);
    EXPECT_EQ(bytes[0], 10);
    EXPECT_EQ(bytes[1], 255);
    const char* text = nullptr;
    EXPECT_EQ(GetConfigVariableString(cfg.list(), "path", &text), QZ_CFG_OK);
    EXPECT_STREQ(text, "C:\\dir");
    EXPECT_EQ(GetConfigVariableString(cfg.list(), "quote", &text), QZ_CFG_OK);
    EXPECT_STREQ(text, "say \"hi\", ok!");
    EXPECT_EQ(GetConfigVariableString(cfg.list(), "empty", &text), QZ_CFG_OK);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(GetConfigVariableLong(cfg.list(), "neg", &level), QZ_CFG_OK);
    EXPECT_EQ(level, -12);
}

TEST(TypedConfig, GettersRefuseOtherTypesAndUnknownNames) {
    Loaded cfg("level = 5\nname = \"x\"\n");
    ASSERT_EQ(cfg.rc(), QZ_CFG_OK);
    const char* text = "untouched";
    EXPECT_EQ(GetConfigVariableString(cfg.list(), "level", &text), QZ_CFG_TYPE_MISMATCH);
    EXPECT_STREQ(text, "untouched");
    int32_t number = 0;
    EXPECT_EQ(GetConfigVariableLong(cfg.list(), "name", &number), QZ_CFG_TYPE_MISMATCH);
    float f = 0;
    EXPECT_EQ(GetConfigVariableFloat(cfg.list(), "level", &f), QZ_CFG_TYPE_MISMATCH);
    EXPECT_EQ(GetConfigVariableLong(cfg.list(), "Level", &number), QZ_CFG_NOT_FOUND);
    qz_config_variable* var = nullptr;
    EXPECT_EQ(GetConfigVariable(cfg.list(), "missing", &var), QZ_CFG_NOT_FOUND);
    EXPECT_EQ(GetConfigVariable(cfg.list(), nullptr, &var), QZ_CFG_NULL_ARGUMENT);
    EXPECT_EQ(GetConfigVariable(cfg.list(), "level", nullptr), QZ_CFG_NULL_ARGUMENT);
    EXPECT_EQ(GetConfigVariableLong(cfg.list(), "level", nullptr), QZ_CFG_NULL_ARGUMENT);
    // The list of a file without variables is NULL: nothing is found in it.
    EXPECT_EQ(GetConfigVariable(nullptr, "level", &var), QZ_CFG_NOT_FOUND);
}

TEST(TypedConfig, SectionsSelectWhichVariableLookupsSee) {
    Loaded cfg(
        "name = 0\n"
        "[one]\n"
        "name = 1\n"
        "[two words]\n"
        "name = 2\n");
    ASSERT_EQ(cfg.rc(), QZ_CFG_OK);
    EXPECT_EQ(count_records(cfg.list()), 5);
    int32_t value = -1;
    EXPECT_STREQ(currSection, "default");
    EXPECT_EQ(GetConfigVariableLong(cfg.list(), "name", &value), QZ_CFG_OK);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(UseConfigSection("two words"), QZ_CFG_OK);
    EXPECT_EQ(GetConfigVariableLong(cfg.list(), "name", &value), QZ_CFG_OK);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(UseConfigSection("one"), QZ_CFG_OK);
    EXPECT_EQ(GetConfigVariableLong(cfg.list(), "name", &value), QZ_CFG_OK);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(UseConfigSection("ONE"), QZ_CFG_OK);
    EXPECT_EQ(GetConfigVariableLong(cfg.list(), "name", &value), QZ_CFG_NOT_FOUND);
    EXPECT_EQ(UseConfigSection(nullptr), QZ_CFG_NULL_ARGUMENT);
    EXPECT_STREQ(currSection, "ONE");
}

TEST(TypedConfig, RepeatedNameReplacesTheValueInPlace) {
    Loaded cfg(
        "[s]\n"
        "count = 5\n"
        "text = \"a\"\n"
        "[t]\n"
        "count = 1\n"
        "[s]\n"
        "count = 7\n"
        "text = \"b\"\n");
    ASSERT_EQ(cfg.rc(), QZ_CFG_OK);
    // Sections s, t, s and the variables count, text (s) and count (t).
    EXPECT_EQ(count_records(cfg.list()), 6);
    ASSERT_EQ(UseConfigSection("s"), QZ_CFG_OK);
    int32_t count = 0;
    EXPECT_EQ(GetConfigVariableLong(cfg.list(), "count", &count), QZ_CFG_OK);
    EXPECT_EQ(count, 7);
    const char* text = nullptr;
    EXPECT_EQ(GetConfigVariableString(cfg.list(), "text", &text), QZ_CFG_OK);
    EXPECT_STREQ(text, "b");
    ASSERT_EQ(UseConfigSection("t"), QZ_CFG_OK);
    EXPECT_EQ(GetConfigVariableLong(cfg.list(), "count", &count), QZ_CFG_OK);
    EXPECT_EQ(count, 1);
    UseConfigSection("default");
}

TEST(TypedConfig, CommentsContinuationsAndLineEnds) {
    Loaded cfg(
        "# a comment line\n"
        "\n"
        "   \t\n"
        "a = 1 # trailing comment\n"
        "b = \\\n"
        "   42\n"
        "bytes = 0x01 \\\r\n"
        "        0x02 \\\n"
        "        0x03\n"
        "c = 3\r\n"
        "last = 4");
    ASSERT_EQ(cfg.rc(), QZ_CFG_OK);
    int32_t v = 0;
    EXPECT_EQ(GetConfigVariableLong(cfg.list(), "a", &v), QZ_CFG_OK);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(GetConfigVariableLong(cfg.list(), "b", &v), QZ_CFG_OK);
    EXPECT_EQ(v, 42);
    EXPECT_EQ(GetConfigVariableLong(cfg.list(), "c", &v), QZ_CFG_OK);
    EXPECT_EQ(v, 3);
    EXPECT_EQ(GetConfigVariableLong(cfg.list(), "last", &v), QZ_CFG_OK);
    EXPECT_EQ(v, 4);
    const unsigned char* bytes = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(GetConfigVariableBinary(cfg.list(), "bytes", &bytes, &length), QZ_CFG_OK);
    ASSERT_EQ(length, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), 3), "\x01\x02\x03");
}

TEST(TypedConfig, LongestLineThatFitsIsRead) {
    // 1023 characters: the line buffer with its NUL is full.
    std::string value(1023 - 6, 'a');
    std::string line = "s = \"" + value + "\"";
    ASSERT_EQ(line.size(), 1023u);
    for (const std::string& text : {line + "\n", line}) {
        Loaded cfg(text);
        ASSERT_EQ(cfg.rc(), QZ_CFG_OK);
        const char* s = nullptr;
        EXPECT_EQ(GetConfigVariableString(cfg.list(), "s", &s), QZ_CFG_OK);
        EXPECT_EQ(s, value);
    }
}

struct ErrorCase {
    const char* name;
    std::string text;
    int rc;
};

TEST(TypedConfig, MalformedFilesGiveTheirCode) {
    const ErrorCase kCases[] = {
        {"neither quoted, boolean, bytes nor number", "v = maybe\n", QZ_CFG_UNKNOWN_VALUE},
        {"begins with the boolean word no", "v = nope\n", QZ_CFG_BAD_BOOLEAN},
        {"begins with the boolean word on", "v = only\n", QZ_CFG_BAD_BOOLEAN},
        {"text after an integer", "v = 12abc\n", QZ_CFG_TRAILING_CHARACTERS},
        {"second value", "v = 5 6\n", QZ_CFG_TRAILING_CHARACTERS},
        {"digit but no integer", "v = abc1\n", QZ_CFG_BAD_INTEGER},
        {"integer beyond 32 bits", "v = 99999999999\n", QZ_CFG_BAD_INTEGER},
        {"integer below 32 bits", "v = -2147483649\n", QZ_CFG_BAD_INTEGER},
        {"two dots", "v = 1.2.3\n", QZ_CFG_TRAILING_CHARACTERS},
        {"letters and a dot", "v = x.y\n", QZ_CFG_BAD_FLOAT},
        {"float beyond single precision", "v = 1e39.\n", QZ_CFG_BAD_FLOAT},
        {"float beyond double precision", "v = 1e999.0\n", QZ_CFG_BAD_FLOAT},
        {"unterminated string", "v = \"abc\n", QZ_CFG_BAD_STRING},
        {"comment cuts a quoted string", "v = \"a # b\"\n", QZ_CFG_BAD_STRING},
        {"control character in a string", "v = \"a\x01\"\n", QZ_CFG_BAD_STRING},
        {"backslash at the end of a string", "v = \"a\\", QZ_CFG_BAD_STRING},
        {"malformed byte", "v = 0x0g\n", QZ_CFG_BAD_BYTE},
        {"byte without digits", "v = 0x0a 0x\n", QZ_CFG_BAD_BYTE},
        {"byte with one digit", "v = 0x1\n", QZ_CFG_BAD_BYTE},
        {"name starting with a digit", "1v = 3\n", QZ_CFG_BAD_NAME},
        {"unclosed section", "[unclosed\n", QZ_CFG_BAD_NAME},
        {"empty section", "[]\n", QZ_CFG_BAD_NAME},
        {"text after a section", "[s] x\n", QZ_CFG_TRAILING_CHARACTERS},
        {"no '='", "v 3\n", QZ_CFG_MISSING_EQUALS},
        {"name alone", "v\n", QZ_CFG_UNEXPECTED_LINE_END},
        {"nothing after '='", "v =   \n", QZ_CFG_UNEXPECTED_LINE_END},
        {"type clash on repetition", "count = 5\ncount = \"x\"\n", QZ_CFG_TYPE_MISMATCH},
        {"line longer than the buffer", "v = \"" + std::string(2000, 'a') + "\"\n",
         QZ_CFG_TRAILING_CHARACTERS},
        {"line one character too long", "s = \"" + std::string(1018, 'a') + "\"",
         QZ_CFG_TRAILING_CHARACTERS},
        {"continuation beyond the buffer", "v = \\\n" + std::string(1100, '1') + "\n",
         QZ_CFG_TRAILING_CHARACTERS},
        {"error after good lines", "[s]\na = 1\nb = \"x\"\nc = oops\n", QZ_CFG_UNKNOWN_VALUE},
    };
    for (const ErrorCase& c : kCases) {
        SCOPED_TRACE(c.name);
        qztest::TraceCapture trace(QZ_LOG_ERROR);
        UseConfigSection("elsewhere");
        Loaded cfg(c.text);
        EXPECT_EQ(cfg.rc(), c.rc);
        EXPECT_EQ(cfg.list(), nullptr);
        EXPECT_STREQ(currSection, "default");
        char code[32];
        snprintf(code, sizeof code, "Error 0x%x in configuration file", c.rc);
        EXPECT_TRUE(trace.contains(code)) << trace.contents();
    }
}

TEST(TypedConfig, MissingFileAndNullArguments) {
    qztest::TempDir dir;
    qz_config_variable* list = reinterpret_cast<qz_config_variable*>(1);
    EXPECT_EQ(LoadConfig(&list, dir.file("absent.cfg").c_str()), QZ_CFG_CANNOT_OPEN);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(LoadConfig(nullptr, "x"), QZ_CFG_NULL_ARGUMENT);
    EXPECT_EQ(LoadConfig(&list, nullptr), QZ_CFG_NULL_ARGUMENT);
    EXPECT_EQ(QZFreeConfig(nullptr), QZ_CFG_NULL_ARGUMENT);
}

TEST(TypedConfig, FreeResetsTheSection) {
    Loaded first("[x]\na = 1\n");
    ASSERT_EQ(first.rc(), QZ_CFG_OK);
    qz_config_variable* list = nullptr;
    ASSERT_EQ(LoadConfig(&list, first.path().c_str()), QZ_CFG_OK);
    UseConfigSection("x");
    EXPECT_EQ(QZFreeConfig(list), QZ_CFG_OK);
    EXPECT_STREQ(currSection, "default");
}

struct SkipCase {
    const char* text;
    int result;
    size_t consumed;
};

TEST(TokenReaders, SkipAndSkipEnd) {
    const SkipCase kSkip[] = {
        {"  \tx", 0, 3}, {"", -1, 0},     {" \t ", -1, 3}, {" \r\nx", 1, 3},
        {"\n\rx", 1, 2}, {"\n\nx", 1, 1}, {"\r\rx", 1, 1}, {"x", 0, 0},
    };
    for (const SkipCase& c : kSkip) {
        SCOPED_TRACE(c.text);
        const char* p = c.text;
        EXPECT_EQ(Skip(&p), c.result);
        EXPECT_EQ(static_cast<size_t>(p - c.text), c.consumed);
    }
    const SkipCase kSkipEnd[] = {
        {"abc\ndef", 0, 4}, {"abc\r\nd", 0, 5}, {"abc", 1, 3}, {"abc\n", 1, 4}, {"", 1, 0},
    };
    for (const SkipCase& c : kSkipEnd) {
        SCOPED_TRACE(c.text);
        const char* p = c.text;
        EXPECT_EQ(SkipEnd(&p), c.result);
        EXPECT_EQ(static_cast<size_t>(p - c.text), c.consumed);
    }
}

using BufferReader = int (*)(const char**, char*, size_t);

struct TokenCase {
    const char* reader_name;
    BufferReader reader;
    const char* text;
    int result;
    const char* token;
    size_t consumed;
};

TEST(TokenReaders, ReadRunsOfTheirCharacterClass) {
    const TokenCase kCases[] = {
        {"GetString", GetString, "abc def", 1, "abc", 3},
        {"GetString", GetString, "a\"b=c\n", 1, "a\"b=c", 5},
        {"GetString", GetString, " x", 0, "", 0},
        {"GetPath", GetPath, "/usr\\lib9", 1, "/usr\\lib", 8},
        {"GetPath", GetPath, "9", 0, "", 0},
        {"GetAlphaString", GetAlphaString, "ab_c1", 1, "ab_c", 4},
        {"GetAlphaNumString", GetAlphaNumString, "ab_1 x", 1, "ab_1", 4},
        {"GetAlphaNumString", GetAlphaNumString, "-x", 0, "", 0},
        {"GetIdentifier", GetIdentifier, "[my section!] x", 1, "my section!", 13},
        {"GetIdentifier", GetIdentifier, "_id9-x", 1, "_id9", 4},
        {"GetIdentifier", GetIdentifier, "9x", 0, "", 0},
        {"GetIdentifier", GetIdentifier, "[]", 0, "", 0},
        {"GetIdentifier", GetIdentifier, "[abc", 0, "", 0},
        {"GetIdentifier", GetIdentifier, "[a\tb]", 0, "", 0},
    };
    for (const TokenCase& c : kCases) {
        SCOPED_TRACE(std::string(c.reader_name) + " on " + c.text);
        char buf[64] = "junk";
        const char* p = c.text;
        EXPECT_EQ(c.reader(&p, buf, sizeof buf), c.result);
        EXPECT_STREQ(buf, c.token);
        EXPECT_EQ(static_cast<size_t>(p - c.text), c.consumed);
    }
}

TEST(TokenReaders, TokensThatDoNotFitAreRefusedWhole) {
    const BufferReader kReaders[] = {GetString, GetAlphaString, GetAlphaNumString, GetIdentifier,
                                     GetPath};
    for (BufferReader reader : kReaders) {
        char buf[4] = "zz";
        const char* text = "abcd";
        const char* p = text;
        EXPECT_EQ(reader(&p, buf, sizeof buf), 0);
        EXPECT_EQ(p, text);
        EXPECT_STREQ(buf, "");
        const char* fits = "abc";
        p = fits;
        EXPECT_EQ(reader(&p, buf, sizeof buf), 1);
        EXPECT_STREQ(buf, "abc");
    }
    char buf[4];
    const char* p = "[abcd]";
    EXPECT_EQ(GetIdentifier(&p, buf, sizeof buf), 0);
    p = "abcd\"";
    EXPECT_EQ(GetStringUpToChar(&p, buf, sizeof buf, '"'), 0);
    EXPECT_EQ(GetString(&p, buf, 0), 0);
    EXPECT_EQ(GetString(&p, nullptr, 4), 0);
    EXPECT_EQ(GetString(nullptr, buf, 4), 0);
}

TEST(TokenReaders, GetStringUpToChar) {
    char buf[64];
    const char* text = "ab c,d\"rest";
    const char* p = text;
    EXPECT_EQ(GetStringUpToChar(&p, buf, sizeof buf, '"'), 1);
    EXPECT_STREQ(buf, "ab c,d");
    EXPECT_EQ(*p, '"');
    p = "\"x";
    EXPECT_EQ(GetStringUpToChar(&p, buf, sizeof buf, '"'), 1);
    EXPECT_STREQ(buf, "");
    p = "";
    EXPECT_EQ(GetStringUpToChar(&p, buf, sizeof buf, '"'), 0);
    p = "\nx";
    EXPECT_EQ(GetStringUpToChar(&p, buf, sizeof buf, '"'), 0);
    p = "ab\ncd\"";
    EXPECT_EQ(GetStringUpToChar(&p, buf, sizeof buf, '"'), 1);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(*p, '\n');
}

TEST(TokenReaders, Numbers) {
    struct LongCase {
        const char* text;
        int result;
        int32_t value;
        size_t consumed;
    };
    const LongCase kLongs[] = {
        {"-42x", 1, -42, 3},
        {"2147483647", 1, INT32_MAX, 10},
        {"-2147483648", 1, INT32_MIN, 11},
        {"2147483648", 0, 0, 0},
        {"99999999999999999999", 0, 0, 0},
        {"-", 0, 0, 0},
        {"+5", 0, 0, 0},
        {"", 0, 0, 0},
    };
    for (const LongCase& c : kLongs) {
        SCOPED_TRACE(c.text);
        const char* p = c.text;
        int32_t v = 0;
        EXPECT_EQ(GetLong(&p, &v), c.result);
        EXPECT_EQ(v, c.value);
        EXPECT_EQ(static_cast<size_t>(p - c.text), c.consumed);
    }
    struct FloatCase {
        const char* text;
        int result;
        float value;
        size_t consumed;
    };
    const FloatCase kFloats[] = {
        {"0.5", 1, 0.5f, 3}, {"-1.25e2x", 1, -125.0f, 7},
        {"1e40", 0, 0, 0},   {" 1", 0, 0, 0},
        {"abc", 0, 0, 0},    {"", 0, 0, 0},
    };
    for (const FloatCase& c : kFloats) {
        SCOPED_TRACE(c.text);
        const char* p = c.text;
        float v = 0;
        EXPECT_EQ(GetFloat(&p, &v), c.result);
        EXPECT_FLOAT_EQ(v, c.value);
        EXPECT_EQ(static_cast<size_t>(p - c.text), c.consumed);
    }
    struct HexCase {
        const char* text;
        int result;
        unsigned char value;
    };
    const HexCase kHex[] = {{"0x0a", 1, 10}, {"0XfF", 1, 255}, {"0x1", 0, 0},
                            {"x0a", 0, 0},   {"0x", 0, 0},     {"0xg0", 0, 0}};
    for (const HexCase& c : kHex) {
        SCOPED_TRACE(c.text);
        const char* p = c.text;
        unsigned char v = 0;
        EXPECT_EQ(GetHex(&p, &v), c.result);
        EXPECT_EQ(v, c.value);
        EXPECT_EQ(static_cast<size_t>(p - c.text), c.result ? 4u : 0u);
    }
}

}  // namespace
