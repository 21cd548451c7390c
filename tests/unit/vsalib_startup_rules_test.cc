// The rules start-up applies to the host's settings: which services INITENGINES asks for, in
// which order they may run, and how the broker URL and the proxy become connection settings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "connection/connection.h"
#include "support/temp_dir.h"
#include "vsa_engine.h"
#include "vsalib_connection_settings.h"
#include "vsalib_services.h"

namespace {

using qztest::TraceCapture;

std::string joined(char** services) {
    std::string text;
    for (char** name = services; name != nullptr && *name != nullptr; ++name) {
        if (!text.empty()) text += ",";
        text += *name;
    }
    return text;
}

TEST(VsalibServices, EnginesListBecomesServicesMaskAndOrder) {
    struct Case {
        const char* engines;
        int rc;
        const char* services;  // on success
        uint32_t mask;
        const char* message;  // on failure
    };
    const char* kNone = "Failed to determine needed services. Check INITENGINES parameter";
    const char* kOrder = "Check services order";
    const Case kCases[] = {
        {"mimescan;archiveextractor;activecontent;clamav", 0,
         "qz-av-mimescan,qz-av-archiveextractor,qz-av-activecontent,qz-av-clamav", 0x4e, ""},
        {"activecontent;mimescan", -1, "", 0, kOrder},
        // Without the archive extractor the MIME scanner must come first.
        {"scanproxy;mimescan;activecontent", -1, "", 0, kOrder},
        {"scanproxy;mimescan;archiveextractor;activecontent", 0,
         "qz-av-scanproxy,qz-av-mimescan,qz-av-archiveextractor,qz-av-activecontent", 0x40e, ""},
        {"mimescan;activecontent", 0, "qz-av-mimescan,qz-av-activecontent", 0x6, ""},
        {"activecontent", -1, "", 0, kOrder},
        {"mimescan;activecontent;cloudscan", -1, "", 0, kOrder},
        {"mimescan;archiveextractor;activecontent;scanproxy", -1, "", 0, kOrder},
        // Without the active-content checker there is no ordering rule.
        {"clamav;mimescan;scanproxy", 0, "qz-av-clamav,qz-av-mimescan,qz-av-scanproxy", 0x442, ""},
        {"foo", -1, "", 0, kNone},
        {"", -1, "", 0, kNone},
        {";;", -1, "", 0, kNone},
        // Names are trimmed and lowered; empty pieces are skipped.
        {" MIMESCAN ;;DUMMY;", 0, "qz-av-mimescan,qz-av-dummy", 0x12, ""},
        // A "+" suffix stays in the name; only exact names set a bit.
        {"clamav+1;mimescan", 0, "qz-av-clamav+1,qz-av-mimescan", 0x2, ""},
        {"clamav+1", -1, "", 0, kNone},
        {"icap;sophos;trellix;cloudscan", 0,
         "qz-av-icap,qz-av-sophos,qz-av-trellix,qz-av-cloudscan", 0x5a0, ""},
        {nullptr, -1, "", 0, kNone},
    };
    for (const Case& c : kCases) {
        TraceCapture trace;
        char** services = reinterpret_cast<char**>(1);
        uint32_t mask = 99;
        char message[VSALIB_MESSAGE_SIZE] = "old";
        const std::string label = c.engines != nullptr ? c.engines : "(null)";
        ASSERT_EQ(vsalib_determine_services(c.engines, &services, &mask, message), c.rc) << label;
        EXPECT_EQ(joined(services), c.services) << label;
        EXPECT_EQ(mask, c.mask) << label;
        if (c.rc == 0) {
            EXPECT_STREQ(message, "") << label;
            EXPECT_TRUE(trace.contains("vsalib_VsaInit(): Servicename 0 : ")) << label;
        } else {
            EXPECT_EQ(services, nullptr) << label;
            EXPECT_STREQ(message, c.message) << label;
            EXPECT_TRUE(trace.contains(std::string("vsalib_VsaInit(): ") + c.message)) << label;
        }
        vsalib_free_services(services == reinterpret_cast<char**>(1) ? nullptr : services);
    }
}

TEST(VsalibServices, BitsOfTheKnownServices) {
    EXPECT_EQ(vsalib_service_bit("qz-av-mimescan"), 0x2u);
    EXPECT_EQ(vsalib_service_bit("qz-av-activecontent"), 0x4u);
    EXPECT_EQ(vsalib_service_bit("qz-av-archiveextractor"), 0x8u);
    EXPECT_EQ(vsalib_service_bit("qz-av-dummy"), 0x10u);
    EXPECT_EQ(vsalib_service_bit("qz-av-icap"), 0x20u);
    EXPECT_EQ(vsalib_service_bit("qz-av-clamav"), 0x40u);
    EXPECT_EQ(vsalib_service_bit("qz-av-sophos"), 0x80u);
    EXPECT_EQ(vsalib_service_bit("qz-av-trellix"), 0x100u);
    EXPECT_EQ(vsalib_service_bit("qz-av-scanproxy"), 0x400u);
    EXPECT_EQ(vsalib_service_bit("qz-av-cloudscan"), 0x400u);
    EXPECT_EQ(vsalib_service_bit("qz-av-ClamAV"), 0u);
    EXPECT_EQ(vsalib_service_bit("qz-av-control"), 0u);
    EXPECT_EQ(vsalib_service_bit(nullptr), 0u);
}

struct ConnectionSettings : ::testing::Test {
    ~ConnectionSettings() override { qz_connection_config_free(config); }
    qz_connection_config* config = qz_connection_config_new();
    char message[VSALIB_MESSAGE_SIZE] = "";
};

std::string text(const char* s) { return s != nullptr ? s : "(null)"; }

TEST_F(ConnectionSettings, BrokerUrlBecomesServerHostAndPort) {
    struct Case {
        const char* url;
        const char* server_url;
        const char* host;
        const char* port;
        const char* user;
        const char* password;
    };
    const Case kCases[] = {
        // amqps:// is answered on the broker's TLS port, whatever port was given.
        {"amqps://H:5671", "tls://H:4222", "H", "5671", nullptr, nullptr},
        {"amqps://broker.example", "tls://broker.example:4222", "broker.example", "5672", nullptr,
         nullptr},
        {"tls://H:4443", "tls://H:4443", "H", "4443", nullptr, nullptr},
        {"nats://127.0.0.1:4222", "nats://127.0.0.1:4222", "127.0.0.1", "4222", nullptr, nullptr},
        {"AMQPS://H:5671", "AMQPS://H:5671", "H", "5671", nullptr, nullptr},
        // Credentials leave the URL and win over the configured defaults.
        {"nats://qz:pw@H:4222", "nats://H:4222", "H", "4222", "qz", "pw"},
        {"amqps://qz:p%40ss@H:5671/vhost", "tls://H:4222", "H", "5671", "qz", "p@ss"},
        {"nats://token@H:4222", "nats://H:4222", "H", "4222", "token", ""},
    };
    for (const Case& c : kCases) {
        TraceCapture trace;
        qz_connection_config_free(config);
        config = qz_connection_config_new();
        ASSERT_EQ(vsalib_apply_broker_url(config, c.url, message), 0) << c.url;
        EXPECT_EQ(text(config->server_url), c.server_url) << c.url;
        EXPECT_EQ(text(config->broker_host), c.host) << c.url;
        EXPECT_EQ(text(config->broker_port), c.port) << c.url;
        EXPECT_EQ(text(config->user), text(c.user)) << c.url;
        EXPECT_EQ(text(config->password), text(c.password)) << c.url;
        if (c.password != nullptr && *c.password != '\0') {
            EXPECT_FALSE(trace.contains(c.password)) << c.url;
        }
    }
}

TEST_F(ConnectionSettings, AmqpsRewriteIsTraced) {
    TraceCapture trace;
    ASSERT_EQ(vsalib_apply_broker_url(config, "amqps://H:5671", message), 0);
    EXPECT_TRUE(trace.contains(
        "VsaInit: INITDRIVERS scheme amqps:// rewritten to tls:// (amqps://H:5671 \xE2\x86\x92 "
        "tls://H:4222) for NATS broker compatibility"));
    EXPECT_TRUE(trace.contains("Parsing broker information: amqps://H:5671"));
}

TEST_F(ConnectionSettings, UnreadableBrokerUrlFails) {
    TraceCapture trace;
    for (const char* url : {"nats://", "nats://:4222", "tls://u:p@:4222", ""}) {
        message[0] = '\0';
        EXPECT_EQ(vsalib_apply_broker_url(config, url, message), -1) << url;
        EXPECT_STREQ(message, "Failed to read or store message broker information") << url;
    }
    EXPECT_TRUE(trace.contains("FATAL"));
    EXPECT_EQ(vsalib_apply_broker_url(config, nullptr, message), -1);
    EXPECT_EQ(config->server_url, nullptr);
}

TEST_F(ConnectionSettings, ProxyIsParsedOrClearedByNone) {
    ASSERT_EQ(vsalib_apply_proxy(config, "http://pu:pp@proxy.example:3128", message), 0);
    EXPECT_EQ(text(config->proxy_host), "proxy.example");
    EXPECT_EQ(text(config->proxy_port), "3128");
    EXPECT_EQ(text(config->proxy_user), "pu");
    EXPECT_EQ(text(config->proxy_password), "pp");
    for (const char* none : {"NONE", "none", "NoNe"}) {
        ASSERT_EQ(vsalib_apply_proxy(config, "proxy.example:3128", message), 0);
        EXPECT_EQ(text(config->proxy_user), "(null)");
        ASSERT_EQ(vsalib_apply_proxy(config, none, message), 0) << none;
        EXPECT_EQ(config->proxy_host, nullptr) << none;
        EXPECT_EQ(config->proxy_port, nullptr) << none;
        EXPECT_EQ(config->proxy_user, nullptr) << none;
        EXPECT_EQ(config->proxy_password, nullptr) << none;
    }
    EXPECT_EQ(vsalib_apply_proxy(config, nullptr, message), 0);
}

TEST_F(ConnectionSettings, ProxyWithoutPortFails) {
    TraceCapture trace;
    EXPECT_EQ(vsalib_apply_proxy(config, "proxy.example", message), -1);
    EXPECT_STREQ(message, "Failed to parse proxy information");
    EXPECT_TRUE(trace.contains("Failed to parse proxy information"));
    EXPECT_EQ(config->proxy_host, nullptr);
}

}  // namespace
