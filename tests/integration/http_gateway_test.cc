// Gateway mode end to end, on loopback: the client in the facade, the reference gateway as a
// process, a real nats-server and a service answering on the broker from this test. Requests
// and objects that travel there and back, wrong credentials, untrusted certificates, a gateway
// that is down, gateway answers for failures, any gateway's odd answers (a canned HTTP server),
// the request as it goes over the wire, a CONNECT proxy on the way, and a 64 MiB object that is
// streamed from the caller's buffer.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "connection/connection.h"
#include "connection/http_gateway_client.h"
#include "connection/nats_handles.h"
#include "connection/nats_kv.h"
#include "log/log.h"
#include "support/http_gateway_fixtures.h"
#include "support/nats_server.h"
#include "support/nats_test_helpers.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

namespace {

using qz::nats::ConnectionPtr;
using qz::nats::JsonPtr;
using qztest::CannedHttpServer;
using qztest::ConnectProxy;
using qztest::count;
using qztest::GatewayProcess;
using qztest::member;
using qztest::NatsServer;
using qztest::TlsFiles;
using qztest::TraceCapture;

constexpr const char* kUser = GatewayProcess::kUser;
constexpr const char* kPassword = GatewayProcess::kPassword;
constexpr const char* kEcho = "qz-test-echo";
constexpr const char* kGarbage = "qz-test-garbage";
constexpr const char* kSlow = "qz-test-slow";
constexpr const char* kAbsent = "qz-test-absent";  // offered by the gateway, served by nobody

std::string pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

uint32_t checksum(const unsigned char* data, size_t size) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
    return h;
}

int64_t int_member(json_object* object, const char* name) {
    json_object* value = nullptr;
    if (object == nullptr || !json_object_object_get_ex(object, name, &value)) return -1;
    return json_object_get_int64(value);
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The services on the broker, answered from this process through the library's worker side,
// which restores a staged object before the handler sees the request.
class Responder {
  public:
    explicit Responder(const NatsServer& server) : config_(qz_connection_config_new()) {
        config_->server_url = strdup(server.url().c_str());
        if (qz_connection_init(config_) != 0) throw std::runtime_error("responder cannot connect");
        serve(kEcho, &Responder::echo);
        serve(kGarbage, [](void*, qz_request_reply* pair) {
            pair->reply->json = strdup("this is not json");
        });
        serve(kSlow, [](void*, qz_request_reply* pair) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            pair->reply->json = strdup("{\"ReturnCode\": 0}");
        });
    }
    ~Responder() {
        __atomic_store_n(&stop_, 1, __ATOMIC_RELEASE);
        EXPECT_EQ(qz_connection_join_worker_threads(&stop_, 5000), 0);
        qz_connection_deinit(config_);
        qz_connection_config_free(config_);
    }

    int requests() const { return requests_.load(); }
    std::string last_json() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_json_;
    }

  private:
    void serve(const char* subject, qz_request_handler_fn handler) {
        if (qz_connection_start_service_handler_threads(config_, subject, handler, this, &stop_,
                                                        2) != 0) {
            throw std::runtime_error(std::string("cannot serve ") + subject);
        }
    }

    // {"ReturnCode": 7, "Echo": <Command>, "Size": <object bytes>, "Checksum": <FNV-1a>}
    static void echo(void* closure, qz_request_reply* pair) {
        auto* self = static_cast<Responder*>(closure);
        self->requests_.fetch_add(1);
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->last_json_ = pair->request->json != nullptr ? pair->request->json : "";
        }
        JsonPtr request(json_tokener_parse(pair->request->json));
        JsonPtr reply(json_object_new_object());
        json_object_object_add(reply.get(), "ReturnCode", json_object_new_int(7));
        json_object_object_add(reply.get(), "Echo",
                               json_object_new_string(member(request.get(), "Command").c_str()));
        json_object_object_add(
            reply.get(), "Size",
            json_object_new_int64(static_cast<int64_t>(pair->request->data_len)));
        json_object_object_add(
            reply.get(), "Checksum",
            json_object_new_int64(checksum(pair->request->data, pair->request->data_len)));
        pair->reply->json = strdup(json_object_to_json_string_ext(reply.get(), 0));
    }

    qz_connection_config* config_;
    volatile int32_t stop_ = 0;
    std::atomic<int> requests_{0};
    mutable std::mutex mutex_;
    std::string last_json_;
};

