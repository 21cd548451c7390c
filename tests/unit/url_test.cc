#include "util/url.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "log/log.h"
#include "support/temp_dir.h"

namespace {

std::string encode(const std::string& in) {
    std::vector<char> out(3 * in.size() + 1, 'Z');  // not zero-filled on purpose
    const int rc = qz_UrlEncode(in.c_str(), out.data());
    EXPECT_EQ(rc, static_cast<int>(strlen(out.data())));
    return out.data();
}

TEST(Url, EncodeKeepsSafeCharactersAndEscapesTheRest) {
    struct Case {
        std::string in, out;
    };
    const Case kCases[] = {
        {"a b&c", "a+b%26c"},          {"", ""},
        {"AZaz09-./_", "AZaz09-./_"},  {"x=1?y~", "x%3d1%3fy%7e"},
        {"\xc3\xa4\xff", "%c3%a4%ff"}, {"%+", "%25%2b"},
    };
    for (const Case& c : kCases) EXPECT_EQ(encode(c.in), c.out) << c.in;
    EXPECT_EQ(qz_UrlEncode(nullptr, nullptr), -1);
}

TEST(Url, DecodeTurnsEscapesBackButLeavesPlus) {
    struct Case {
        const char* in;
        std::string out;
    };
    const Case kCases[] = {
        {"a+b%26c", "a+b&c"}, {"%41%62%7e%7E", "Ab~~"},
        {"100%", "100"},   // a lone '%' at the end is dropped
        {"x%4", "x"},      // '%' and one more character are dropped
        {"a%zzb", "azb"},  // '%' and the next character are dropped
        {"%g1rest", "1rest"}, {"plain", "plain"},
    };
    for (const Case& c : kCases) {
        char out[32];
        memset(out, 'Q', sizeof(out));
        EXPECT_EQ(qz_UrlDecode(out, sizeof(out), c.in), static_cast<int>(c.out.size())) << c.in;
        EXPECT_EQ(std::string(out), c.out) << c.in;
    }
}

TEST(Url, DecodeNeverWritesBeyondItsBuffer) {
    qztest::TraceCapture trace(QZ_LOG_ERROR);
    char out[8];
    out[5] = '#';
    out[6] = '#';
    out[7] = '#';
    // Only the first 5 bytes are handed over; the rest must stay untouched.
    EXPECT_EQ(qz_UrlDecode(out, 5, "abcdefgh"), -1);
    EXPECT_STREQ(out, "abcd");
    EXPECT_EQ(out[5], '#');
    EXPECT_TRUE(trace.contains("does not fit"));
    EXPECT_EQ(qz_UrlDecode(out, 5, "abcd"), 4) << "exactly fits with its NUL";
    EXPECT_EQ(qz_UrlDecode(out, 0, "a"), -1);
    EXPECT_EQ(qz_UrlDecode(nullptr, 5, "a"), -1);
    EXPECT_EQ(qz_UrlDecode(out, 5, nullptr), -1);
}

TEST(Url, SplitUrl) {
    struct Case {
        const char* url;
        const char *scheme, *host, *port, *path;
    };
    const Case kCases[] = {
        {"nats://broker:4222", "nats", "broker", "4222", ""},
        {"nats://broker", "nats", "broker", "5672", "/"},
        {"nats://broker:4222/vhost", "nats", "broker", "4222", "/vhost"},
        {"amqps://mq.example.com/prod", "amqps", "mq.example.com", "5672", "/prod"},
        {"tls://10.0.0.5:4443", "tls", "10.0.0.5", "4443", ""},
        {"broker:4222", "broker", "broker", "4222", ""},
        {"nats", "nats", "nats", "5672", "/"},
        {"", "", "", "5672", "/"},
    };
    for (const Case& c : kCases) {
        qzhlp_url_parts parts;
        ASSERT_EQ(qzhlp_split_url(&parts, c.url), &parts) << c.url;
        EXPECT_STREQ(parts.scheme, c.scheme) << c.url;
        EXPECT_STREQ(parts.host, c.host) << c.url;
        EXPECT_STREQ(parts.port, c.port) << c.url;
        EXPECT_STREQ(parts.path, c.path) << c.url;
        qzhlp_free_url_parts(&parts);
        EXPECT_EQ(parts.host, nullptr);
    }
    qzhlp_url_parts parts;
    EXPECT_EQ(qzhlp_split_url(&parts, nullptr), nullptr);
    EXPECT_EQ(qzhlp_split_url(nullptr, "nats://x"), nullptr);
    qzhlp_free_url_parts(nullptr);
}

TEST(Url, ParseUrlAuth) {
    struct Case {
        const char* text;
        bool ok;
        const char *user, *password, *host, *port;
    };
    const Case kCases[] = {
        {"alice:s3cr:et@proxy.local:3128", true, "alice", "s3cr:et", "proxy.local", "3128"},
        {"host:8080", true, nullptr, nullptr, "host", "8080"},
        {"bob@proxy:3128", true, "bob", nullptr, "proxy", "3128"},
        {"carol:p@ss@proxy:3128", true, "carol", "p@ss", "proxy", "3128"},
        {"http://proxy:8080/", true, nullptr, nullptr, "proxy", "8080"},
        {"http://u:p@proxy:8080", true, "u", "p", "proxy", "8080"},
        {"proxyonly", false, nullptr, nullptr, nullptr, nullptr},
        {"host:", false, nullptr, nullptr, nullptr, nullptr},
        {":8080", false, nullptr, nullptr, nullptr, nullptr},
        {"user:pw@host", false, nullptr, nullptr, nullptr, nullptr},
        {"", false, nullptr, nullptr, nullptr, nullptr},
    };
    for (const Case& c : kCases) {
        qzhlp_url_auth_parts parts;
        qzhlp_url_auth_parts* rc = qzhlp_parse_url_auth(&parts, c.text);
        EXPECT_EQ(rc != nullptr, c.ok) << c.text;
        EXPECT_STREQ(parts.user, c.user) << c.text;
        EXPECT_STREQ(parts.password, c.password) << c.text;
        EXPECT_STREQ(parts.host, c.host) << c.text;
        EXPECT_STREQ(parts.port, c.port) << c.text;
        qzhlp_free_url_auth_parts(&parts);
    }

    qztest::TraceCapture trace(QZ_LOG_ERROR);
    qzhlp_url_auth_parts parts;
    EXPECT_EQ(qzhlp_parse_url_auth(&parts, "secretuser:topsecret@nohost"), nullptr);
    EXPECT_FALSE(trace.contains("topsecret")) << "passwords stay out of the trace";
    EXPECT_EQ(qzhlp_parse_url_auth(&parts, nullptr), nullptr);
}

}  // namespace
