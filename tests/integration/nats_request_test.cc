// Request/reply through the connection facade against a real nats-server, with services played by
// raw cnats subscriptions: replies good and bad, time-outs, no responders and their back-off,
// payload staging and staged keys, work-queue routing and its fallback, the broker going away
// before, between and during requests, and TLS with and without the right certificates.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "connection/connection.h"
#include "connection/nats_client.h"
#include "connection/nats_handles.h"
#include "connection/nats_kv.h"
#include "log/log.h"
#include "support/nats_server.h"
#include "support/nats_test_helpers.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
using qz::nats::ConnectionPtr;
using qz::nats::JsCtxPtr;
using qz::nats::JsonPtr;
using qz::nats::MsgPtr;
using qz::nats::OptionsPtr;
using qz::nats::SubscriptionPtr;
using qztest::count;
using qztest::elapsed_ms;
using qztest::member;
using qztest::NatsServer;
using qztest::parse;
using qztest::TraceCapture;
using qztest::wait_until;

// A raw connection of the test itself (services, set-up), reconnecting quickly for ever.
ConnectionPtr raw_connect(const NatsServer& server) {
    natsOptions* raw_opts = nullptr;
    EXPECT_EQ(natsOptions_Create(&raw_opts), NATS_OK);
    OptionsPtr opts(raw_opts);
    natsOptions_SetURL(opts.get(), server.url().c_str());
    natsOptions_SetMaxReconnect(opts.get(), -1);
    natsOptions_SetReconnectWait(opts.get(), 20);
    natsOptions_SetReconnectJitter(opts.get(), 0, 0);
    natsConnection* nc = nullptr;
    EXPECT_EQ(natsConnection_Connect(&nc, opts.get()), NATS_OK);
    return ConnectionPtr(nc);
}

// A service on a core subject. The reply function returns the text to answer with, or nothing
// to leave the request unanswered.
class Service {
  public:
    using ReplyFn = std::function<std::optional<std::string>(const std::string& request)>;

    Service(const NatsServer& server, const std::string& subject, ReplyFn reply, int delay_ms = 0)
        : nc_(raw_connect(server)), reply_(std::move(reply)), delay_ms_(delay_ms) {
        natsSubscription* sub = nullptr;
        EXPECT_EQ(
            natsConnection_Subscribe(&sub, nc_.get(), subject.c_str(), &Service::on_message, this),
            NATS_OK);
        sub_.reset(sub);
        EXPECT_EQ(natsConnection_FlushTimeout(nc_.get(), 2000), NATS_OK);
    }
    ~Service() {
        natsSubscription_Unsubscribe(sub_.get());
        sub_.reset();
        nc_.reset();
    }

    int requests() const { return requests_.load(); }
    std::string last_request() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_request_;
    }
    natsConnection* connection() const { return nc_.get(); }

  private:
    static void on_message(natsConnection* nc, natsSubscription*, natsMsg* raw, void* closure) {
        MsgPtr msg(raw);
        auto* self = static_cast<Service*>(closure);
        const std::string request(natsMsg_GetData(msg.get()),
                                  static_cast<size_t>(natsMsg_GetDataLength(msg.get())));
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->last_request_ = request;
        }
        self->requests_.fetch_add(1);
        if (self->delay_ms_ > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(self->delay_ms_));
        }
        const std::optional<std::string> reply = self->reply_(request);
        if (reply && natsMsg_GetReply(msg.get()) != nullptr) {
            natsConnection_Publish(nc, natsMsg_GetReply(msg.get()), reply->data(),
                                   static_cast<int>(reply->size()));
        }
    }

    ConnectionPtr nc_;
    SubscriptionPtr sub_;
    ReplyFn reply_;
    int delay_ms_;
    std::atomic<int> requests_{0};
    mutable std::mutex mutex_;
    std::string last_request_;
};

Service::ReplyFn answer(std::string text) {
    return [text](const std::string&) { return std::optional<std::string>(text); };
}