// A requester's connection record in gateway mode, owning its strings as the library would.
class GatewayClient {
  public:
    GatewayClient(const std::string& url, const char* user, const char* password,
                  const std::string& ca_file)
        : config_(qz_connection_config_new()) {
        set(&config_->server_url, url.c_str());
        set(&config_->user, user);
        set(&config_->password, password);
        set(&config_->cert_path, ca_file.c_str());
        EXPECT_EQ(qz_connection_init(config_), 0);
    }
    ~GatewayClient() {
        qz_connection_deinit(config_);
        qz_connection_config_free(config_);
    }
    GatewayClient(const GatewayClient&) = delete;
    GatewayClient& operator=(const GatewayClient&) = delete;

    qz_connection_config* get() const { return config_; }
    qz_connection_config* operator->() const { return config_; }
    static void set(char** field, const char* value) {
        free(*field);
        *field = value != nullptr ? strdup(value) : nullptr;
    }

    // A request through the facade; the reply or null with the failure text in errbuf.
    JsonPtr ask(const char* service, const char* json, int32_t retries = 0,
                uint32_t timeout = 10000) {
        return JsonPtr(
            qz_connection_send_recv_json(config_, service, json, timeout, retries, errbuf));
    }
    // The same with an object to scan.
    JsonPtr scan(const char* service, const char* json, const std::string& object,
                 int32_t retries = 0) {
        qz_request_reply* pair = qz_const_request_reply_new();
        pair->request->json = const_cast<char*>(json);
        pair->request->data = reinterpret_cast<unsigned char*>(const_cast<char*>(object.data()));
        pair->request->data_len = object.size();
        JsonPtr reply(qz_connection_send_recv_json_data(config_, service, pair, 10000, 10000,
                                                        retries, errbuf));
        last_reply_text = pair->reply->json != nullptr ? pair->reply->json : "";
        free(pair->reply->json);
        pair->reply->json = nullptr;
        qz_const_request_reply_free_structs(pair);
        return reply;
    }

    char errbuf[1024] = "";
    std::string last_reply_text;

  private:
    qz_connection_config* config_;
};

// The attempts the facade traced for one call.
int attempts(const TraceCapture& trace) { return count(trace.contents(), "HTTP attempt "); }

void create_scan_data_bucket(const NatsServer& server) {
    natsConnection* nc = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&nc, server.url().c_str()), NATS_OK);
    ConnectionPtr connection(nc);
    jsCtx* js = nullptr;
    ASSERT_EQ(natsConnection_JetStream(&js, nc, nullptr), NATS_OK);
    kvConfig config;
    kvConfig_Init(&config);
    config.Bucket = QZ_NATS_KV_SCAN_DATA_BUCKET;
    config.History = 1;
    kvStore* kv = nullptr;
    EXPECT_EQ(js_CreateKeyValue(&kv, js, &config), NATS_OK);
    kvStore_Destroy(kv);
    jsCtx_Destroy(js);
}

// One broker, one responder and one gateway for the suite; tests that take a gateway away or
// need other settings start their own.
class HttpGateway : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        tls_ = new TlsFiles();
        broker_ = new NatsServer();
        create_scan_data_bucket(*broker_);
        responder_ = new Responder(*broker_);
        gateway_ = new GatewayProcess(*tls_, broker_->url(),
                                      std::string("timeout_ms = 30000\nservices = ") + kEcho +
                                          ", " + kGarbage + ", " + kAbsent);
    }
    static void TearDownTestSuite() {
        delete gateway_;
        delete responder_;
        delete broker_;
        delete tls_;
    }

    std::unique_ptr<GatewayClient> client(const char* password = kPassword) const {
        return std::make_unique<GatewayClient>(gateway_->url(), kUser, password, tls_->ca_file());
    }

    static TlsFiles* tls_;
    static NatsServer* broker_;
    static Responder* responder_;
    static GatewayProcess* gateway_;
};
TlsFiles* HttpGateway::tls_ = nullptr;
NatsServer* HttpGateway::broker_ = nullptr;
Responder* HttpGateway::responder_ = nullptr;
GatewayProcess* HttpGateway::gateway_ = nullptr;

