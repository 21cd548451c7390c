#include "util/string_builder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct BuilderDelete {
    void operator()(str_builder_t* sb) const { str_builder_destroy(sb); }
};
using Builder = std::unique_ptr<str_builder_t, BuilderDelete>;

Builder make_builder() {
    Builder sb(str_builder_create());
    EXPECT_NE(sb, nullptr);
    return sb;
}

TEST(StringBuilder, StartsEmptyWithRoomFor32) {
    Builder sb = make_builder();
    EXPECT_EQ(str_builder_len(sb.get()), 0u);
    EXPECT_EQ(str_builder_capacity(sb.get()), 32u);
    EXPECT_STREQ(str_builder_peek(sb.get()), "");
}

TEST(StringBuilder, CapacityDoublesUntilTextAndNulFit) {
    struct Case {
        size_t first, second, capacity;
    };
    // 31 characters + NUL fill 32 exactly; one more needs 64; 40 at once go to 64; 200 to 256.
    const Case kCases[] = {{31, 0, 32}, {31, 1, 64},  {40, 0, 64},
                           {63, 0, 64}, {64, 0, 128}, {200, 0, 256}};
    for (const Case& c : kCases) {
        Builder sb = make_builder();
        const std::string a(c.first, 'a'), b(c.second, 'b');
        ASSERT_EQ(str_builder_add_str(sb.get(), a.c_str(), 0), 0);
        ASSERT_EQ(str_builder_add_str(sb.get(), b.c_str(), 0), 0);
        EXPECT_EQ(str_builder_capacity(sb.get()), c.capacity) << c.first << "+" << c.second;
        EXPECT_EQ(std::string(str_builder_peek(sb.get())), a + b);
    }

    Builder chars = make_builder();
    for (int i = 0; i < 31; ++i) ASSERT_EQ(str_builder_add_char(chars.get(), 'x'), 0);
    EXPECT_EQ(str_builder_capacity(chars.get()), 32u);
    ASSERT_EQ(str_builder_add_char(chars.get(), 'y'), 0);
    EXPECT_EQ(str_builder_capacity(chars.get()), 64u);
    EXPECT_EQ(str_builder_len(chars.get()), 32u);
}

TEST(StringBuilder, AddsPartsIntegersAndIgnoresEmptyText) {
    Builder sb = make_builder();
    ASSERT_EQ(str_builder_add_str(sb.get(), "hello world", 5), 0);
    ASSERT_EQ(str_builder_add_char(sb.get(), ' '), 0);
    ASSERT_EQ(str_builder_add_int(sb.get(), -2147483647 - 1), 0);
    ASSERT_EQ(str_builder_add_str(sb.get(), nullptr, 3), 0);
    ASSERT_EQ(str_builder_add_str(sb.get(), "", 0), 0);
    EXPECT_STREQ(str_builder_peek(sb.get()), "hello -2147483648");
    EXPECT_EQ(str_builder_add_str(nullptr, "x", 0), -1);
}

TEST(StringBuilder, TruncateDropClearAndDump) {
    Builder sb = make_builder();
    ASSERT_EQ(str_builder_add_str(sb.get(), "abcdefgh", 0), 0);
    str_builder_truncate(sb.get(), 20);
    EXPECT_STREQ(str_builder_peek(sb.get()), "abcdefgh") << "truncate never lengthens";
    str_builder_truncate(sb.get(), 6);
    EXPECT_STREQ(str_builder_peek(sb.get()), "abcdef");
    str_builder_drop(sb.get(), 2);
    EXPECT_STREQ(str_builder_peek(sb.get()), "cdef");
    EXPECT_EQ(str_builder_len(sb.get()), 4u);

    size_t len = 0;
    char* copy = str_builder_dump(sb.get(), &len);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "cdef");
    EXPECT_EQ(len, 4u);
    EXPECT_NE(copy, str_builder_peek(sb.get()));
    free(copy);

    str_builder_drop(sb.get(), 10);
    EXPECT_STREQ(str_builder_peek(sb.get()), "");
    ASSERT_EQ(str_builder_add_str(sb.get(), "xyz", 0), 0);
    str_builder_clear(sb.get());
    EXPECT_EQ(str_builder_len(sb.get()), 0u);
    EXPECT_STREQ(str_builder_peek(sb.get()), "");
}

}  // namespace