// The connection record of a requester, owning its strings as the implementation would.
class Client {
  public:
    explicit Client(const std::string& url) : config_(qz_connection_config_new()) {
        config_->server_url = strdup(url.c_str());
    }
    ~Client() {
        qz_connection_deinit(config_);
        for (char* text :
             {config_->server_url, config_->user, config_->password, config_->cert_path,
              config_->client_cert, config_->client_key, config_->js_services}) {
            free(text);
        }
        free(config_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    qz_connection_config* operator->() const { return config_; }
    qz_connection_config* get() const { return config_; }
    void set(char** field, const std::string& value) {
        free(*field);
        *field = strdup(value.c_str());
    }
    bool connected() const {
        return config_->conn != nullptr &&
               natsConnection_Status(config_->conn) == NATS_CONN_STATUS_CONNECTED;
    }

  private:
    qz_connection_config* config_;
};

// One broker for the tests that do not take it away.
class NatsRequest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server_ = new NatsServer(); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        client_ = std::make_unique<Client>(server_->url());
        ASSERT_EQ(qz_connection_init(client_->get()), 0);
        ASSERT_TRUE(client_->connected());
    }
    void TearDown() override { client_.reset(); }

    // Creates a bucket as the broker service would.
    void create_bucket(const char* name) {
        kvConfig config;
        kvConfig_Init(&config);
        config.Bucket = name;
        config.History = 1;
        kvStore* kv = nullptr;
        ASSERT_EQ(js_CreateKeyValue(&kv, (*client_)->js, &config), NATS_OK);
        kvStore_Destroy(kv);
    }

    static NatsServer* server_;
    std::unique_ptr<Client> client_;
};
NatsServer* NatsRequest::server_ = nullptr;

TEST_F(NatsRequest, RoundTripThroughTheFacade) {
    TraceCapture trace(QZ_LOG_TRACE);
    Service service(*server_, "qz-av-echo", [](const std::string& request) {
        JsonPtr in = parse(request);
        return std::optional<std::string>("{\"ReturnCode\": 7, \"Echo\": \"" +
                                          member(in.get(), "Command") + "\"}");
    });
    char errbuf[1024] = "stale";
    JsonPtr reply(qz_connection_send_recv_json(client_->get(), "qz-av-echo",
                                               "{\"Command\": \"hello\"}", 2000, 0, errbuf));
    ASSERT_NE(reply, nullptr) << errbuf;
    EXPECT_EQ(member(reply.get(), "Echo"), "hello");
    EXPECT_STREQ(errbuf, "");
    EXPECT_EQ(qz_connection_simple_request(client_->get(), "qz-av-echo", "{\"Command\": 1}", 2000,
                                           0, errbuf),
              7);
    EXPECT_TRUE(trace.contains("NATS: sending request to qz-av-echo (timeout: 2000ms):"));
    EXPECT_TRUE(trace.contains("NATS: received reply from qz-av-echo ("));
}

TEST_F(NatsRequest, RepliesThatBreakTheConventionYieldNothing) {
    struct Case {
        std::string reply;
        bool object;  // send_recv_json returns an object
        int rc;       // simple_request
        const char* trace;
    };
    const Case kCases[] = {
        {"not json", false, -1, "NATS: failed to parse reply JSON from qz-av-bad: "},
        {"{\"ReturnCode\": 3", false, -1, "unexpected end of data"},
        {"", false, -1, "NATS: received empty reply from qz-av-bad"},
        {"{}", true, -1, "has no \"ReturnCode\" member"},
        {"{\"ReturnCode\": \"0\"}", true, -1, "is not an integer"},
        {"{\"ReturnCode\": 2.5}", true, -1, "is not an integer"},
        {"[1, 2]", true, -1, "has no \"ReturnCode\" member"},
        {"{\"ReturnCode\": -3}", true, -3, nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.reply);
        TraceCapture trace(QZ_LOG_WARN);
        Service service(*server_, "qz-av-bad", answer(c.reply));
        char errbuf[1024];
        JsonPtr reply(
            qz_connection_send_recv_json(client_->get(), "qz-av-bad", "{}", 2000, 0, errbuf));
        EXPECT_EQ(reply != nullptr, c.object);
        EXPECT_EQ(qz_connection_simple_request(client_->get(), "qz-av-bad", "{}", 2000, 0, errbuf),
                  c.rc);
        if (c.trace != nullptr) {
            EXPECT_TRUE(trace.contains(c.trace)) << trace.contents();
        }
        EXPECT_EQ(service.requests(), 2) << "a bad reply is not retried";
    }
}