TEST_F(HttpGateway, RequestsAndObjectsTravelToTheServiceAndBack) {
    TraceCapture trace(QZ_LOG_DEBUG);
    auto c = client();
    JsonPtr reply = c->ask(kEcho, "{\"Command\": \"hello\"}");
    ASSERT_NE(reply, nullptr) << c->errbuf;
    EXPECT_EQ(member(reply.get(), "Echo"), "hello");
    EXPECT_EQ(int_member(reply.get(), "Size"), 0);
    EXPECT_STREQ(c->errbuf, "");
    EXPECT_TRUE(trace.contains("qz_http_gateway_client: POST " + gateway_->url() +
                               "/vsi service=qz-test-echo json_len=20 body_len=0 timeout=10000ms"));
    EXPECT_EQ(
        qz_connection_simple_request(c->get(), kEcho, "{\"Command\": 1}", 10000, 0, c->errbuf), 7);

    // An object with every byte value arrives intact, and the service sees the request's JSON
    // without the staging key the gateway added on the broker.
    const std::string object = pattern(3 * 1024 * 1024 + 17, 5);
    reply = c->scan(kEcho, "{\"Command\": \"scan\", \"Name\": \"a.bin\"}", object);
    ASSERT_NE(reply, nullptr) << c->errbuf;
    EXPECT_EQ(int_member(reply.get(), "Size"), static_cast<int64_t>(object.size()));
    EXPECT_EQ(int_member(reply.get(), "Checksum"),
              checksum(reinterpret_cast<const unsigned char*>(object.data()), object.size()));
    EXPECT_EQ(member(reply.get(), "Echo"), "scan");
    JsonPtr seen = qztest::parse(responder_->last_json());
    EXPECT_EQ(member(seen.get(), "Name"), "a.bin");
    EXPECT_EQ(responder_->last_json().find("_kv_key"), std::string::npos);
    // The pair's reply text is the reply object's text.
    EXPECT_EQ(c->last_reply_text, json_object_to_json_string(reply.get()));
    EXPECT_TRUE(trace.contains("body_len=3145745 timeout=20000ms"));
    EXPECT_EQ(attempts(trace), 0);
}

TEST_F(HttpGateway, WrongCredentialsEndAtOnceWithAClearError) {
    struct Case {
        const char* name;
        const char* password;
    };
    const Case kCases[] = {{"wrong password", "not-the-secret"}, {"no password", nullptr}};
    for (const Case& k : kCases) {
        SCOPED_TRACE(k.name);
        TraceCapture trace(QZ_LOG_DEBUG);
        const int served = responder_->requests();
        auto c = client(k.password);
        EXPECT_EQ(c->ask(kEcho, "{\"Command\": \"x\"}", 3), nullptr);
        EXPECT_TRUE(starts_with(c->errbuf, "HTTP gateway returned status 401: ")) << c->errbuf;
        EXPECT_NE(strstr(c->errbuf, "authentication failed"), nullptr) << c->errbuf;
        // One request, not four: the same credentials would be refused again.
        EXPECT_EQ(attempts(trace), 1);
        EXPECT_TRUE(
            trace.contains("HTTP attempt 1/4 to qz-test-echo failed: HTTP gateway "
                           "returned status 401"));
        EXPECT_TRUE(trace.contains("not retrying qz-test-echo"));
        if (k.password != nullptr) {
            EXPECT_TRUE(trace.contains("rejected the credentials of user 'gw-user'"));
        } else {
            EXPECT_TRUE(trace.contains("qz_http_gateway_client: no Basic Auth credentials set"));
        }
        EXPECT_EQ(responder_->requests(), served);
    }
}

// Posts a request form for service with the given Authorization header (none when empty) and
// returns the HTTP status, -1 when the exchange failed.
long post_with_authorization(const std::string& url, const std::string& ca_file,
                             const std::string& authorization) {
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "X-Target-Service: qz-test-echo");
    if (!authorization.empty()) {
        headers = curl_slist_append(headers, ("Authorization: " + authorization).c_str());
    }
    curl_mime* mime = curl_mime_init(curl);
    curl_mimepart* part = curl_mime_addpart(mime);
    curl_mime_name(part, "request");
    curl_mime_data(part, "{}", CURL_ZERO_TERMINATED);
    curl_easy_setopt(curl, CURLOPT_URL, (url + "/vsi").c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION,
        +[](char*, size_t size, size_t count, void*) { return size * count; });
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
    long status = -1;
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    }
    curl_mime_free(mime);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return status;
}

TEST_F(HttpGateway, OnlyTheConfiguredCredentialsGetIn) {
    using qztest::base64;
    const std::string right = base64(std::string(kUser) + ":" + kPassword);
    struct Case {
        std::string authorization;
        long status;
    };
    const Case kCases[] = {
        {"Basic " + right, 200},
        {"basic " + right, 200},  // the scheme name is not case-sensitive
        {"", 401},
        {"Basic " + base64(std::string(kUser) + ":" + kPassword + "x"), 401},
        {"Basic " + base64(std::string(kUser) + ":"), 401},
        {"Basic " + base64(std::string(":") + kPassword), 401},
        {"Basic " + base64(std::string(kUser) + kPassword), 401},
        {"Basic " + right.substr(0, right.size() - 1), 401},  // padding cut off
        {"Basic " + right + right, 401},
        {"Basic ====", 401},
        {"Basic !!!!", 401},
        {"Basic", 401},
        {"Bearer " + right, 401},
    };
    for (const Case& k : kCases) {
        EXPECT_EQ(post_with_authorization(gateway_->url(), tls_->ca_file(), k.authorization),
                  k.status)
            << k.authorization;
    }
}

