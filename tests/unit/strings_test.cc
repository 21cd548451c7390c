#include "util/strings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "log/log.h"
#include "support/temp_dir.h"

namespace {

TEST(Strings, TrimWhitespace) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case kCases[] = {{"  a b \t\n", "a b"}, {" \t \r\n ", ""}, {"", ""}, {"x", "x"},
                           {"\tx", "x"},          {"x  ", "x"}};
    for (const Case& c : kCases) {
        std::string buf = c.in;
        EXPECT_STREQ(qzhlp_TrimWhitespace(buf.data()), c.out) << '"' << c.in << '"';
    }
    EXPECT_EQ(qzhlp_TrimWhitespace(nullptr), nullptr);
}

TEST(Strings, EndsWithAndIsNumber) {
    EXPECT_EQ(qzhlp_StringEndsWith("file.cfg", ".cfg"), 1);
    EXPECT_EQ(qzhlp_StringEndsWith("file.cfg", "file.cfg"), 1);
    EXPECT_EQ(qzhlp_StringEndsWith("cfg", ".cfg"), 0);
    EXPECT_EQ(qzhlp_StringEndsWith("file.cfg", ""), 1);
    EXPECT_EQ(qzhlp_StringEndsWith(nullptr, "x"), 0);

    EXPECT_EQ(qzhlp_StringIsNumber("12345"), 1);
    EXPECT_EQ(qzhlp_StringIsNumber("-1.5 +2"), 1);
    EXPECT_EQ(qzhlp_StringIsNumber(""), 1);
    EXPECT_EQ(qzhlp_StringIsNumber("12a"), 0);
    EXPECT_EQ(qzhlp_StringIsNumber("0x10"), 0);
    EXPECT_EQ(qzhlp_StringIsNumber(nullptr), -1);
}

TEST(Strings, NormalizeLowersTrimsAndCutsPerThread) {
    qztest::TraceCapture trace(QZ_LOG_TRACE);
    EXPECT_STREQ(qzhlp_normalize_string("  ClamAV \t"), "clamav");
    EXPECT_TRUE(trace.contains("Normalized string \"clamav\""));

    const std::string longer(2000, 'X');
    EXPECT_EQ(std::string(qzhlp_normalize_string(longer.c_str())), std::string(1023, 'x'));
    EXPECT_EQ(qzhlp_normalize_string(nullptr), nullptr);

    // Each thread has its own buffer: another thread's call does not overwrite ours.
    const char* mine = qzhlp_normalize_string("Main");
    std::thread([] { EXPECT_STREQ(qzhlp_normalize_string("OTHER"), "other"); }).join();
    EXPECT_STREQ(mine, "main");
}

TEST(Strings, LineBreaks) {
    char a[] = "first\nsecond\nthird";
    EXPECT_STREQ(qzhlp_remove_linebreak(a), "first");
    char b[] = "first\nsecond\n";
    EXPECT_STREQ(qzhlp_replace_all_linebreaks(b, ' '), "first second ");
    char c[] = "none";
    EXPECT_STREQ(qzhlp_remove_linebreak(c), "none");
}

TEST(Strings, EscapeQuotesReplacesTheString) {
    char* text = strdup(R"(say "hi" "")");
    ASSERT_EQ(qzhlp_escape_quotes_inplace(&text), 0);
    EXPECT_STREQ(text, R"(say \"hi\" \"\")");
    free(text);
    EXPECT_EQ(qzhlp_escape_quotes_inplace(nullptr), -1);
    char* null_text = nullptr;
    EXPECT_EQ(qzhlp_escape_quotes_inplace(&null_text), -1);
}

TEST(Strings, GetQuotedText) {
    struct Case {
        const char* text;
        size_t limit;
        size_t rc;
        const char* copied;
        size_t stop;  // offset of where scanning stopped
    };
    const Case kCases[] = {
        {R"(name="value" rest)", 100, 6, "value", 12},
        {R"(a="" b)", 100, 1, "", 4},
        {R"(x="say \"hi\"" y)", 100, 11, R"(say \"hi\")", 14},
        {R"(no quotes)", 100, 0, "", 9},
        {R"(open="never closed)", 100, 0, "", 18},
        {R"(cut="value")", 8, 0, "", 8},  // closing quote lies beyond the limit
    };
    for (const Case& c : kCases) {
        char out[64];
        const char* stop = nullptr;
        EXPECT_EQ(qzhlp_GetQuotedText(c.text, c.limit, out, sizeof(out), &stop), c.rc) << c.text;
        EXPECT_STREQ(out, c.copied) << c.text;
        EXPECT_EQ(stop, c.text + c.stop) << c.text;
    }
    char small[4];
    EXPECT_EQ(qzhlp_GetQuotedText(R"("toolong")", 100, small, sizeof(small), nullptr), 0u);
    EXPECT_EQ(small[0], '\0');
}