TEST_F(NatsRequest, AServiceThatNeverAnswersTimesOutPerAttempt) {
    TraceCapture trace(QZ_LOG_DEBUG);
    Service silent(*server_, "qz-av-silent", [](const std::string&) { return std::nullopt; });
    char errbuf[1024];
    const auto start = Clock::now();
    JsonPtr reply(
        qz_connection_send_recv_json(client_->get(), "qz-av-silent", "{}", 300, 2, errbuf));
    const long long took = elapsed_ms(start);
    EXPECT_EQ(reply, nullptr);
    EXPECT_STREQ(errbuf, "NATS: request to qz-av-silent timed out");
    EXPECT_EQ(silent.requests(), 3);
    EXPECT_GE(took, 3 * 300 - 30);
    EXPECT_LT(took, 3 * 300 + 1000);
    const std::string log = trace.contents();
    EXPECT_EQ(count(log, "NATS: request to qz-av-silent timed out after 300ms"), 3);
    EXPECT_EQ(count(log, "NATS: retrying qz-av-silent... retries left: 1"), 1);
    EXPECT_EQ(count(log, "NATS: retrying qz-av-silent... retries left: 0"), 1);

    // retries of -1 sends nothing at all.
    EXPECT_EQ(qz_connection_send_recv_json(client_->get(), "qz-av-silent", "{}", 300, -1, errbuf),
              nullptr);
    EXPECT_EQ(silent.requests(), 3);
    // Any other negative count is a single attempt.
    EXPECT_EQ(qz_connection_send_recv_json(client_->get(), "qz-av-silent", "{}", 100, -5, errbuf),
              nullptr);
    EXPECT_EQ(silent.requests(), 4);
}

TEST_F(NatsRequest, NoRespondersBacksOffWithoutUsingRetriesThenFails) {
    TraceCapture trace(QZ_LOG_DEBUG);
    char errbuf[1024];
    auto start = Clock::now();
    JsonPtr reply(
        qz_connection_send_recv_json(client_->get(), "qz-av-nobody", "{}", 3000, 0, errbuf));
    long long took = elapsed_ms(start);
    EXPECT_EQ(reply, nullptr);
    EXPECT_STREQ(errbuf,
                 "NATS: request to qz-av-nobody failed: No responders available for request");
    EXPECT_GE(took, 175);  // at least three back-off steps (25 + 50 + 100)
    EXPECT_LT(took, 400 + 1000);
    std::string log = trace.contents();
    EXPECT_GE(count(log, "nats: no responders for qz-av-nobody - backoff "), 3);
    EXPECT_LE(count(log, "nats: no responders for qz-av-nobody - backoff "), 4);
    EXPECT_TRUE(log.find("retry 1/4") != std::string::npos);

    // A 20 ms budget cannot hold even the first step: one failure, no back-off.
    trace.clear();
    start = Clock::now();
    EXPECT_EQ(qz_connection_simple_request(client_->get(), "qz-av-nobody", "{}", 20, 0, errbuf),
              -1);
    EXPECT_LT(elapsed_ms(start), 500);
    log = trace.contents();
    EXPECT_EQ(count(log, "no responders for"), 0);
    EXPECT_EQ(count(log, "NATS: request to qz-av-nobody failed: No responders"), 1);
}

TEST_F(NatsRequest, AServiceThatAppearsDuringTheBackOffIsReachedOnTheSameAttempt) {
    TraceCapture trace(QZ_LOG_DEBUG);
    std::unique_ptr<Service> late;
    std::thread starter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        late = std::make_unique<Service>(*server_, "qz-av-late", answer("{\"ReturnCode\": 0}"));
    });
    char errbuf[1024];
    const int rc =
        qz_connection_simple_request(client_->get(), "qz-av-late", "{}", 3000, 0, errbuf);
    starter.join();
    EXPECT_EQ(rc, 0) << errbuf;
    EXPECT_TRUE(trace.contains("nats: no responders for qz-av-late - backoff"));
    EXPECT_FALSE(trace.contains("retrying qz-av-late"));
}