TEST_F(HttpGateway, UntrustedCertificateIsRefusedUnlessVerificationIsOff) {
    struct Case {
        const char* name;
        std::string ca_file;
        const char* reason;
    };
    const Case kCases[] = {
        {"certificate from an unknown CA", tls_->other_ca_file(),
         "HTTP gateway request failed: SSL certificate problem: unable to get local issuer "
         "certificate"},
        {"CA file missing", "/nonexistent/qz-av-ca-root.crt",
         "HTTP gateway request failed: error setting certificate"},
    };
    for (const Case& k : kCases) {
        SCOPED_TRACE(k.name);
        TraceCapture trace(QZ_LOG_DEBUG);
        GatewayClient c(gateway_->url(), kUser, kPassword, k.ca_file);
        EXPECT_EQ(c.ask(kEcho, "{}", 2), nullptr);
        EXPECT_TRUE(starts_with(c.errbuf, k.reason)) << c.errbuf;
        EXPECT_TRUE(trace.contains(std::string("qz_http_gateway_client: ") + k.reason));
        EXPECT_EQ(attempts(trace), 1);
    }

    // Verification off: the same untrusted gateway is accepted, with a warning the first time.
    TraceCapture trace(QZ_LOG_WARN);
    qz::gateway::reset_unverified_warning();
    qz_gateway_opts opts;
    qz_gateway_opts_defaults(&opts);
    opts.ca_file = tls_->other_ca_file().c_str();
    opts.verify_peer = 0;
    opts.verify_host = 0;
    for (int round = 0; round < 2; ++round) {
        json_object* reply = nullptr;
        char errbuf[1024];
        ASSERT_EQ(qz_gateway_send_recv_json(gateway_->url().c_str(), kUser, kPassword, kEcho,
                                            "{\"Command\": \"unverified\"}", &opts, 10000, &reply,
                                            errbuf),
                  0)
            << errbuf;
        EXPECT_EQ(member(reply, "Echo"), "unverified");
        json_object_put(reply);
    }
    EXPECT_EQ(count(trace.contents(), "verification is switched off"), 1) << trace.contents();
    EXPECT_TRUE(
        trace.contains("qz_http_gateway_client: TLS certificate verification is switched "
                       "off (verify_peer=0 verify_host=0) for " +
                       gateway_->url() + "/vsi"));
}

TEST_F(HttpGateway, GatewayDownIsTriedAsOftenAsAskedThenFails) {
    GatewayProcess gateway(*tls_, broker_->url());
    GatewayClient c(gateway.url(), kUser, kPassword, tls_->ca_file());
    ASSERT_NE(c.ask(kEcho, "{}"), nullptr) << c.errbuf;
    gateway.process().stop();

    TraceCapture trace(QZ_LOG_DEBUG);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(c.ask(kEcho, "{}", 2), nullptr);
    EXPECT_LT(qztest::elapsed_ms(started), 2000) << "back to back, no pauses";
    EXPECT_TRUE(starts_with(c.errbuf, "HTTP gateway request failed: ")) << c.errbuf;
    EXPECT_NE(strstr(c.errbuf, ("127.0.0.1 port " + std::to_string(gateway.port())).c_str()),
              nullptr)
        << c.errbuf;
    for (const char* n : {"1/3", "2/3", "3/3"}) {
        EXPECT_EQ(
            count(trace.contents(), std::string("qz_connection_send_recv_json: HTTP attempt ") + n +
                                        " to qz-test-echo failed: HTTP gateway "
                                        "request failed: "),
            1)
            << n;
    }
    EXPECT_EQ(attempts(trace), 3);
    EXPECT_FALSE(trace.contains("not retrying"));
    EXPECT_EQ(qz_connection_simple_request(c.get(), kEcho, "{}", 1000, 0, c.errbuf), -1);

    // Nothing is kept between calls: once the gateway is back, the next request gets through.
    gateway.process().start();
    EXPECT_NE(c.ask(kEcho, "{}"), nullptr) << c.errbuf;
}

