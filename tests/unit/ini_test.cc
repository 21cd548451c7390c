#include "config/ini.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "log/log.h"
#include "support/temp_dir.h"

namespace {

struct IniDeleter {
    void operator()(ini_t* ini) const { ini_free(ini); }
};
using IniPtr = std::unique_ptr<ini_t, IniDeleter>;

// The strings the loader split the file into, in order.
std::vector<std::string> strings_of(const ini_t* ini) {
    std::vector<std::string> out;
    for (const char* p = ini->data; p < ini->end;) {
        if (*p == '\0') {
            ++p;
            continue;
        }
        out.emplace_back(p);
        p += out.back().size();
    }
    return out;
}

IniPtr load_text(const qztest::TempDir& dir, const std::string& text) {
    std::string path = dir.file("test.ini");
    qztest::write_file(path, text);
    return IniPtr(ini_load(path.c_str()));
}

using Strings = std::vector<std::string>;

struct SplitCase {
    const char* name;
    std::string text;
    Strings expected;
};

TEST(IniLoad, SplitsFilesIntoSectionsKeysAndValues) {
    const SplitCase kCases[] = {
        {"value keeps its semicolon", "key = value ; note\n", {"key", "value ; note"}},
        {"quoted value with escape and text after it",
         "q = \"a\\tb\" more text\nnext = 1\n",
         {"q", "a\tb", "next", "1"}},
        {"escapes shorten the value without leaving debris",
         "q = \"x\\\"y\\\\z\\n\" tail\nnext = 2\n",
         {"q", "x\"y\\z\n", "next", "2"}},
        {"empty value discards the key", "empty =\nkept = 1\n", {"kept", "1"}},
        {"blank value discards the key", "empty =  \t \r\nkept = 1\n", {"kept", "1"}},
        {"empty quoted value discards the key", "eq = \"\" tail\nkept = 1\n", {"kept", "1"}},
        {"line without '=' is ignored", "no equals here\nafter = 2\n", {"after", "2"}},
        {"line starting with '=' is ignored", "= orphan\nafter = 2\n", {"after", "2"}},
        {"section header and text after it",
         "[Scan] x = 1\nKey=1\n",
         {"[Scan", "x", "1", "Key", "1"}},
        {"comment lines", "; first\n  ; second = x\nk = v\n", {"k", "v"}},
        {"trailing blanks of keys and values", "key \t = v \t \r\n", {"key", "v"}},
        {"CRLF line ends", "a = 1\r\nb = 2\r\n", {"a", "1", "b", "2"}},
        {"backslash before CR ends a quoted value", "q = \"ab\\\r\nk = v\n", {"q", "ab", "k", "v"}},
        {"unterminated quote runs to the line end", "q = \"abc\nk = v\n", {"q", "abc", "k", "v"}},
        // Files that do not end with a line feed.
        {"plain value at end of file", "k = v", {"k", "v"}},
        {"quoted value at end of file", "k = \"abc", {"k", "abc"}},
        {"backslash at end of file", "k = \"ab\\", {"k", "ab"}},
        {"empty quote at end of file", "a = 1\nk = \"", {"a", "1"}},
        {"key without '=' at end of file", "a = 1\nkey", {"a", "1"}},
        {"key with '=' at end of file", "a = 1\nkey =", {"a", "1"}},
        {"comment at end of file", "a = 1\n; note", {"a", "1"}},
        {"unclosed section at end of file", "a = 1\n[sect", {"a", "1", "[sect"}},
        {"empty file", "", {}},
        // NUL bytes inside the file must not shift later key/value pairs.
        {"NUL inside a value", std::string("a = x\0y\nb = 2\n", 14), {"a", "x", "b", "2"}},
        {"NUL inside a key", std::string("a\0b = 1\nc = 2\n", 14), {"c", "2"}},
        {"NUL inside a quoted value",
         std::string("a = \"x\0y\" z\nb = 2\n", 18),
         {"a", "x", "b", "2"}},
        {"NUL inside a section header", std::string("[s\0t] k = 1\nb = 2\n", 18), {"[s", "b", "2"}},
    };
    qztest::TempDir dir;
    for (const SplitCase& c : kCases) {
        SCOPED_TRACE(c.name);
        IniPtr ini = load_text(dir, c.text);
        ASSERT_NE(ini, nullptr);
        EXPECT_EQ(strings_of(ini.get()), c.expected);
        EXPECT_EQ(*ini->end, '\0');
        EXPECT_EQ(static_cast<size_t>(ini->end - ini->data), c.text.size());
    }
}

TEST(IniLoad, HandlesLinesLongerThanAnyFixedBuffer) {
    qztest::TempDir dir;
    std::string long_value(200000, 'v');
    IniPtr ini = load_text(dir, "big = " + long_value + "\nafter = 1");
    ASSERT_NE(ini, nullptr);
    EXPECT_EQ(ini_get(ini.get(), nullptr, "big"), long_value);
    EXPECT_STREQ(ini_get(ini.get(), nullptr, "after"), "1");
}

TEST(IniLoad, ReportsFilesItCannotRead) {
    qztest::TempDir dir;
    errno = 0;
    EXPECT_EQ(ini_load(dir.file("missing.ini").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(ini_load(dir.path().c_str()), nullptr);
    EXPECT_EQ(ini_load(nullptr), nullptr);

    if (geteuid() != 0) {  // root reads files whatever their mode
        std::string locked = dir.file("locked.ini");
        qztest::write_file(locked, "a = 1\n");
        chmod(locked.c_str(), 0);
        errno = 0;
        EXPECT_EQ(ini_load(locked.c_str()), nullptr);
        EXPECT_EQ(errno, EACCES);
    }
}

TEST(IniLoad, RefusesFilesBeyondA32BitLength) {
    qztest::TempDir dir;
    qztest::TraceCapture trace(QZ_LOG_ERROR);
    std::string path = dir.file("huge.ini");
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    // Sparse: takes no disk space.
    ASSERT_EQ(ftruncate(fd, 0x80000000LL), 0);
    close(fd);
    errno = 0;
    EXPECT_EQ(ini_load(path.c_str()), nullptr);
    EXPECT_EQ(errno, EFBIG);
    EXPECT_TRUE(trace.contains("is too large (2147483648 bytes)"));
}

TEST(IniGet, MatchesSectionAndKeyIgnoringCase) {
    qztest::TempDir dir;
    IniPtr ini = load_text(dir,
                           "top = 0\n"
                           "[Scan]\n"
                           "Key=1\n"
                           "[Other]\n"
                           "key = 2\n"
                           "[Scan]\n"
                           "late = 3\n");
    ASSERT_NE(ini, nullptr);
    const ini_t* p = ini.get();
    EXPECT_STREQ(ini_get(p, "scan", "KEY"), "1");
    EXPECT_STREQ(ini_get(p, "OTHER", "key"), "2");
    EXPECT_STREQ(ini_get(p, nullptr, "key"), "1");  // first match in any section
    EXPECT_STREQ(ini_get(p, "", "top"), "0");       // before the first header
    EXPECT_STREQ(ini_get(p, "scan", "late"), "3");
    EXPECT_EQ(ini_get(p, "scan", "top"), nullptr);
    EXPECT_EQ(ini_get(p, "missing", "key"), nullptr);
    EXPECT_EQ(ini_get(p, "scan", "Key=1"), nullptr);
    EXPECT_EQ(ini_get(nullptr, "scan", "key"), nullptr);
    EXPECT_EQ(ini_get(p, "scan", nullptr), nullptr);
}

TEST(IniGet, ValueThatLooksLikeASectionStaysAValue) {
    qztest::TempDir dir;
    IniPtr ini = load_text(dir, "[a]\nk = [b]\nn = 1\n");
    ASSERT_NE(ini, nullptr);
    EXPECT_STREQ(ini_get(ini.get(), "a", "k"), "[b]");
    EXPECT_STREQ(ini_get(ini.get(), "a", "n"), "1");
}

TEST(IniSget, ConvertsOrHandsOutTheValue) {
    qztest::TempDir dir;
    IniPtr ini = load_text(dir, "[s]\nnumber = 42\ntext = hello\n");
    ASSERT_NE(ini, nullptr);
    int number = 0;
    EXPECT_EQ(ini_sget(ini.get(), "s", "number", "%d", &number), 1);
    EXPECT_EQ(number, 42);
    const char* text = nullptr;
    EXPECT_EQ(ini_sget(ini.get(), "s", "text", nullptr, &text), 1);
    EXPECT_STREQ(text, "hello");
    int untouched = 7;
    EXPECT_EQ(ini_sget(ini.get(), "s", "absent", "%d", &untouched), 0);
    EXPECT_EQ(untouched, 7);
}

TEST(IniFree, IgnoresNull) { ini_free(nullptr); }

}  // namespace