TEST_F(NatsRequest, AStagedKeyTravelsAsKvKeyAndNothingIsStaged) {
    TraceCapture trace(QZ_LOG_DEBUG);
    Service service(*server_, "qz-av-dummy", answer("{\"ReturnCode\": 0}"));
    qz_request_reply* pair = qz_const_request_reply_new();
    std::string job = "{\"Job\": 1}";
    const char key[] = "scan-1-2-3";
    unsigned char bytes[] = {1, 2, 3};
    pair->request->json = job.data();
    pair->request->staged_key = key;
    pair->request->data = bytes;  // ignored when the payload is already staged
    pair->request->data_len = sizeof(bytes);
    pair->reply->json = strdup("{\"left over\": 1}");
    char errbuf[1024];
    JsonPtr reply(qz_connection_send_recv_json_data(client_->get(), "qz-av-dummy", pair, 2000, 100,
                                                    0, errbuf));
    ASSERT_NE(reply, nullptr) << errbuf;
    EXPECT_EQ(pair->reply->json, nullptr);
    EXPECT_EQ(job, "{\"Job\": 1}") << "the caller's text is never modified";
    JsonPtr sent = parse(service.last_request());
    EXPECT_EQ(member(sent.get(), "_kv_key"), key);
    EXPECT_EQ(member(sent.get(), "Job"), "1");
    EXPECT_FALSE(trace.contains("KV put"));
    qz_const_request_reply_free_structs(pair);
}

TEST_F(NatsRequest, APayloadIsStagedForTheCallAndRemovedAfterAParsableReply) {
    create_bucket(QZ_NATS_KV_SCAN_DATA_BUCKET);
    // Larger than the broker's 1 MiB max payload: it can only travel staged.
    const std::string payload(3 * QZ_NATS_KV_CHUNK_SIZE - 1, 'p');
    ASSERT_GT(static_cast<int64_t>(payload.size()), natsConnection_GetMaxPayload((*client_)->conn));
    std::mutex seen_mutex;
    std::string seen_key;
    std::string seen_payload;
    Service service(*server_, "qz-av-scan", [&](const std::string& request) {
        JsonPtr in = parse(request);
        std::lock_guard<std::mutex> lock(seen_mutex);
        seen_key = member(in.get(), "_kv_key");
        unsigned char* data = nullptr;
        size_t size = 0;
        if (kvstore_get_chunked(client_->get(), seen_key.c_str(), &data, &size) == 0) {
            seen_payload.assign(reinterpret_cast<char*>(data), size);
            free(data);
        }
        return std::optional<std::string>("{\"ReturnCode\": 0}");
    });
    qz_request_reply* pair = qz_const_request_reply_new();
    std::string job = "{\"Job\": 2}";
    pair->request->json = job.data();
    pair->request->data = reinterpret_cast<unsigned char*>(const_cast<char*>(payload.data()));
    pair->request->data_len = payload.size();
    char errbuf[1024];
    JsonPtr reply(
        qz_connection_send_recv_json_data(client_->get(), "qz-av-scan", pair, 3000, 0, 0, errbuf));
    ASSERT_NE(reply, nullptr) << errbuf;
    std::lock_guard<std::mutex> lock(seen_mutex);
    ASSERT_FALSE(seen_key.empty());
    EXPECT_EQ(seen_key.rfind("scan-", 0), 0u);
    EXPECT_EQ(seen_payload == payload, true);
    char* value = nullptr;
    EXPECT_EQ(qz_connection_kv_get(client_->get(), QZ_NATS_KV_SCAN_DATA_BUCKET, seen_key.c_str(),
                                   &value, nullptr),
              1)
        << "unstaged after the reply";
    free(value);

    // Without a reply the payload stays for its TTL: a worker may still be reading it.
    Service silent(*server_, "qz-av-slow", [](const std::string&) { return std::nullopt; });
    reply.reset(
        qz_connection_send_recv_json_data(client_->get(), "qz-av-slow", pair, 200, 0, 0, errbuf));
    EXPECT_EQ(reply, nullptr);
    EXPECT_STREQ(errbuf, "NATS: request to qz-av-slow timed out");
    JsonPtr sent = parse(silent.last_request());
    const std::string left_key = member(sent.get(), "_kv_key");
    ASSERT_FALSE(left_key.empty());
    EXPECT_EQ(qz_connection_kv_get(client_->get(), QZ_NATS_KV_SCAN_DATA_BUCKET, left_key.c_str(),
                                   &value, nullptr),
              0);
    free(value);
    qz_const_request_reply_free_structs(pair);
}

