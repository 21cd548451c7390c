#include "util/base64.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "log/log.h"
#include "support/temp_dir.h"

namespace {

std::string decode(const std::string& in) {
    size_t len = 99;
    char* out = new_base64_decode(in.data(), nullptr, in.size(), &len);
    EXPECT_NE(out, nullptr);
    if (out == nullptr) return "<null>";
    EXPECT_EQ(out[len], '\0');
    std::string result(out, len);
    free(out);
    return result;
}

TEST(Base64, DecodesAndSkipsCharactersOutsideTheAlphabet) {
    struct Case {
        const char* in;
        std::string out;
    };
    const Case kCases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYmFy", "foobar"},
        {"Zm9v\r\nYmFy\n", "foobar"},
        {" Zm 9v\tYm*Fy ", "foobar"},
        {"AP8A/w==", std::string("\x00\xff\x00\xff", 4)},
        {"-_!", ""},
    };
    for (const Case& c : kCases) EXPECT_EQ(decode(c.in), c.out) << c.in;
}

TEST(Base64, RoundTripsRandomDataThroughACallerBuffer) {
    ASSERT_GE(sodium_init(), 0);
    std::mt19937 rng(3);
    for (size_t size : {1u, 2u, 3u, 57u, 1000u, 70000u}) {
        std::vector<unsigned char> data(size);
        for (auto& b : data) b = static_cast<unsigned char>(rng());
        std::string encoded(sodium_base64_encoded_len(size, sodium_base64_VARIANT_ORIGINAL), '\0');
        sodium_bin2base64(encoded.data(), encoded.size(), data.data(), size,
                          sodium_base64_VARIANT_ORIGINAL);
        encoded.resize(encoded.size() - 1);
        // Line breaks every 76 characters, as mail and PEM encoders write them.
        for (size_t at = 76; at < encoded.size(); at += 78) encoded.insert(at, "\r\n");

        // The exact capacity, with a guard byte after it that must survive.
        const size_t capacity = qz_base64_decoded_capacity(encoded.size());
        std::vector<char> out(capacity + 1, '#');
        size_t len = 0;
        ASSERT_EQ(new_base64_decode(encoded.data(), out.data(), encoded.size(), &len), out.data());
        ASSERT_EQ(len, size);
        EXPECT_EQ(0, memcmp(out.data(), data.data(), size)) << size;
        EXPECT_EQ(out[len], '\0');
        EXPECT_EQ(out[capacity], '#') << "wrote past the documented capacity";
    }
}

TEST(Base64, NullInputIsRefused) {
    qztest::TraceCapture trace(QZ_LOG_ERROR);
    size_t len = 5;
    EXPECT_EQ(new_base64_decode(nullptr, nullptr, 4, &len), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_TRUE(trace.contains("Invalid arguments"));
}

TEST(Base64, IsBase64StopsAtPaddingOrTheFirstForeignByte) {
    struct Case {
        std::string in;
        int rc;
        const char* trace;
    };
    const Case kCases[] = {
        {"Zm9v\r\nYmFy\t", 1, "File could be base64 encoded"},
        {"Zm8=!!! anything after padding", 1, "File could be base64 encoded"},
        {"", 1, "File could be base64 encoded"},
        {"Zm9v YmFy", 0, "File is NOT base64"},
        {"%PDF-1.7", 0, "File is NOT base64"},
        {std::string("Zm\0v", 4), 0, "File is NOT base64"},
    };
    for (const Case& c : kCases) {
        qztest::TraceCapture trace(QZ_LOG_DEBUG);
        EXPECT_EQ(is_base64(c.in.data(), c.in.size()), c.rc) << c.in;
        EXPECT_TRUE(trace.contains(c.trace)) << c.in;
    }
    EXPECT_EQ(is_base64(nullptr, 3), 0);
}

}  // namespace