TEST(Strings, FindBinaryPattern) {
    const unsigned char plain[] = "xxMZheader";
    const unsigned char* hit = qzhlp_FindBinaryPattern(
        plain, sizeof(plain) - 1, reinterpret_cast<const unsigned char*>("MZ"), 2, 0);
    EXPECT_EQ(hit, plain + 4);

    // UTF-16LE "<script>" found with stride 1; the end points just past the last 't'.
    const unsigned char wide[] = {'a', 0,   '<', 0,   's', 0,   'c', 0,   'r',
                                  0,   'i', 0,   'p', 0,   't', 0,   '>', 0};
    const unsigned char* needle = reinterpret_cast<const unsigned char*>("script");
    EXPECT_EQ(qzhlp_FindBinaryPattern(wide, sizeof(wide), needle, 6, 1), wide + 15);
    EXPECT_EQ(qzhlp_FindBinaryPattern(wide, sizeof(wide), needle, 6, 0), nullptr);
    // A match may end on the very last byte but not run past it.
    EXPECT_EQ(qzhlp_FindBinaryPattern(wide, 15, needle, 6, 1), wide + 15);
    EXPECT_EQ(qzhlp_FindBinaryPattern(wide, 14, needle, 6, 1), nullptr);
    EXPECT_EQ(
        qzhlp_FindBinaryPattern(plain, 3, reinterpret_cast<const unsigned char*>("xxMZ"), 4, 0),
        nullptr);
    EXPECT_EQ(qzhlp_FindBinaryPattern(plain, 10, needle, 0, 0), nullptr);
}

TEST(Strings, RandomStringsUseTheAlphabetAndDiffer) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        char buf[17];
        memset(buf, '#', sizeof(buf));
        ASSERT_EQ(qzhlp_rand_str(buf, 16), buf);
        ASSERT_EQ(buf[16], '\0');
        for (int k = 0; k < 16; ++k)
            ASSERT_TRUE(isalnum(static_cast<unsigned char>(buf[k]))) << buf;
        seen.insert(buf);
    }
    // Back-to-back calls in the same clock tick must still differ.
    EXPECT_EQ(seen.size(), 50u);
    char empty[1] = {'#'};
    EXPECT_STREQ(qzhlp_rand_str(empty, 0), "");
}

TEST(Strings, WildcardMatch) {
    struct Case {
        const char* tame;
        const char* wild;
        int case_sensitive;
        char terminator;
        int match;
    };
    const Case kCases[] = {
        {"file.TXT", "*.txt", 1, '\0', 0},
        {"file.TXT", "*.txt", 0, '\0', 1},
        {"abc", "a?c", 1, '\0', 1},
        {"abc", "a*", 1, '\0', 1},
        {"", "*", 1, '\0', 1},
        {"", "", 1, '\0', 1},
        {"a", "", 1, '\0', 0},
        {"", "?", 1, '\0', 0},
        {"abc", "abcd", 1, '\0', 0},
        {"mississippi", "*sip*", 1, '\0', 1},
        {"mississippi", "m*iss*ppi", 1, '\0', 1},
        {"mississippi", "m*x*", 1, '\0', 0},
        {"abcabd", "*abd", 1, '\0', 1},
        {"aaa", "a**a", 1, '\0', 1},
        {"ab", "*?*?*?", 1, '\0', 0},
        {"abc;rest", "a*c;other", 1, ';', 1},
        {"abd;rest", "a*c;other", 1, ';', 0},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(qzhlp_WildcardTextMatch(c.tame, c.wild, c.case_sensitive, c.terminator), c.match)
            << '"' << c.tame << "\" vs \"" << c.wild << '"';
    }

    qztest::TraceCapture trace(QZ_LOG_ERROR);
    EXPECT_EQ(qzhlp_WildcardTextMatch(nullptr, "*", 1, '\0'), 0);
    EXPECT_TRUE(trace.contains("Invalid parameter pTameText (NULL)"));
    EXPECT_EQ(qzhlp_WildcardTextMatch("x", nullptr, 1, '\0'), 0);
    EXPECT_TRUE(trace.contains("Invalid parameter pWildText (NULL)"));
}

}  // namespace