TEST_F(NatsRequest, StagingFailureEndsTheCallWithoutSending) {
    js_DeleteKeyValue((*client_)->js, QZ_NATS_KV_SCAN_DATA_BUCKET);
    TraceCapture trace(QZ_LOG_ERROR);
    Service service(*server_, "qz-av-scan2", answer("{\"ReturnCode\": 0}"));
    qz_request_reply* pair = qz_const_request_reply_new();
    std::string job = "{}";
    unsigned char bytes[] = {1};
    pair->request->json = job.data();
    pair->request->data = bytes;
    pair->request->data_len = 1;
    char errbuf[1024];
    EXPECT_EQ(
        qz_connection_send_recv_json_data(client_->get(), "qz-av-scan2", pair, 500, 0, 0, errbuf),
        nullptr);
    EXPECT_STREQ(errbuf, "NATS: failed to store binary data in KV store");
    EXPECT_EQ(service.requests(), 0);
    qz_const_request_reply_free_structs(pair);
}

TEST_F(NatsRequest, WorkQueueSubjectsGoThroughTheStreamWithRequestIds) {
    // The stream and durable consumer as the broker service provisions them.
    jsStreamConfig stream;
    jsStreamConfig_Init(&stream);
    stream.Name = "JOBS_qz-av-wq";
    const char* subjects[] = {"jobs.qz-av-wq"};
    stream.Subjects = subjects;
    stream.SubjectsLen = 1;
    stream.Retention = js_WorkQueuePolicy;
    stream.Duplicates = 60LL * 1000 * 1000 * 1000;
    jsStreamInfo* info = nullptr;
    ASSERT_EQ(js_AddStream(&info, (*client_)->js, &stream, nullptr, nullptr), NATS_OK);
    jsStreamInfo_Destroy(info);

    // A puller of the test: fetch, answer on _reply_subj, ack.
    ConnectionPtr worker_nc = raw_connect(*server_);
    jsCtx* raw_js = nullptr;
    ASSERT_EQ(natsConnection_JetStream(&raw_js, worker_nc.get(), nullptr), NATS_OK);
    JsCtxPtr worker_js(raw_js);
    natsSubscription* raw_sub = nullptr;
    jsSubOptions sub_options;
    jsSubOptions_Init(&sub_options);
    sub_options.Stream = "JOBS_qz-av-wq";
    ASSERT_EQ(js_PullSubscribe(&raw_sub, worker_js.get(), "jobs.qz-av-wq", "WORK_qz-av-wq", nullptr,
                               &sub_options, nullptr),
              NATS_OK);
    SubscriptionPtr puller(raw_sub);
    std::atomic<bool> stop{false};
    std::string job_text, msg_id;
    std::thread worker([&] {
        while (!stop) {
            natsMsgList list{};
            if (natsSubscription_Fetch(&list, puller.get(), 1, 200, nullptr) != NATS_OK) continue;
            natsMsg* job = list.Msgs[0];
            job_text.assign(natsMsg_GetData(job), natsMsg_GetDataLength(job));
            const char* id = nullptr;
            if (natsMsgHeader_Get(job, "Nats-Msg-Id", &id) == NATS_OK) msg_id = id;
            JsonPtr in = parse(job_text);
            const std::string reply_to = member(in.get(), "_reply_subj");
            natsConnection_PublishString(worker_nc.get(), reply_to.c_str(), "{\"ReturnCode\": 4}");
            natsMsg_Ack(job, nullptr);
            natsMsgList_Destroy(&list);
        }
    });

    client_->set(&(*client_)->js_services, " qz-av-other ,\tqz-av-wq");
    qz_request_reply* pair = qz_const_request_reply_new();
    std::string job = "{\"Job\": 3}";
    pair->request->json = job.data();
    char errbuf[1024];
    TraceCapture trace(QZ_LOG_DEBUG);
    JsonPtr reply(
        qz_connection_send_recv_json_data(client_->get(), "qz-av-wq", pair, 3000, 0, 0, errbuf));
    stop = true;
    worker.join();
    ASSERT_NE(reply, nullptr) << errbuf;
    EXPECT_EQ(qz::nats::reply_return_code(reply.get(), "qz-av-wq"), 4);
    JsonPtr sent = parse(job_text);
    const std::string reqid = member(sent.get(), "_reqid");
    EXPECT_EQ(reqid.rfind("scan-", 0), 0u);
    EXPECT_EQ(msg_id, reqid) << "the request id is the message id the duplicate window uses";
    EXPECT_EQ(member(sent.get(), "_reply_subj").rfind("_INBOX.", 0), 0u);
    EXPECT_EQ(member(sent.get(), "Job"), "3");
    EXPECT_TRUE(
        trace.contains("NATS: send to 'qz-av-wq' via JS work queue 'jobs.qz-av-wq' "
                       "(reqid=" +
                       reqid + ")"));

    // Without a JetStream context the work-queue route fails; it does not fall back.
    jsCtx* js = (*client_)->js;
    (*client_)->js = nullptr;
    EXPECT_EQ(
        qz_connection_send_recv_json_data(client_->get(), "qz-av-wq", pair, 300, 0, 3, errbuf),
        nullptr);
    (*client_)->js = js;
    EXPECT_TRUE(
        trace.contains("NATS: JS send to qz-av-wq requested but this connection has no "
                       "JetStream context"));
    EXPECT_STREQ(errbuf, "NATS: request to qz-av-wq failed: Error");
    qz_const_request_reply_free_structs(pair);
}

