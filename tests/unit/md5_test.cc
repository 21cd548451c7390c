#include "util/md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string hex(const md5_byte_t digest[16]) {
    std::string out;
    char two[3];
    for (int i = 0; i < 16; ++i) {
        snprintf(two, sizeof(two), "%02x", digest[i]);
        out += two;
    }
    return out;
}

std::string md5_of(const std::string& text) {
    md5_state_t state;
    md5_byte_t digest[16];
    md5_init(&state);
    md5_append(&state, reinterpret_cast<const md5_byte_t*>(text.data()), text.size());
    md5_finish(&state, digest);
    return hex(digest);
}

TEST(Md5, MatchesTheReferenceTestSuite) {
    struct Case {
        const char* text;
        const char* digest;
    };
    const Case kCases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : kCases) EXPECT_EQ(md5_of(c.text), c.digest) << '"' << c.text << '"';
}

TEST(Md5, ChunkedAppendEqualsOneShot) {
    std::string data;
    for (int i = 0; i < 1000; ++i) data += static_cast<char>(i * 131 + 7);
    const std::string whole = md5_of(data);

    // Chunk sizes that straddle the 64-byte block and the 56-byte padding boundary.
    for (size_t chunk : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 200u}) {
        md5_state_t state;
        md5_byte_t digest[16];
        md5_init(&state);
        for (size_t at = 0; at < data.size(); at += chunk) {
            const size_t n = std::min(chunk, data.size() - at);
            md5_append(&state, reinterpret_cast<const md5_byte_t*>(data.data() + at), n);
        }
        md5_finish(&state, digest);
        EXPECT_EQ(hex(digest), whole) << "chunk " << chunk;
    }
    // Lengths around the padding boundary take the one- and two-block padding paths.
    EXPECT_EQ(md5_of(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(md5_of(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(md5_of(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

}  // namespace