TEST_F(HttpGateway, GatewayFailuresCarryTheirStatusAndOnlyTransientOnesAreRetried) {
    struct Case {
        const char* service;
        const char* json;
        int status;
        const char* reason;
        int attempts;
    };
    const Case kCases[] = {
        {kAbsent, "{}", 502, "No responders", 2},
        {kGarbage, "{}", 502, "failed to parse reply JSON", 2},
        {"qz-test-unlisted", "{}", 403, "is not offered by this gateway", 1},
        {"qz-test.*", "{}", 400, "must name a service subject", 1},
        {"_INBOX.abc", "{}", 400, "must name a service subject", 1},
        {kEcho, "[1, 2]", 400, "is not a JSON object", 1},
        {kEcho, "{\"a\": 1} trailing", 400, "is not a JSON object", 1},
    };
    auto c = client();
    for (const Case& k : kCases) {
        SCOPED_TRACE(k.service + std::string(" ") + k.json);
        TraceCapture trace(QZ_LOG_DEBUG);
        EXPECT_EQ(c->ask(k.service, k.json, 1), nullptr);
        const std::string prefix =
            "HTTP gateway returned status " + std::to_string(k.status) + ": ";
        EXPECT_TRUE(starts_with(c->errbuf, prefix)) << c->errbuf;
        EXPECT_NE(strstr(c->errbuf, k.reason), nullptr) << c->errbuf;
        EXPECT_NE(strstr(c->errbuf, "{\"ReturnCode\":-1,\"Error\":\""), nullptr) << c->errbuf;
        EXPECT_EQ(attempts(trace), k.attempts);
    }

    // A service slower than the gateway's wait: 504, which is worth another try. An object
    // above the gateway's limit: 413, which is not.
    GatewayProcess small(*tls_, broker_->url(), "timeout_ms = 300\nmax_body_mb = 1");
    GatewayClient q(small.url(), kUser, kPassword, tls_->ca_file());
    TraceCapture trace(QZ_LOG_DEBUG);
    EXPECT_EQ(q.ask(kSlow, "{}", 1), nullptr);
    EXPECT_TRUE(starts_with(q.errbuf, "HTTP gateway returned status 504: ")) << q.errbuf;
    EXPECT_NE(strstr(q.errbuf, "timed out"), nullptr) << q.errbuf;
    EXPECT_EQ(attempts(trace), 2);
    trace.clear();
    EXPECT_EQ(q.scan(kEcho, "{}", pattern(2u << 20, 1), 2), nullptr);
    EXPECT_STREQ(q.errbuf,
                 "HTTP gateway returned status 413: "
                 "{\"ReturnCode\":-1,\"Error\":\"request body too large\"}");
    EXPECT_EQ(attempts(trace), 1);
}