TEST_F(NatsRequest, WorkQueueWithoutAStreamFallsBackToCoreWithAThrottledWarning) {
    TraceCapture trace(QZ_LOG_WARN);
    Service service(*server_, "qz-av-unprovisioned", answer("{\"ReturnCode\": 0}"));
    client_->set(&(*client_)->js_services, "qz-av-unprovisioned");
    qz_request_reply* pair = qz_const_request_reply_new();
    std::string job = "{}";
    pair->request->json = job.data();
    char errbuf[1024];
    for (int i = 0; i < 2; ++i) {
        JsonPtr reply(qz_connection_send_recv_json_data(client_->get(), "qz-av-unprovisioned", pair,
                                                        2000, 0, 0, errbuf));
        ASSERT_NE(reply, nullptr) << errbuf;
    }
    EXPECT_EQ(service.requests(), 2);
    EXPECT_EQ(count(trace.contents(),
                    "NATS: work queue for 'qz-av-unprovisioned' has no stream (broker not "
                    "provisioned with it?) \xE2\x80\x94 falling back to core request/reply "
                    "(throttled)"),
              1);
    qz_const_request_reply_free_structs(pair);
}

TEST_F(NatsRequest, LibraryTeardownWaitsForTheLastConnection) {
    TraceCapture trace(QZ_LOG_DEBUG);
    EXPECT_EQ(qz_nats_close_library(), 1) << "a connection is still open";
    EXPECT_TRUE(trace.contains("NATS: library teardown skipped: 1 connection(s) still open"));
    client_.reset();
    EXPECT_EQ(qz_nats_close_library(), 0);
    // The client library opens itself again for the next connection.
    client_ = std::make_unique<Client>(server_->url());
    ASSERT_EQ(qz_connection_init(client_->get()), 0);
    Service service(*server_, "qz-av-again", answer("{\"ReturnCode\": 0}"));
    EXPECT_EQ(qz_connection_simple_request(client_->get(), "qz-av-again", "{}", 2000, 0, nullptr),
              0);
}

// Tests that take the broker away own theirs.

TEST(NatsOutage, BrokerStoppedBetweenRequestsFailsThemUntilItIsBack) {
    TraceCapture trace(QZ_LOG_DEBUG);
    NatsServer server;
    Client client(server.url());
    ASSERT_EQ(qz_connection_init(client.get()), 0);
    Service service(server, "qz-av-svc", answer("{\"ReturnCode\": 0}"));
    char errbuf[1024];
    ASSERT_EQ(qz_connection_simple_request(client.get(), "qz-av-svc", "{}", 2000, 0, errbuf), 0);

    server.stop();
    ASSERT_TRUE(wait_until([&] { return !client.connected(); }, 2000));
    const auto start = Clock::now();
    EXPECT_EQ(qz_connection_simple_request(client.get(), "qz-av-svc", "{}", 300, 1, errbuf), -1);
    EXPECT_LT(elapsed_ms(start), 2 * 300 + 1000);
    // While the client reconnects the request waits in its buffer and times out.
    EXPECT_STREQ(errbuf, "NATS: request to qz-av-svc timed out");
    EXPECT_TRUE(trace.contains("NATS: connection lost"));

    server.start();
    ASSERT_TRUE(wait_until([&] { return client.connected(); }, 5000));
    ASSERT_TRUE(wait_until(
        [&] { return natsConnection_Status(service.connection()) == NATS_CONN_STATUS_CONNECTED; },
        5000));
    // The callback runs on a client library thread, possibly just after the status changed.
    EXPECT_TRUE(wait_until(
        [&] {
            return trace.contains("NATS: reconnected to nats://127.0.0.1:" +
                                  std::to_string(server.port()));
        },
        2000));
    // The service's subscription is back once its connection has replayed it.
    EXPECT_TRUE(wait_until(
        [&] {
            return qz_connection_simple_request(client.get(), "qz-av-svc", "{}", 300, 0, errbuf) ==
                   0;
        },
        3000))
        << errbuf;
}

