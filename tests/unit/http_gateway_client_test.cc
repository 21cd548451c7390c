// The HTTP gateway client without a gateway: the option defaults, how the URL posted to and the
// proxy address are put together, and the requests refused before anything is sent.
#include "connection/http_gateway_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "log/log.h"
#include "support/temp_dir.h"

namespace {

using qztest::TraceCapture;

TEST(GatewayOpts, DefaultsVerifyEverythingUseNoProxyAndPostToVsi) {
    qz_gateway_opts opts;
    memset(&opts, 0x5a, sizeof(opts));
    qz_gateway_opts_defaults(&opts);
    EXPECT_EQ(opts.proxy_host, nullptr);
    EXPECT_EQ(opts.proxy_port, nullptr);
    EXPECT_EQ(opts.proxy_user, nullptr);
    EXPECT_EQ(opts.proxy_password, nullptr);
    EXPECT_EQ(opts.ca_file, nullptr);
    EXPECT_EQ(opts.verify_peer, 1);
    EXPECT_EQ(opts.verify_host, 1);
    EXPECT_STREQ(opts.path, "/vsi");
    qz_gateway_opts_defaults(nullptr);
}

TEST(GatewayUrl, PathIsAppendedOnlyToAUrlWithoutOneOfItsOwn) {
    struct Case {
        const char* server_url;
        const char* path;
        const char* url;
    };
    const Case kCases[] = {
        {"https://gw.example", "/vsi", "https://gw.example/vsi"},
        {"https://gw.example:8443", "/vsi", "https://gw.example:8443/vsi"},
        {"https://gw.example/api/scan", "/vsi", "https://gw.example/api/scan"},
        {"https://gw.example:8443/x", "/vsi", "https://gw.example:8443/x"},
        {"https://gw.example/?tenant=a", "/vsi", "https://gw.example/?tenant=a"},
        // One slash between URL and path, never two and never none.
        {"https://gw.example/", "/vsi", "https://gw.example/vsi"},
        {"https://gw.example", "vsi", "https://gw.example/vsi"},
        {"https://gw.example/", "vsi", "https://gw.example/vsi"},
        {"http://10.0.0.1", "/gateway/v1", "http://10.0.0.1/gateway/v1"},
        // No path given: the default.
        {"https://gw.example", nullptr, "https://gw.example/vsi"},
        // Something without a host part is joined all the same; libcurl then names the fault.
        {"https://", "/vsi", "https:///vsi"},
        {"gw.example", "/vsi", "gw.example/vsi"},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(qz::gateway::request_url(c.server_url, c.path), c.url)
            << c.server_url << " + " << (c.path != nullptr ? c.path : "(null)");
    }
}

TEST(GatewayProxy, HostWithPortOrAlone) {
    struct Case {
        const char* host;
        const char* port;
        const char* address;
    };
    const Case kCases[] = {
        {"proxy.local", "3128", "proxy.local:3128"},
        {"proxy.local", "", "proxy.local"},
        {"proxy.local", nullptr, "proxy.local"},
        {"", "3128", ""},
        {nullptr, "3128", ""},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(qz::gateway::proxy_address(c.host, c.port), c.address)
            << (c.host != nullptr ? c.host : "(null)");
    }
}

TEST(GatewayRequest, RequestsThatCannotBeSentAreRefusedBeforeAnyTraffic) {
    struct Case {
        const char* name;
        const char* server_url;
        const char* service;
        const char* json;
        bool with_reply_place;
        const char* error;
    };
    constexpr char kInvalid[] = "invalid parameters for the HTTP gateway request";
    constexpr char kBadService[] = "invalid target service name for the HTTP gateway request";
    // Port 9 of an address no test listens on: nothing may get that far.
    const Case kCases[] = {
        {"no URL", nullptr, "qz-av-x", "{}", true, kInvalid},
        {"no JSON", "http://127.0.0.1:9", "qz-av-x", nullptr, true, kInvalid},
        {"no reply place", "http://127.0.0.1:9", "qz-av-x", "{}", false, kInvalid},
        {"no service", "http://127.0.0.1:9", nullptr, "{}", true, kBadService},
        {"empty service", "http://127.0.0.1:9", "", "{}", true, kBadService},
        {"line break in service", "http://127.0.0.1:9", "a\r\nX-Other: 1", "{}", true, kBadService},
        {"tab in service", "http://127.0.0.1:9", "a\tb", "{}", true, kBadService},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TraceCapture trace(QZ_LOG_DEBUG);
        json_object* reply = reinterpret_cast<json_object*>(0x1);
        char errbuf[1024] = "stale";
        EXPECT_EQ(qz_gateway_send_recv_json(c.server_url, "u", "p", c.service, c.json, nullptr, 100,
                                            c.with_reply_place ? &reply : nullptr, errbuf),
                  -1);
        if (c.with_reply_place) {
            EXPECT_EQ(reply, nullptr);
        }
        EXPECT_STREQ(errbuf, c.error);
        EXPECT_TRUE(trace.contains(std::string("qz_http_gateway_client: ") + c.error));
        EXPECT_FALSE(trace.contains("POST"));
        // The facade is told not to send the same request again.
        if (c.with_reply_place) {
            const qz::gateway::Outcome outcome = qz::gateway::exchange(
                c.server_url, "u", "p", c.service, c.json, nullptr, 0, nullptr, 100, nullptr);
            EXPECT_EQ(outcome.reply, nullptr);
            EXPECT_TRUE(outcome.permanent);
        }
    }
}

}  // namespace