TEST_F(HttpGateway, ScanThroughAConnectProxy) {
    const std::string proxy_credentials = "proxy-user:proxy-pw";
    ConnectProxy proxy("Basic " + qztest::base64(proxy_credentials));
    auto c = client();
    GatewayClient::set(&(*c)->proxy_host, "127.0.0.1");
    GatewayClient::set(&(*c)->proxy_port, std::to_string(proxy.port()).c_str());
    GatewayClient::set(&(*c)->proxy_user, "proxy-user");
    GatewayClient::set(&(*c)->proxy_password, "proxy-pw");
    {
        TraceCapture trace(QZ_LOG_TRACE);
        const std::string object = pattern(256 * 1024, 9);
        JsonPtr reply = c->scan(kEcho, "{\"Command\": \"proxied\"}", object);
        ASSERT_NE(reply, nullptr) << c->errbuf;
        EXPECT_EQ(int_member(reply.get(), "Checksum"),
                  checksum(reinterpret_cast<const unsigned char*>(object.data()), object.size()));
        ASSERT_EQ(proxy.requests().size(), 1u);
        EXPECT_EQ(proxy.requests()[0].request_line(),
                  "CONNECT 127.0.0.1:" + std::to_string(gateway_->port()) + " HTTP/1.1");
        EXPECT_TRUE(trace.contains("qz_http_gateway_client: using proxy 127.0.0.1:" +
                                   std::to_string(proxy.port())));
        // Neither the proxy's nor the gateway's credentials reach the trace.
        EXPECT_TRUE(trace.contains("curl >>: Proxy-Authorization: Basic <redacted>"));
        EXPECT_FALSE(trace.contains(qztest::base64(proxy_credentials)));
        EXPECT_FALSE(trace.contains(qztest::base64(std::string(kUser) + ":" + kPassword)));
        EXPECT_FALSE(trace.contains("proxy-pw"));
    }

    // Proxy credentials that are wrong, or a user without a password (nothing is sent): the
    // proxy's 407 ends the call at once.
    for (const char* password : {"wrong", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(password != nullptr ? password : "(no password)");
        TraceCapture trace(QZ_LOG_DEBUG);
        GatewayClient::set(&(*c)->proxy_password, password);
        EXPECT_EQ(c->ask(kEcho, "{}", 2), nullptr);
        EXPECT_TRUE(starts_with(c->errbuf, "HTTP gateway request failed: ")) << c->errbuf;
        EXPECT_NE(strstr(c->errbuf, "407"), nullptr) << c->errbuf;
        EXPECT_TRUE(trace.contains("refused the proxy credentials"));
        EXPECT_EQ(attempts(trace), 1);
    }
    EXPECT_EQ(proxy.requests().back().header("Proxy-Authorization"), "");
}

// The peak resident size of this process in KiB (VmHWM).
long peak_rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

TEST_F(HttpGateway, LargeObjectIsStreamedFromTheCallersBuffer) {
    constexpr size_t kObjectSize = 64u << 20;
    // The client runs in a child of its own, so that the peak it reaches is its own: in this
    // process the responder restores the object as well.
    int result_pipe[2];
    ASSERT_EQ(pipe(result_pipe), 0);
    const std::string url = gateway_->url();
    const std::string ca_file = tls_->ca_file();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(result_pipe[0]);
        log_set_level(QZ_LOG_OFF);
        // Start the peak afresh from what this child really holds.
        std::ofstream("/proc/self/clear_refs") << "5";
        void* mapped =
            mmap(nullptr, kObjectSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) _exit(3);
        auto* object = static_cast<unsigned char*>(mapped);
        for (size_t i = 0; i < kObjectSize; ++i)
            object[i] = static_cast<unsigned char>(i * 131 >> 3);
        const long before = peak_rss_kib();
        qz_gateway_opts opts;
        qz_gateway_opts_defaults(&opts);
        opts.ca_file = ca_file.c_str();
        json_object* reply = nullptr;
        char errbuf[1024] = "";
        const int rc = qz_gateway_send_recv_scan(url.c_str(), kUser, kPassword, kEcho,
                                                 "{\"Command\": \"big\"}", object, kObjectSize,
                                                 &opts, 120000, &reply, errbuf);
        const long after = peak_rss_kib();
        char line[1200];
        const int n = snprintf(line, sizeof(line), "%d %ld %ld %lld %lld %s", rc, before, after,
                               static_cast<long long>(int_member(reply, "Size")),
                               static_cast<long long>(int_member(reply, "Checksum")), errbuf);
        if (write(result_pipe[1], line, static_cast<size_t>(n)) != n) _exit(4);
        _exit(0);
    }
    close(result_pipe[1]);
    std::string result;
    char buffer[1200];
    ssize_t n;
    while ((n = read(result_pipe[0], buffer, sizeof(buffer))) > 0) result.append(buffer, n);
    close(result_pipe[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    int rc = -1;
    long before = 0, after = 0;
    long long size = 0, sum = 0;
    ASSERT_EQ(sscanf(result.c_str(), "%d %ld %ld %lld %lld", &rc, &before, &after, &size, &sum), 5)
        << result;
    ASSERT_EQ(rc, 0) << result;
    std::vector<unsigned char> expected(kObjectSize);
    for (size_t i = 0; i < kObjectSize; ++i) expected[i] = static_cast<unsigned char>(i * 131 >> 3);
    EXPECT_EQ(size, static_cast<long long>(kObjectSize));
    EXPECT_EQ(sum, checksum(expected.data(), expected.size()));
    // A single copy of the object would add 64 MiB to the peak; streaming adds libcurl's and
    // TLS's buffers only (a few MiB). Under AddressSanitizer the shadow of the object and the
    // quarantine of freed buffers come on top, so the bound there only tells a copy apart.
#ifdef __SANITIZE_ADDRESS__
    constexpr long kBoundKib = 48 * 1024;
#else
    constexpr long kBoundKib = 16 * 1024;
#endif
    const long growth_kib = after - before;
    RecordProperty("peak_rss_growth_kib", static_cast<int>(growth_kib));
    printf("client peak RSS: %ld KiB with the object mapped, %ld KiB after sending it (+%ld KiB)\n",
           before, after, growth_kib);
    EXPECT_LT(growth_kib, kBoundKib);
}

// ---- Any gateway: odd answers and the request on the wire -------------------------------

// The first `length` characters of text with every control character as a blank.
std::string one_line(const std::string& text, size_t length) {
    std::string line = text.substr(0, length);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    return line;
}

TEST(HttpGatewayClient, AnswersOtherThanAJsonReplyFailClearly) {
    struct Case {
        const char* name;
        int status;
        std::string body;
        std::string error;  // the errbuf text, or "" for success
        int attempts;       // of retries + 1 = 3
    };
    const std::string html =
        "<html>\r\n<head><title>503 Service Temporarily Unavailable</title></head>\r\n<body>" +
        std::string(300, 'x') + "</body></html>";
    const Case kCases[] = {
        {"reply", 200, "{\"ReturnCode\": 7}", "", 0},
        {"reply with blanks after it", 200, "{\"ReturnCode\": 7}\r\n", "", 0},
        {"empty body", 200, "", "empty response from HTTP gateway", 3},
        {"not JSON", 200, "not json", "failed to parse JSON from HTTP gateway response", 3},
        {"JSON and more", 200, "{\"ReturnCode\": 0} {}",
         "failed to parse JSON from HTTP gateway response", 3},
        {"HTML error page", 503, html, "HTTP gateway returned status 503: " + one_line(html, 200),
         3},
        {"too many requests", 429, "slow down", "HTTP gateway returned status 429: slow down", 3},
        {"bad request", 400, "", "HTTP gateway returned status 400: ", 1},
        {"unauthorised", 401, "no", "HTTP gateway returned status 401: no", 1},
        {"endless body", 200, std::string(qz::gateway::kMaxResponseBytes + 1, ' '),
         "HTTP gateway request failed: response larger than 16777216 bytes", 3},
    };
    CannedHttpServer server;
    GatewayClient c(server.url(), "u", "p", "");
    for (const Case& k : kCases) {
        SCOPED_TRACE(k.name);
        server.answer(k.status, k.body);
        TraceCapture trace(QZ_LOG_DEBUG);
        JsonPtr reply = c.ask("qz-av-x", "{}", 2);
        if (k.error.empty()) {
            ASSERT_NE(reply, nullptr) << c.errbuf;
            EXPECT_EQ(qz_connection_simple_request(c.get(), "qz-av-x", "{}", 5000, 0, c.errbuf), 7);
        } else {
            EXPECT_EQ(reply, nullptr);
            EXPECT_EQ(c.errbuf, k.error);
            EXPECT_TRUE(trace.contains("qz_http_gateway_client: " + k.error));
        }
        EXPECT_EQ(attempts(trace), k.attempts);
    }
    // The error line of a body that does not parse shows the start of it.
    TraceCapture trace(QZ_LOG_ERROR);
    server.answer(200, "not json");
    EXPECT_EQ(c.ask("qz-av-x", "{}"), nullptr);
    EXPECT_TRUE(trace.contains(
        "qz_http_gateway_client: failed to parse JSON from HTTP gateway response (body=not json)"));
}

// The multipart parts of a body as (headers, content) pairs, split at the boundary of the
// Content-Type header.
std::vector<std::pair<std::string, std::string>> parts_of(const qztest::ReceivedRequest& request) {
    std::vector<std::pair<std::string, std::string>> parts;
    const std::string type = request.header("Content-Type");
    const size_t at = type.find("boundary=");
    if (at == std::string::npos) return parts;
    const std::string delimiter = "--" + type.substr(at + 9);
    size_t start = request.body.find(delimiter);
    while (start != std::string::npos) {
        start += delimiter.size();
        if (request.body.compare(start, 2, "--") == 0) break;
        const size_t head_end = request.body.find("\r\n\r\n", start);
        const size_t next = request.body.find("\r\n" + delimiter, head_end);
        if (head_end == std::string::npos || next == std::string::npos) break;
        parts.emplace_back(request.body.substr(start + 2, head_end - start - 2),
                           request.body.substr(head_end + 4, next - head_end - 4));
        start = next + 2;
    }
    return parts;
}

TEST(HttpGatewayClient, RequestOnTheWire) {
    CannedHttpServer server;
    server.answer(200, "{\"ReturnCode\": 0}");
    TraceCapture trace(QZ_LOG_TRACE);
    {
        GatewayClient c(server.url(), "scan-user", "scan-pw", "");
        ASSERT_NE(c.ask("qz-av-control", "{\"Command\": 3}"), nullptr) << c.errbuf;
        const std::string object = std::string("MZ\0\0\r\n--", 8) + pattern(5000, 3);
        ASSERT_NE(c.scan("qz-av-dummy", "{\"Command\": 1}", object), nullptr) << c.errbuf;

        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2u);
        for (const auto& request : requests) {
            EXPECT_EQ(request.request_line(), "POST /vsi HTTP/1.1");
            EXPECT_EQ(request.header("User-Agent"), "vendrix-av-client/4");
            EXPECT_EQ(request.header("Authorization"),
                      "Basic " + qztest::base64("scan-user:scan-pw"));
            EXPECT_EQ(request.header("Expect"), "");
            EXPECT_TRUE(starts_with(request.header("Content-Type"), "multipart/form-data;"));
        }
        EXPECT_EQ(requests[0].header("X-Target-Service"), "qz-av-control");
        EXPECT_EQ(requests[1].header("X-Target-Service"), "qz-av-dummy");
        // Without an object exactly one part, "request"; with one a second, "payload".
        const auto plain = parts_of(requests[0]);
        ASSERT_EQ(plain.size(), 1u);
        EXPECT_NE(plain[0].first.find("name=\"request\""), std::string::npos) << plain[0].first;
        EXPECT_NE(plain[0].first.find("Content-Type: application/json"), std::string::npos);
        EXPECT_EQ(plain[0].second, "{\"Command\": 3}");
        const auto with_object = parts_of(requests[1]);
        ASSERT_EQ(with_object.size(), 2u);
        EXPECT_NE(with_object[1].first.find("name=\"payload\""), std::string::npos);
        EXPECT_NE(with_object[1].first.find("Content-Type: application/octet-stream"),
                  std::string::npos);
        EXPECT_EQ(with_object[1].second, object);
        // The password never reaches the trace, not even inside the header libcurl sent.
        EXPECT_TRUE(trace.contains("curl >>: Authorization: Basic <redacted>"));
        EXPECT_FALSE(trace.contains(qztest::base64("scan-user:scan-pw")));
        EXPECT_TRUE(trace.contains("curl <<: HTTP/1.1 200 OK"));
        EXPECT_TRUE(
            trace.contains("qz_http_gateway_client: response (17 bytes): {\"ReturnCode\": 0}"));
    }

    // A user without a password sends no credentials at all.
    server.clear();
    trace.clear();
    GatewayClient only_user(server.url(), "scan-user", nullptr, "");
    ASSERT_NE(only_user.ask("qz-av-control", "{}"), nullptr);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].header("Authorization"), "");
    EXPECT_TRUE(trace.contains("qz_http_gateway_client: no Basic Auth credentials set"));

    // A URL with a path of its own is posted to as it is; one ending in '/' gets the path
    // without a doubled slash.
    server.clear();
    for (const std::string& url : {server.url() + "/api/scan", server.url() + "/"}) {
        GatewayClient c(url, "u", "p", "");
        ASSERT_NE(c.ask("qz-av-control", "{}"), nullptr) << c.errbuf;
    }
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[0].request_line(), "POST /api/scan HTTP/1.1");
    EXPECT_EQ(server.requests()[1].request_line(), "POST /vsi HTTP/1.1");

    // A service name that would add a header line of its own is refused before anything is sent.
    server.clear();
    GatewayClient c(server.url(), "u", "p", "");
    EXPECT_EQ(c.ask("qz-av-x\r\nX-Injected: 1", "{}", 2), nullptr);
    EXPECT_STREQ(c.errbuf, "invalid target service name for the HTTP gateway request");
    EXPECT_TRUE(server.requests().empty());
}