// Twenty reconnect waits of at most 500 ms each are over after 10 s; the connection must still
// come back after a longer outage, without a new init.
TEST(NatsOutage, AnOutageLongerThanTwentyReconnectWaitsIsSurvived) {
    NatsServer server;
    Client client(server.url());
    ASSERT_EQ(qz_connection_init(client.get()), 0);
    Service service(server, "qz-av-long", answer("{\"ReturnCode\": 0}"));
    char errbuf[1024];
    ASSERT_EQ(qz_connection_simple_request(client.get(), "qz-av-long", "{}", 2000, 0, errbuf), 0);

    server.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(11000));
    server.start();
    EXPECT_TRUE(wait_until([&] { return client.connected(); }, 5000));
    EXPECT_TRUE(wait_until(
        [&] {
            return qz_connection_simple_request(client.get(), "qz-av-long", "{}", 300, 0, errbuf) ==
                   0;
        },
        5000))
        << errbuf;
}

TEST(NatsOutage, BrokerKilledDuringARequestFailsThatRequestOnly) {
    TraceCapture trace(QZ_LOG_DEBUG);
    NatsServer server;
    Client client(server.url());
    ASSERT_EQ(qz_connection_init(client.get()), 0);
    Service slow(server, "qz-av-slow", answer("{\"ReturnCode\": 0}"), 400);
    char errbuf[1024];
    std::thread outage([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        server.kill();
    });
    const auto start = Clock::now();
    const int rc = qz_connection_simple_request(client.get(), "qz-av-slow", "{}", 800, 0, errbuf);
    outage.join();
    EXPECT_EQ(rc, -1);
    EXPECT_LT(elapsed_ms(start), 800 + 1000);
    EXPECT_STREQ(errbuf, "NATS: request to qz-av-slow timed out");

    server.start();
    ASSERT_TRUE(wait_until([&] { return client.connected(); }, 5000));
    EXPECT_TRUE(wait_until(
        [&] {
            return qz_connection_simple_request(client.get(), "qz-av-slow", "{}", 1000, 0,
                                                errbuf) == 0;
        },
        5000))
        << errbuf;
}

TEST(NatsOutage, BrokerDownAtConnectIsRetriedThenHandedToBackgroundReconnect) {
    TraceCapture trace(QZ_LOG_DEBUG);
    NatsServer server;
    server.stop();
    Client client(server.url());
    const auto start = Clock::now();
    ASSERT_EQ(qz_connection_init(client.get()), 0);
    const long long took = elapsed_ms(start);
    EXPECT_GE(took, 200 + 400 + 800 + 1600);
    EXPECT_LT(took, 300 + 600 + 1200 + 2400 + 1500);
    const std::string log = trace.contents();
    const std::string url = server.url();
    for (int attempt = 1; attempt <= 4; ++attempt) {
        EXPECT_TRUE(log.find("NATS: connect to " + url + " failed transiently on attempt " +
                             std::to_string(attempt) + "/5") != std::string::npos)
            << attempt;
    }
    EXPECT_TRUE(log.find("NATS: connect to " + url + " still failing on final attempt 5/5 (") !=
                std::string::npos);
    EXPECT_TRUE(log.find("handing off to background reconnect (MaxReconnect=-1)") !=
                std::string::npos);
    EXPECT_FALSE(client.connected());
    char errbuf[1024];
    EXPECT_EQ(qz_connection_simple_request(client.get(), "qz-av-svc", "{}", 100, 0, errbuf), -1);

    server.start();
    ASSERT_TRUE(wait_until([&] { return client.connected(); }, 6000));
    Service service(server, "qz-av-svc", answer("{\"ReturnCode\": 0}"));
    EXPECT_EQ(qz_connection_simple_request(client.get(), "qz-av-svc", "{}", 2000, 0, errbuf), 0)
        << errbuf;
    EXPECT_TRUE(wait_until(
        [&] { return trace.contains("NATS: connected to " + url + " (background connect)"); },
        2000));
}

