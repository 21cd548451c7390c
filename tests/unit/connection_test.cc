// The connection facade and the broker client without a broker: transport choice, settings
// completion at init, the gateway answers that need no network, argument checks, the records and
// reply helpers, the reply convention, and the pure parts of the NATS client (work-queue routing
// list, jitter, no-responders back-off).
#include "connection/connection.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "connection/nats_backoff.h"
#include "connection/nats_client.h"
#include "connection/nats_handles.h"
#include "connection/replies.h"
#include "connection/worker_ping.h"
#include "log/log.h"
#include "platform/host.h"
#include "support/nats_server.h"
#include "support/temp_dir.h"

namespace {

using qz::nats::JsonPtr;
using qztest::TraceCapture;

constexpr char kGatewayFailed[] = "HTTP gateway request failed: ";

// A gateway URL on loopback where nothing listens: every request fails at once.
std::string closed_gateway_url(const char* scheme = "http") {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(qztest::free_loopback_port());
}

bool starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// A config record whose strings the test sets and the destructor frees, as its owner would.
struct Config {
    qz_connection_config* c = qz_connection_config_new();
    Config() = default;
    explicit Config(const char* url) { set(&c->server_url, url); }
    ~Config() {
        qz_connection_deinit(c);
        char** texts[] = {&c->server_url,  &c->user,         &c->password,         &c->cert_path,
                          &c->client_cert, &c->client_key,   &c->js_services,      &c->broker_host,
                          &c->broker_port, &c->default_user, &c->default_password, &c->proxy_host,
                          &c->proxy_port,  &c->proxy_user,   &c->proxy_password};
        for (char** text : texts) free(*text);
        free(c);
    }
    Config(const Config&) = delete;
    Config& operator=(const Config&) = delete;
    static void set(char** field, const char* value) {
        free(*field);
        *field = value != nullptr ? strdup(value) : nullptr;
    }
};

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(ConnectionFacade, ConfigStartsZeroed) {
    Config config;
    ASSERT_NE(config.c, nullptr);
    const auto* bytes = reinterpret_cast<const unsigned char*>(config.c);
    for (size_t i = 0; i < sizeof(qz_connection_config); ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST(ConnectionFacade, TransportIsChosenByAnExactLowerCaseHttpPrefixAtEveryCall) {
    struct Case {
        const char* url;
        bool gateway;
    };
    const std::string https = closed_gateway_url("https") + "/vsi";
    const std::string http = closed_gateway_url();
    const Case kCases[] = {
        {https.c_str(), true},
        {http.c_str(), true},
        {"HTTPS://gw.example", false},
        {"Http://gw.example", false},
        {"tls://broker:4222", false},
        {"nats://127.0.0.1:4222", false},
        {"httpx://gw", false},
        {nullptr, false},
    };
    TraceCapture trace(QZ_LOG_OFF + 1);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.url != nullptr ? c.url : "(null)");
        Config config(c.url);
        char errbuf[1024] = "stale";
        JsonPtr reply(qz_connection_send_recv_json(config.c, "qz-av-x", "{}", 1000, 0, errbuf));
        EXPECT_EQ(reply, nullptr);
        if (c.gateway) {
            EXPECT_TRUE(starts_with(errbuf, kGatewayFailed)) << errbuf;
        } else {
            EXPECT_STREQ(errbuf, "NATS: invalid parameters for send_recv_json");
        }
    }
    // Not cached: the same record switches transport when its URL changes.
    Config config(http.c_str());
    char errbuf[1024];
    JsonPtr(qz_connection_send_recv_json(config.c, "s", "{}", 1000, 0, errbuf));
    EXPECT_TRUE(starts_with(errbuf, kGatewayFailed)) << errbuf;
    Config::set(&config.c->server_url, "nats://127.0.0.1:1");
    JsonPtr(qz_connection_send_recv_json(config.c, "s", "{}", 10, 0, errbuf));
    EXPECT_STREQ(errbuf, "NATS: invalid parameters for send_recv_json");
}

TEST(ConnectionFacade, InitCompletesUrlAndCredentialsBeforeConnecting) {
    TraceCapture trace(QZ_LOG_DEBUG);
    Config config;
    Config::set(&config.c->broker_host, "broker");
    Config::set(&config.c->broker_port, "4222");
    Config::set(&config.c->default_user, "svc");
    Config::set(&config.c->default_password, "pw");
    // A CA file that cannot be loaded stops the init before any connect attempt.
    Config::set(&config.c->cert_path, "/nonexistent/qz-av-ca-root.crt");
    EXPECT_EQ(qz_connection_init(config.c), -1);
    EXPECT_STREQ(config.c->server_url, "tls://broker:4222");
    EXPECT_STREQ(config.c->user, "svc");
    EXPECT_STREQ(config.c->password, "pw");
    EXPECT_NE(config.c->user, config.c->default_user) << "an owned copy";
    EXPECT_TRUE(
        trace.contains("qz_connection_init: synthesised server_url=tls://broker:4222 "
                       "from broker_host/broker_port (no explicit URL supplied; tls:// is "
                       "the default \xE2\x80\x94 set cfg->server_url before calling if you "
                       "need a different scheme)"));
    EXPECT_TRUE(trace.contains("server_url=tls://broker:4222 (scheme implies TLS=yes)"));
    EXPECT_TRUE(trace.contains("LoadCATrustedCertificates(/nonexistent/qz-av-ca-root.crt) failed"));
    EXPECT_EQ(config.c->conn, nullptr);
}

TEST(ConnectionFacade, InitKeepsExplicitSettings) {
    TraceCapture trace(QZ_LOG_DEBUG);
    Config config("nats://127.0.0.1:1");
    Config::set(&config.c->broker_host, "other");
    Config::set(&config.c->broker_port, "1");
    Config::set(&config.c->user, "given");
    Config::set(&config.c->default_user, "fallback");
    Config::set(&config.c->client_cert, "/nonexistent/cert.pem");
    Config::set(&config.c->client_key, "/nonexistent/key.pem");
    EXPECT_EQ(qz_connection_init(config.c), -1);
    EXPECT_STREQ(config.c->server_url, "nats://127.0.0.1:1");
    EXPECT_STREQ(config.c->user, "given");
    EXPECT_EQ(config.c->password, nullptr);
    EXPECT_TRUE(trace.contains("server_url=nats://127.0.0.1:1 (scheme implies TLS=no)"));
    EXPECT_TRUE(trace.contains("no cert_path configured"));
    EXPECT_TRUE(trace.contains("TLS-DEBUG: LoadCertificatesChain failed"));
    EXPECT_FALSE(trace.contains("synthesised"));
}

TEST(ConnectionFacade, InitRejectsAMissingConfigOrUrl) {
    TraceCapture trace(QZ_LOG_ERROR);
    EXPECT_EQ(qz_connection_init(nullptr), -1);
    Config config;
    Config::set(&config.c->broker_host, "only-host");
    EXPECT_EQ(qz_connection_init(config.c), -1);
    EXPECT_EQ(config.c->server_url, nullptr);
    EXPECT_EQ(count(trace.contents(), "NATS: config or server_url is NULL"), 2);
    qz_connection_deinit(nullptr);
    qz_nats_deinit(nullptr);
}

TEST(ConnectionFacade, GatewayInitPreparesHttpOnly) {
    TraceCapture trace(QZ_LOG_INFO);
    Config config("https://gw.example");
    EXPECT_EQ(qz_connection_init(config.c), 0);
    EXPECT_EQ(config.c->conn, nullptr);
    EXPECT_TRUE(trace.contains(
        "qz_connection_init: HTTP gateway mode (server=https://gw.example user=(none) "
        "proxy=(none))"));
    Config::set(&config.c->user, "u");
    Config::set(&config.c->proxy_host, "proxy.local");
    EXPECT_EQ(qz_connection_init(config.c), 0);
    EXPECT_TRUE(trace.contains("(server=https://gw.example user=u proxy=proxy.local)"));
    EXPECT_FALSE(trace.contains("WARN"));
    // A gateway without TLS works, but not silently.
    Config::set(&config.c->server_url, "http://gw.example");
    EXPECT_EQ(qz_connection_init(config.c), 0);
    EXPECT_TRUE(trace.contains(
        "qz_connection_init: the HTTP gateway URL http://gw.example is not encrypted: the gateway "
        "password and every scanned object cross the network in clear text; use https://"));
}

TEST(ConnectionFacade, GatewayRequestsAreRetriedBackToBackAndFailClearly) {
    TraceCapture trace(QZ_LOG_DEBUG);
    Config config(closed_gateway_url().c_str());
    char errbuf[1024] = "stale";
    JsonPtr reply(qz_connection_send_recv_json(config.c, "qz-av-control", "{}", 1000, 2, errbuf));
    EXPECT_EQ(reply, nullptr);
    EXPECT_TRUE(starts_with(errbuf, kGatewayFailed)) << errbuf;
    const std::string log = trace.contents();
    for (const char* n : {"1/3", "2/3", "3/3"}) {
        EXPECT_EQ(count(log, std::string("qz_connection_send_recv_json: HTTP attempt ") + n +
                                 " to qz-av-control failed: " + kGatewayFailed),
                  1)
            << n;
    }
    EXPECT_EQ(count(log, "4/3"), 0);
    EXPECT_GE(count(log, "ERROR"), 3);

    // The data variant names itself, and a reply text the pair carried is left alone on failure.
    trace.clear();
    qz_request_reply* pair = qz_request_reply_new();
    pair->request->json = strdup("{}");
    pair->reply->json = strdup("{\"kept\": 1}");
    reply.reset(
        qz_connection_send_recv_json_data(config.c, "qz-av-dummy", pair, 500, 10, 0, nullptr));
    EXPECT_EQ(reply, nullptr);
    EXPECT_TRUE(trace.contains(
        "qz_connection_send_recv_json_data: HTTP attempt 1/1 to qz-av-dummy failed: "));
    EXPECT_TRUE(trace.contains("body_len=0 timeout=510ms"));
    EXPECT_STREQ(pair->reply->json, "{\"kept\": 1}");
    qz_request_reply_free_p(pair);

    // retries of -1 makes no attempt; simple_request counts it as 0.
    trace.clear();
    errbuf[0] = 'x';
    EXPECT_EQ(qz_connection_send_recv_json(config.c, "s", "{}", 50, -1, errbuf), nullptr);
    EXPECT_STREQ(errbuf, "");
    EXPECT_FALSE(trace.contains("HTTP attempt"));
    EXPECT_EQ(qz_connection_simple_request(config.c, "s", "{}", 50, -1, errbuf), -1);
    EXPECT_EQ(count(trace.contents(), "HTTP attempt 1/1 to s failed"), 1);
    EXPECT_TRUE(starts_with(errbuf, kGatewayFailed)) << errbuf;
    // Any other negative count is one attempt, never billions.
    EXPECT_EQ(qz_connection_send_recv_json(config.c, "s", "{}", 50, -5, errbuf), nullptr);
    EXPECT_EQ(count(trace.contents(), "HTTP attempt 1/1 to s failed"), 2);
}

TEST(ConnectionFacade, GatewayAnswersWhatNeedsNoNetwork) {
    TraceCapture trace(QZ_LOG_ERROR);
    Config config("http://gw.example");
    const char data[] = "payload";
    char* key = reinterpret_cast<char*>(0x1);
    EXPECT_EQ(qz_connection_stage_scan_data(config.c, data, sizeof(data), 1000, &key, nullptr), 0);
    EXPECT_EQ(key, nullptr);
    char* value = reinterpret_cast<char*>(0x1);
    size_t length = 99;
    EXPECT_EQ(qz_connection_kv_get(config.c, "b", "k", &value, &length), 1);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(qz_connection_kv_put(config.c, "b", "k", "v", 0), 0);
    EXPECT_EQ(qz_connection_registry_put(config.c, "w", "v", 0), 0);
    int calls = 0;
    auto key_fn = [](void* context, const char*) { ++*static_cast<int*>(context); };
    auto entry_fn = [](void* context, const char*, const char*, size_t) {
        ++*static_cast<int*>(context);
    };
    EXPECT_EQ(qz_connection_kv_keys(config.c, "b", "", key_fn, &calls), 0);
    EXPECT_EQ(qz_connection_kv_snapshot(config.c, "b", entry_fn, &calls), -1);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(qz_connection_kv_lease(config.c, "b", "k", "me", 1000), 1);
    qz_connection_unstage_scan_data(config.c, "k");
    qz_connection_registry_delete(config.c, "w");
    qz_connection_kv_delete(config.c, "b", "k");
    EXPECT_EQ(trace.contents(), "");

    volatile int32_t stop = 0;
    EXPECT_EQ(qz_connection_start_service_handler_threads(config.c, "qz-av-dummy", nullptr, nullptr,
                                                          &stop, 2),
              -1);
    EXPECT_TRUE(trace.contains(
        "qz_connection_start_service_handler_threads: HTTP gateway mode is client-only; cannot "
        "run service handler threads for service 'qz-av-dummy' (server_url=http://gw.example)"));
    EXPECT_EQ(qz_connection_start_js_work_consumer(config.c, nullptr, nullptr, nullptr, &stop, 1,
                                                   nullptr),
              -1);
    EXPECT_TRUE(trace.contains(
        "qz_connection_start_js_work_consumer: HTTP gateway mode is client-only; cannot run JS "
        "work-queue pullers for service '(null)' (server_url=http://gw.example)"));
}

TEST(ConnectionFacade, ArgumentChecksFailQuietlyAndClearOutputs) {
    TraceCapture trace(QZ_LOG_ERROR);
    for (const char* url : {"http://gw", "nats://127.0.0.1:1"}) {
        SCOPED_TRACE(url);
        Config config(url);
        qz_connection_config* c = config.c;
        const char data[] = "x";
        char* key = reinterpret_cast<char*>(0x1);
        EXPECT_EQ(qz_connection_stage_scan_data(c, data, sizeof(data), 1, nullptr, nullptr), -1);
        EXPECT_EQ(qz_connection_stage_scan_data(nullptr, data, 1, 1, &key, nullptr), -1);
        EXPECT_EQ(key, nullptr);
        key = reinterpret_cast<char*>(0x1);
        EXPECT_EQ(qz_connection_stage_scan_data(c, nullptr, 1, 1, &key, nullptr), -1);
        EXPECT_EQ(key, nullptr);
        EXPECT_EQ(qz_connection_stage_scan_data(c, data, 0, 1, &key, nullptr), -1);

        EXPECT_EQ(qz_connection_registry_put(c, nullptr, "v", 0), -1);
        EXPECT_EQ(qz_connection_registry_put(c, "w", nullptr, 0), -1);
        char* value = reinterpret_cast<char*>(0x1);
        size_t length = 7;
        EXPECT_EQ(qz_connection_kv_get(c, nullptr, "k", &value, &length), -1);
        EXPECT_EQ(value, nullptr);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(qz_connection_kv_get(c, "b", nullptr, &value, nullptr), -1);
        EXPECT_EQ(qz_connection_kv_get(c, "b", "k", nullptr, &length), -1);
        EXPECT_EQ(qz_connection_kv_put(c, "b", "k", nullptr, 0), -1);
        EXPECT_EQ(qz_connection_kv_put(nullptr, "b", "k", "v", 0), -1);
        EXPECT_EQ(qz_connection_kv_keys(c, "b", nullptr, nullptr, nullptr), -1);
        EXPECT_EQ(qz_connection_kv_snapshot(c, nullptr, nullptr, nullptr), -1);
        EXPECT_EQ(qz_connection_kv_lease(c, "b", "k", nullptr, 1), -1);
        EXPECT_EQ(qz_connection_kv_lease(c, "b", nullptr, "me", 1), -1);
        qz_connection_unstage_scan_data(c, nullptr);
        qz_connection_unstage_scan_data(nullptr, "k");
        qz_connection_registry_delete(c, nullptr);
        qz_connection_kv_delete(c, "b", nullptr);
    }
    EXPECT_EQ(trace.contents(), "");
}

TEST(NatsClient, RequestsWithoutAConnectionFailWithTheirOwnText) {
    Config config("nats://127.0.0.1:1");
    char errbuf[1024];
    EXPECT_EQ(qz_nats_send_recv_json(config.c, "s", "{}", 10, 0, errbuf), nullptr);
    EXPECT_STREQ(errbuf, "NATS: invalid parameters for send_recv_json");
    qz_request_reply* pair = qz_request_reply_new();
    pair->reply->json = strdup("{\"old\":1}");
    EXPECT_EQ(qz_nats_send_recv_json_data(config.c, "s", pair, 10, 0, 0, errbuf), nullptr);
    EXPECT_STREQ(errbuf, "NATS: invalid parameters for send_recv_json_data");
    EXPECT_EQ(pair->reply->json, nullptr) << "the reply text is cleared on every exit";
    EXPECT_EQ(qz_nats_send_recv_json_data(config.c, "s", nullptr, 10, 0, 0, errbuf), nullptr);
    EXPECT_EQ(qz_nats_simple_request(nullptr, "s", "{}", 10, 0, errbuf), -1);
    qz_request_reply_free_p(pair);
}

TEST(Records, PlainVariantsOwnContentsConstVariantsBorrowThem) {
    qz_request_reply* pair = qz_request_reply_new();
    ASSERT_NE(pair, nullptr);
    ASSERT_NE(pair->request, nullptr);
    ASSERT_NE(pair->reply, nullptr);
    EXPECT_EQ(pair->request->json, nullptr);
    EXPECT_EQ(pair->request->data_len, 0u);
    const char borrowed_key[] = "scan-1-2-3";
    pair->request->json = strdup("{}");
    pair->request->data = static_cast<unsigned char*>(malloc(4));
    pair->request->staged_key = borrowed_key;
    pair->reply->json = strdup("{\"ReturnCode\": 0}");
    qz_request_reply_free(pair);  // under ASan this must leave nothing behind
    EXPECT_EQ(pair->request, nullptr);
    EXPECT_EQ(pair->reply, nullptr);
    qz_request_reply_free_p(pair);  // pair without messages: only the record goes

    qz_request_reply* borrowed = qz_const_request_reply_new();
    static char json[] = "{\"job\":1}";
    static unsigned char bytes[] = {1, 2, 3};
    borrowed->request->json = json;
    borrowed->request->data = bytes;
    borrowed->request->data_len = sizeof(bytes);
    qz_const_request_reply_free_structs(borrowed);

    qz_message* message = qz_message_new();
    message->json = strdup("x");
    message->staged_key = borrowed_key;
    qz_message_free(message);
    EXPECT_EQ(message->json, nullptr);
    EXPECT_EQ(message->staged_key, borrowed_key);
    message->data = static_cast<unsigned char*>(malloc(1));
    qz_message_free_p(message);

    qz_message on_stack;
    on_stack.data_len = 5;
    qz_const_message_init(&on_stack);
    EXPECT_EQ(on_stack.data_len, 0u);
    EXPECT_EQ(on_stack.json, nullptr);
    qz_message_free(nullptr);
    qz_request_reply_free_p(nullptr);
    qz_request_reply_free_structs(nullptr);
}

std::string reply_text(int (*write)(qz_message*)) {
    qz_message reply;
    qz_message_init(&reply);
    EXPECT_EQ(write(&reply), 0);
    std::string text = reply.json != nullptr ? reply.json : "";
    qz_message_free(&reply);
    return text;
}

TEST(Replies, WriteTheReplyConvention) {
    EXPECT_EQ(reply_text(qz_reply_set_OK), "{\"ReturnCode\": 0}");
    EXPECT_EQ(reply_text([](qz_message* m) { return qz_reply_set_return_code(m, -12); }),
              "{\"ReturnCode\": -12}");

    char host[256] = "";
    qz_gethostname(host, sizeof(host));
    EXPECT_EQ(reply_text([](qz_message* m) { return qz_reply_set_ERROR(m, -1000, "x"); }),
              std::string("{\"ReturnCode\": -1000, \"Error\": \"x\", \"WorkerHostname\": \"") +
                  host + "\"}");

    // Whatever the text, the reply stays JSON that reads back to the same text.
    const char* texts[] = {"say \"hi\"", "C:\\temp\\x", "line\nbreak\ttab", "", nullptr};
    for (const char* text : texts) {
        qz_message reply;
        qz_message_init(&reply);
        ASSERT_EQ(qz_reply_set_ERROR(&reply, 5, text), 0);
        JsonPtr parsed(json_tokener_parse(reply.json));
        ASSERT_NE(parsed, nullptr) << reply.json;
        json_object* error = nullptr;
        ASSERT_TRUE(json_object_object_get_ex(parsed.get(), "Error", &error));
        EXPECT_STREQ(json_object_get_string(error), text != nullptr ? text : "");
        EXPECT_EQ(qz::nats::reply_return_code(parsed.get(), "s"), 5);
        qz_message_free(&reply);
    }
    TraceCapture trace(QZ_LOG_ERROR);
    EXPECT_EQ(qz_reply_set_OK(nullptr), -1);
    EXPECT_EQ(qz_reply_set_ERROR(nullptr, 1, "x"), -1);
}

TEST(ReplyConvention, OnlyAnIntegerReturnCodeCounts) {
    struct Case {
        const char* json;
        int rc;
    };
    const Case kCases[] = {
        {R"({"ReturnCode": 7})", 7},
        {R"({"ReturnCode": -1000, "Error": "x"})", -1000},
        {R"({"ReturnCode": 0, "extra": [1, 2]})", 0},
        {R"({})", -1},
        {R"({"returncode": 0})", -1},
        {R"({"ReturnCode": "7"})", -1},
        {R"({"ReturnCode": "x"})", -1},
        {R"({"ReturnCode": 7.5})", -1},
        {R"({"ReturnCode": null})", -1},
        {R"({"ReturnCode": true})", -1},
        {R"({"ReturnCode": 4294967296})", -1},
        {R"([0])", -1},
        {R"(0)", -1},
    };
    TraceCapture trace(QZ_LOG_ERROR);
    for (const Case& c : kCases) {
        JsonPtr reply(json_tokener_parse(c.json));
        ASSERT_NE(reply, nullptr) << c.json;
        EXPECT_EQ(qz::nats::reply_return_code(reply.get(), "qz-av-x"), c.rc) << c.json;
    }
    EXPECT_TRUE(trace.contains("reply from qz-av-x has no \"ReturnCode\" member"));
    EXPECT_TRUE(trace.contains("reply from qz-av-x has a \"ReturnCode\" that is not an integer"));
    EXPECT_EQ(qz::nats::reply_return_code(nullptr, "s"), -1);
}

TEST(ReplyConvention, RepliesMustBeOneCompleteJsonValue) {
    struct Case {
        std::string data;
        bool parses;
    };
    const Case kCases[] = {
        {R"({"ReturnCode":0})", true},    {std::string("{\"ReturnCode\":0}\0", 17), true},
        {"{\"ReturnCode\":0}\r\n", true}, {"not json", false},
        {"{\"ReturnCode\":", false},      {"{\"ReturnCode\":0} trailing", false},
        {"<html>502</html>", false},
    };
    TraceCapture trace(QZ_LOG_ERROR);
    for (const Case& c : kCases) {
        char errbuf[1024] = "";
        JsonPtr reply(qz::nats::parse_reply(c.data.data(), static_cast<int>(c.data.size()),
                                            "qz-av-x", errbuf));
        EXPECT_EQ(reply != nullptr, c.parses) << c.data;
        if (!c.parses) {
            EXPECT_EQ(
                std::string(errbuf).rfind("NATS: failed to parse reply JSON from qz-av-x: ", 0), 0u)
                << errbuf;
        }
    }
    EXPECT_TRUE(trace.contains("NATS: failed to parse reply JSON from qz-av-x: "));
}

TEST(NatsClient, WorkQueueListMatchesWholeEntriesOnly) {
    struct Case {
        const char* list;
        const char* subject;
        bool match;
    };
    const Case kCases[] = {
        {"qz-av-clamav", "qz-av-clamav", true},
        {" qz-av-mimescan ,\tqz-av-clamav\t, qz-av-dummy", "qz-av-clamav", true},
        {" qz-av-mimescan ,\tqz-av-clamav\t, qz-av-dummy", "qz-av-dummy", true},
        {" qz-av-mimescan ,\tqz-av-clamav\t, qz-av-dummy", "qz-av-mimescan", true},
        {"qz-av-clamav", "qz-av-clam", false},
        {"qz-av-clamav", "qz-av-clamav2", false},
        {"qz-av-clamav2,qz-av-cla", "qz-av-clamav", false},
        {"QZ-AV-CLAMAV", "qz-av-clamav", false},
        {"qz-av clamav", "qz-av", false},
        {",,", "", false},
        {"", "qz-av-clamav", false},
        {nullptr, "qz-av-clamav", false},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(qz::nats::js_services_contains(c.list, c.subject), c.match)
            << (c.list ? c.list : "(null)") << " / " << c.subject;
    }
}

TEST(NatsClient, ReconnectWaitAndConnectPausesStayInTheirRanges) {
    // One step of the generator: seed 0 gives r = 12345 >> 16 = 0, so the wait is 100 ms.
    EXPECT_EQ(qz::nats::reconnect_wait_ms(0), 100);
    // seed 1: (1103515245 + 12345) >> 16 & 0x7FFF = 16838; 100 + 16838 % 401 = 100 + 397.
    EXPECT_EQ(qz::nats::reconnect_wait_ms(1), 497);
    for (uint32_t seed = 0; seed < 5000; seed += 7) {
        const int wait = qz::nats::reconnect_wait_ms(seed * 2654435761u);
        ASSERT_GE(wait, 100);
        ASSERT_LE(wait, 500);
    }
    const int bounds[][2] = {{200, 300}, {400, 600}, {800, 1200}, {1600, 2400}};
    uint32_t seed = 12345;
    for (int round = 0; round < 200; ++round) {
        for (int attempt = 1; attempt <= 4; ++attempt) {
            const int delay = qz::nats::connect_retry_delay_ms(attempt, &seed);
            ASSERT_GE(delay, bounds[attempt - 1][0]);
            ASSERT_LE(delay, bounds[attempt - 1][1]);
        }
    }
}

TEST(NoRespondersBackoff, SleepsAtMostFourTimesAndNeverPastTheBudget) {
    TraceCapture trace(QZ_LOG_DEBUG);
    EXPECT_EQ(qz_nats_nr_should_retry(nullptr, 3000, "s"), 0);
    EXPECT_EQ(qz_nats_nr_attempt_timeout_ms(nullptr, 3000), 3000u);

    qz_nats_nr state;
    qz_nats_nr_init(&state);
    const auto start = std::chrono::steady_clock::now();
    uint32_t steps = 0;
    uint32_t previous = 0;
    while (qz_nats_nr_should_retry(&state, 3000, "qz-av-x") == 1) {
        ++steps;
        const uint32_t step = state.slept_ms - previous;
        const uint32_t base = 25u << (steps - 1);
        EXPECT_GE(step, base);
        EXPECT_LE(step, base + base / 2);
        EXPECT_EQ(qz_nats_nr_attempt_timeout_ms(&state, 3000), 3000 - state.slept_ms);
        previous = state.slept_ms;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(steps, 3u);
    EXPECT_LE(steps, 4u);
    EXPECT_EQ(state.retries, steps);
    EXPECT_LE(state.slept_ms, 400u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(state.slept_ms));
    EXPECT_TRUE(trace.contains("nats: no responders for qz-av-x - backoff "));
    EXPECT_TRUE(trace.contains(", retry 1/4"));
    EXPECT_EQ(qz_nats_nr_should_retry(&state, 3000, "qz-av-x"), 0) << "stays given up";
    EXPECT_EQ(qz_nats_nr_attempt_timeout_ms(&state, 100), 0u) << "never negative";

    // The smallest step (25 ms) already reaches a 20 ms timeout: give up at once.
    qz_nats_nr_init(&state);
    EXPECT_EQ(qz_nats_nr_should_retry(&state, 20, nullptr), 0);
    EXPECT_EQ(state.retries, 0u);
    // A budget of 100 ms admits the first steps only while elapsed + step stays below it.
    qz_nats_nr_init(&state);
    while (qz_nats_nr_should_retry(&state, 100, nullptr) == 1) {
    }
    EXPECT_LE(state.slept_ms, 100u);
}

TEST(WorkerPing, AnswersWithoutSendingWhereNothingCanBeAsked) {
    TraceCapture trace(QZ_LOG_DEBUG);
    EXPECT_EQ(qz_worker_ping(nullptr, "qz-av-broker", 1, 3, 10, 10), 0);
    EXPECT_EQ(trace.contents(), "") << "nothing sent";
    EXPECT_EQ(qz_worker_ping(nullptr, "qz-av-dummy", 1, 0, 10, 10), -1);
    EXPECT_EQ(qz_worker_ping(nullptr, nullptr, 1, 3, 10, 10), -1);
    const std::string long_name(300, 'a');
    EXPECT_EQ(qz_worker_ping(nullptr, long_name.c_str(), 0, 3, 10, 10), -1);
    EXPECT_TRUE(trace.contains("is longer than 255 characters"));

    // Without a reply it tries exactly `attempts` times, pausing `delay` after each.
    Config config(closed_gateway_url("https").c_str());
    trace.clear();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(qz_worker_ping(config.c, "qz-av-dummy", 1, 3, 10, 30), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    const std::string log = trace.contents();
    EXPECT_EQ(count(log, "HTTP attempt 1/1 to qz-av-dummy.ping failed"), 3);
}

}  // namespace