// ---- The gateway program --------------------------------------------------------------------

TEST(HttpGatewayProgram, RefusesToStartWithoutWhatItNeeds) {
    TlsFiles tls;
    qztest::TempDir dir;
    struct Case {
        const char* name;
        std::string settings;
        const char* message;
    };
    const std::string files = "cert = " + tls.cert_file() + "\nkey = " + tls.key_file() + "\n";
    const Case kCases[] = {
        {"no credentials", files, "no user and password configured"},
        {"no certificate", "user = u\npassword = p\n", "a server certificate and key are required"},
        {"typing error", files + "user = u\npasword = p\n", "unknown key \"pasword\""},
        {"port out of range", files + "user = u\npassword = p\nport = 70000\n",
         "port takes 1 to 65535"},
        {"key that does not fit the certificate",
         "user = u\npassword = p\ncert = " + tls.cert_file() + "\nkey = " + tls.ca_file() + "\n",
         "cannot use the certificate"},
    };
    NatsServer broker;
    for (const Case& k : kCases) {
        SCOPED_TRACE(k.name);
        const std::string config = dir.file("gateway.cfg");
        qztest::write_file(
            config, "[gateway]\nport = " + std::to_string(qztest::free_loopback_port()) + "\n" +
                        k.settings);
        try {
            qztest::ServiceProcess gateway("qz-av-gateway", broker.url(), {"--config", config});
            ADD_FAILURE() << "the gateway started";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(k.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