class NatsTls : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        NatsServer::Options options;
        options.tls = true;
        server_ = new NatsServer(options);
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    static NatsServer* server_;
};
NatsServer* NatsTls::server_ = nullptr;

TEST_F(NatsTls, ConnectsWithTheRightCaAndClientCertificate) {
    TraceCapture trace(QZ_LOG_DEBUG);
    Client client(server_->tls_url());
    client.set(&client->cert_path, server_->ca_file());
    client.set(&client->client_cert, server_->client_cert_file());
    client.set(&client->client_key, server_->client_key_file());
    ASSERT_EQ(qz_connection_init(client.get()), 0);
    ASSERT_TRUE(client.connected());
    EXPECT_NE(client->js, nullptr);
    EXPECT_TRUE(trace.contains("(scheme implies TLS=yes)"));
    EXPECT_TRUE(trace.contains("Client certificate chain loaded"));
    EXPECT_TRUE(trace.contains("Post-connect status=CONNECTED"));
    EXPECT_FALSE(trace.contains("connection is NOT encrypted"));

    ConnectionPtr nc;
    {
        natsOptions* raw_opts = nullptr;
        ASSERT_EQ(natsOptions_Create(&raw_opts), NATS_OK);
        OptionsPtr opts(raw_opts);
        natsOptions_SetURL(opts.get(), server_->tls_url().c_str());
        natsOptions_LoadCATrustedCertificates(opts.get(), server_->ca_file().c_str());
        natsOptions_LoadCertificatesChain(opts.get(), server_->client_cert_file().c_str(),
                                          server_->client_key_file().c_str());
        natsConnection* raw = nullptr;
        ASSERT_EQ(natsConnection_Connect(&raw, opts.get()), NATS_OK);
        nc.reset(raw);
    }
    natsSubscription* raw_sub = nullptr;
    ASSERT_EQ(natsConnection_SubscribeSync(&raw_sub, nc.get(), "qz-av-tls"), NATS_OK);
    SubscriptionPtr sub(raw_sub);
    natsConnection_Flush(nc.get());
    std::thread service([&] {
        natsMsg* raw = nullptr;
        if (natsSubscription_NextMsg(&raw, sub.get(), 3000) != NATS_OK) return;
        MsgPtr msg(raw);
        natsConnection_PublishString(nc.get(), natsMsg_GetReply(msg.get()), "{\"ReturnCode\": 0}");
    });
    char errbuf[1024];
    EXPECT_EQ(qz_connection_simple_request(client.get(), "qz-av-tls", "{}", 3000, 0, errbuf), 0)
        << errbuf;
    service.join();
}

TEST_F(NatsTls, TheWrongCertificatesGiveAClearErrorAndNoConnection) {
    struct Case {
        const char* name;
        std::string ca;
        bool client_cert;
        const char* trace;
    };
    const Case kCases[] = {
        {"server certificate from another CA", server_->other_ca_file(), true,
         "failed permanently on attempt 1/5: SSL Error"},
        {"no client certificate", server_->ca_file(), false,
         "if it requires client certificates, configure client_cert and client_key"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TraceCapture trace(QZ_LOG_DEBUG);
        Client client(server_->tls_url());
        client.set(&client->cert_path, c.ca);
        if (c.client_cert) {
            client.set(&client->client_cert, server_->client_cert_file());
            client.set(&client->client_key, server_->client_key_file());
        }
        const auto start = Clock::now();
        const int rc = qz_connection_init(client.get());
        EXPECT_LT(elapsed_ms(start), 6000);
        EXPECT_FALSE(client.connected());
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(client->conn, nullptr);
        EXPECT_TRUE(trace.contains(c.trace)) << trace.contents();
    }
}

}  // namespace
