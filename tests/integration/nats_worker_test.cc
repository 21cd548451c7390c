// The worker side against a real nats-server: handler pools on core subjects under concurrent
// requesters, staged payloads, work-queue pullers behind the requester's work-queue route, the
// verdict cache, a worker process killed in the middle of a job, a lost acknowledgement,
// in-progress heartbeats for a job longer than AckWait, the worker ping, stopping and joining,
// and a broker restart under running workers.
#include "connection/nats_worker.h"

#include <gtest/gtest.h>
#include <json-c/json.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connection/connection.h"
#include "connection/nats_client.h"
#include "connection/nats_handles.h"
#include "connection/nats_kv.h"
#include "connection/worker_ping.h"
#include "log/log.h"
#include "support/nats_server.h"
#include "support/nats_test_helpers.h"
#include "support/temp_dir.h"

extern char** environ;

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

// Every test server knows two users: "full" may do everything; "lossy" may not acknowledge
// JetStream messages, so a worker logged in as "lossy" answers its jobs and loses every ack.
const char kUsers[] =
    "authorization {\n"
    "  users = [\n"
    "    {user: full, password: full}\n"
    "    {user: lossy, password: lossy, permissions: {publish: {deny: [\"$JS.ACK.>\"]}}}\n"
    "  ]\n"
    "}\n";
constexpr int64_t kAckWaitMs = 2000;

NatsServer::Options server_options() {
    NatsServer::Options options;
    options.extra_config = kUsers;
    return options;
}

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

bool has_member(const std::string& json, const char* name) {
    JsonPtr object = parse(json);
    json_object* value = nullptr;
    return object && json_object_object_get_ex(object.get(), name, &value);
}

void set_flag(volatile int32_t* flag) { __atomic_store_n(flag, 1, __ATOMIC_RELEASE); }

// The test's own broker connection (jobs, inboxes, stream set-up), reconnecting quickly.
ConnectionPtr raw_connect(const NatsServer& server) {
    natsOptions* raw_opts = nullptr;
    EXPECT_EQ(natsOptions_Create(&raw_opts), NATS_OK);
    OptionsPtr opts(raw_opts);
    natsOptions_SetURL(opts.get(), server.url().c_str());
    natsOptions_SetUserInfo(opts.get(), "full", "full");
    natsOptions_SetMaxReconnect(opts.get(), -1);
    natsOptions_SetReconnectWait(opts.get(), 20);
    natsConnection* nc = nullptr;
    EXPECT_EQ(natsConnection_Connect(&nc, opts.get()), NATS_OK);
    return ConnectionPtr(nc);
}

JsCtxPtr jetstream(natsConnection* nc) {
    jsCtx* js = nullptr;
    EXPECT_EQ(natsConnection_JetStream(&js, nc, nullptr), NATS_OK);
    return JsCtxPtr(js);
}

void create_buckets(jsCtx* js) {
    for (const char* name : {QZ_NATS_KV_SCAN_DATA_BUCKET, QZ_NATS_KV_DEDUP_BUCKET}) {
        kvConfig config;
        kvConfig_Init(&config);
        config.Bucket = name;
        config.History = 1;
        kvStore* kv = nullptr;
        ASSERT_EQ(js_CreateKeyValue(&kv, js, &config), NATS_OK) << name;
        kvStore_Destroy(kv);
    }
}

// The stream and durable consumer of a service as the broker side provisions them, with a
// short AckWait.
void create_work_queue(jsCtx* js, const std::string& service, int64_t ack_wait_ms = kAckWaitMs) {
    std::string subject, stream, durable;
    ASSERT_TRUE(qz::nats::worker::work_queue_names(service.c_str(), &subject, &stream, &durable));
    jsStreamConfig sc;
    jsStreamConfig_Init(&sc);
    sc.Name = stream.c_str();
    const char* subjects[] = {subject.c_str()};
    sc.Subjects = subjects;
    sc.SubjectsLen = 1;
    sc.Retention = js_WorkQueuePolicy;
    sc.Storage = js_FileStorage;
    sc.Duplicates = 120LL * 1000 * 1000 * 1000;
    jsStreamInfo* si = nullptr;
    ASSERT_EQ(js_AddStream(&si, js, &sc, nullptr, nullptr), NATS_OK);
    jsStreamInfo_Destroy(si);
    jsConsumerConfig cc;
    jsConsumerConfig_Init(&cc);
    cc.Durable = durable.c_str();
    cc.AckPolicy = js_AckExplicit;
    cc.DeliverPolicy = js_DeliverAll;
    cc.AckWait = ack_wait_ms * 1000 * 1000;
    cc.MaxDeliver = 5;
    cc.MaxAckPending = 1024;
    cc.FilterSubject = subject.c_str();
    jsConsumerInfo* ci = nullptr;
    ASSERT_EQ(js_AddConsumer(&ci, js, stream.c_str(), &cc, nullptr, nullptr), NATS_OK);
    jsConsumerInfo_Destroy(ci);
}

// Jobs still queued or unacknowledged on a work queue.
int64_t jobs_left(jsCtx* js, const std::string& service) {
    std::string subject, stream, durable;
    qz::nats::worker::work_queue_names(service.c_str(), &subject, &stream, &durable);
    jsConsumerInfo* ci = nullptr;
    if (js_GetConsumerInfo(&ci, js, stream.c_str(), durable.c_str(), nullptr, nullptr) != NATS_OK) {
        return -1;
    }
    const int64_t left = static_cast<int64_t>(ci->NumAckPending + ci->NumPending);
    jsConsumerInfo_Destroy(ci);
    return left;
}

// A job as the requester's work-queue route publishes it.
void publish_job(jsCtx* js, const std::string& service, const std::string& reqid,
                 const std::string& reply_subject, const std::string& body = "\"Job\": 1") {
    std::string job = "{" + body;
    if (!reqid.empty()) job += ", \"_reqid\": \"" + reqid + "\"";
    if (!reply_subject.empty()) job += ", \"_reply_subj\": \"" + reply_subject + "\"";
    job += "}";
    jsPubOptions options;
    jsPubOptions_Init(&options);
    if (!reqid.empty()) options.MsgId = reqid.c_str();
    jsPubAck* ack = nullptr;
    ASSERT_EQ(js_Publish(&ack, js, ("jobs." + service).c_str(), job.data(),
                         static_cast<int>(job.size()), &options, nullptr),
              NATS_OK);
    jsPubAck_Destroy(ack);
}

// Collects what arrives on one reply subject.
class Inbox {
  public:
    Inbox(natsConnection* nc, std::string subject) : subject_(std::move(subject)) {
        natsSubscription* sub = nullptr;
        EXPECT_EQ(natsConnection_SubscribeSync(&sub, nc, subject_.c_str()), NATS_OK);
        sub_.reset(sub);
        natsConnection_FlushTimeout(nc, 2000);
    }
    const std::string& subject() const { return subject_; }
    // Replies arriving within limit_ms (stops early once `enough` have arrived).
    std::vector<std::string> collect(int limit_ms, size_t enough = SIZE_MAX) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
        while (replies_.size() < enough && Clock::now() < deadline) {
            natsMsg* raw = nullptr;
            if (natsSubscription_NextMsg(&raw, sub_.get(), 50) == NATS_OK) {
                MsgPtr msg(raw);
                replies_.emplace_back(natsMsg_GetData(msg.get()),
                                      static_cast<size_t>(natsMsg_GetDataLength(msg.get())));
            }
        }
        return replies_;
    }

  private:
    std::string subject_;
    SubscriptionPtr sub_;
    std::vector<std::string> replies_;
};

// A handler closure that records what it saw and answers with the request's "Id", the payload's
// size and checksum, and a name of its own.
struct Recorder {
    std::string name = "worker";
    int delay_ms = 0;
    bool write_reply = true;
    std::atomic<int> calls{0};
    std::atomic<int> active{0};
    std::atomic<int> max_active{0};
    std::mutex mu;
    std::vector<std::string> requests;
    std::vector<std::string> staged_keys;
    std::vector<std::string> payloads;

    static void handle(void* closure, qz_request_reply* pair) {
        auto* self = static_cast<Recorder*>(closure);
        self->calls.fetch_add(1);
        const int now_active = self->active.fetch_add(1) + 1;
        int seen = self->max_active.load();
        while (now_active > seen && !self->max_active.compare_exchange_weak(seen, now_active)) {
        }
        const qz_message* request = pair->request;
        {
            std::lock_guard<std::mutex> lock(self->mu);
            self->requests.emplace_back(request->json != nullptr ? request->json : "");
            self->staged_keys.emplace_back(request->staged_key != nullptr ? request->staged_key
                                                                          : "");
            self->payloads.emplace_back(
                request->data != nullptr
                    ? std::string(reinterpret_cast<char*>(request->data), request->data_len)
                    : std::string());
        }
        if (self->delay_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(self->delay_ms));
        }
        if (self->write_reply) {
            JsonPtr in = parse(request->json != nullptr ? request->json : "");
            const std::string reply =
                "{\"ReturnCode\": 0, \"Id\": \"" + member(in.get(), "Id") + "\", \"By\": \"" +
                self->name + "\", \"Bytes\": " + std::to_string(request->data_len) +
                ", \"Sum\": " + std::to_string(checksum(request->data, request->data_len)) + "}";
            pair->reply->json = strdup(reply.c_str());
        }
        self->active.fetch_sub(1);
    }

    std::vector<std::string> seen_requests() {
        std::lock_guard<std::mutex> lock(mu);
        return requests;
    }
};

// A connection record owning its strings, as a service program or the implementation holds it.
class Client {
  public:
    Client(const NatsServer& server, const char* user = "full")
        : config_(qz_connection_config_new()) {
        config_->server_url = strdup(server.url().c_str());
        config_->user = strdup(user);
        config_->password = strdup(user);
        EXPECT_EQ(qz_connection_init(config_), 0);
    }
    ~Client() {
        qz_connection_deinit(config_);
        for (char* text :
             {config_->server_url, config_->user, config_->password, config_->js_services}) {
            free(text);
        }
        free(config_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    qz_connection_config* get() const { return config_; }
    void route_through_work_queue(const std::string& subjects) {
        free(config_->js_services);
        config_->js_services = strdup(subjects.c_str());
    }
    bool connected() const {
        return config_->conn != nullptr &&
               natsConnection_Status(config_->conn) == NATS_CONN_STATUS_CONNECTED;
    }

  private:
    qz_connection_config* config_;
};

// A worker: its own connection, a stop flag and a recorder; stopped and joined at the end.
class Worker {
  public:
    explicit Worker(const NatsServer& server, const char* user = "full") : client_(server, user) {}
    ~Worker() { EXPECT_EQ(stop_and_join(), 0); }

    int serve(const std::string& subject, int threads) {
        return qz_nats_start_service_handler_threads(
            client_.get(), subject.c_str(), &Recorder::handle, &recorder, &stop_flag, threads);
    }
    int broadcast(const std::string& subject, int threads) {
        return qz_nats_start_broadcast_handler_threads(
            client_.get(), subject.c_str(), &Recorder::handle, &recorder, &stop_flag, threads);
    }
    int pull(const std::string& service, int pullers, QZ_SEM_HANDLE slots = nullptr) {
        return qz_nats_start_js_work_consumer(client_.get(), service.c_str(), &Recorder::handle,
                                              &recorder, &stop_flag, pullers, slots);
    }
    int stop_and_join(long timeout_ms = 3000) {
        if (joined_) return 0;
        set_flag(&stop_flag);
        const int rc = qz_nats_join_worker_threads(&stop_flag, timeout_ms);
        joined_ = rc == 0;
        return rc;
    }
    qz_connection_config* config() const { return client_.get(); }

    Recorder recorder;
    volatile int32_t stop_flag = 0;

  private:
    Client client_;
    bool joined_ = false;
};

// One broker for the tests that do not take it away.
class NatsWorker : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = new NatsServer(server_options());
        ConnectionPtr nc = raw_connect(*server_);
        JsCtxPtr js = jetstream(nc.get());
        create_buckets(js.get());
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        nc_ = raw_connect(*server_);
        js_ = jetstream(nc_.get());
    }
    // Connection callbacks trace on the client library's threads after a connection is closed;
    // the capture ends only once those threads have ended.
    void TearDown() override {
        js_.reset();
        nc_.reset();
        if (trace_) {
            EXPECT_EQ(nats_CloseAndWait(5000), NATS_OK);
        }
        trace_.reset();
    }
    TraceCapture& capture(int level) {
        trace_ = std::make_unique<TraceCapture>(level);
        return *trace_;
    }

    static NatsServer* server_;
    std::unique_ptr<TraceCapture> trace_;
    ConnectionPtr nc_;
    JsCtxPtr js_;
};
NatsServer* NatsWorker::server_ = nullptr;

// ---- Names, intervals, the in-flight table ------------------------------------------------

TEST(NatsWorkerNames, ServiceNamesGiveSubjectStreamAndDurable) {
    struct Case {
        std::string service;
        bool ok;
        const char* subject;
        const char* stream;
        const char* durable;
    };
    const Case cases[] = {
        {"scan.engine", true, "jobs.scan.engine", "JOBS_scan_engine", "WORK_scan_engine"},
        {"qz-av-clamav", true, "jobs.qz-av-clamav", "JOBS_qz-av-clamav", "WORK_qz-av-clamav"},
        {std::string(194, 'a'), true, nullptr, nullptr, nullptr},  // names of 199 characters
        {std::string(195, 'a'), false, nullptr, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        std::string subject, stream, durable;
        EXPECT_EQ(
            qz::nats::worker::work_queue_names(c.service.c_str(), &subject, &stream, &durable),
            c.ok)
            << c.service.size();
        if (c.subject == nullptr) continue;
        EXPECT_EQ(subject, c.subject);
        EXPECT_EQ(stream, c.stream);
        EXPECT_EQ(durable, c.durable);
    }
}

TEST(NatsWorkerNames, HeartbeatIsAThirdOfAckWaitWithinOneToFifteenSeconds) {
    constexpr int64_t kSecond = 1000LL * 1000 * 1000;
    const std::pair<int64_t, int> cases[] = {
        {30 * kSecond, 10000}, {2 * kSecond, 1000},   {120 * kSecond, 15000},
        {9 * kSecond, 3000},   {45 * kSecond, 15000}, {1, 1000},
    };
    for (const auto& [ack_wait, interval] : cases) {
        EXPECT_EQ(qz::nats::worker::heartbeat_interval_for_ack_wait(ack_wait), interval)
            << ack_wait;
    }
}

TEST(NatsWorkerInflight, TheJobBeyondTheTableRunsUnregisteredAfterOneWarning) {
    TraceCapture trace(QZ_LOG_WARN);
    ASSERT_EQ(nats_Open(-1), NATS_OK);  // messages made outside a connection need the library
    std::vector<MsgPtr> messages;
    for (int i = 0; i < QZ_NATS_JS_INFLIGHT_ENTRIES + 2; ++i) {
        natsMsg* msg = nullptr;
        ASSERT_EQ(natsMsg_Create(&msg, "jobs.x", nullptr, "{}", 2), NATS_OK);
        messages.emplace_back(msg);
    }
    std::vector<int> slots;
    for (int i = 0; i < QZ_NATS_JS_INFLIGHT_ENTRIES; ++i) {
        slots.push_back(qz::nats::worker::inflight_register(messages[i].get(), "jobs.x"));
        ASSERT_EQ(slots.back(), i);
    }
    EXPECT_EQ(qz::nats::worker::inflight_register(messages[1024].get(), "jobs.x"), -1);
    EXPECT_EQ(qz::nats::worker::inflight_register(messages[1025].get(), "jobs.x"), -1);
    EXPECT_EQ(count(trace.contents(),
                    "NATS: more than 1024 JS jobs in flight in this process \xE2\x80\x94 the "
                    "excess run without in-progress acks and may be redelivered if they outlast "
                    "AckWait"),
              1);
    EXPECT_EQ(qz::nats::worker::inflight_count(), QZ_NATS_JS_INFLIGHT_ENTRIES);

    // A freed entry is taken again, the first free one first.
    qz::nats::worker::inflight_release(slots[7]);
    qz::nats::worker::inflight_release(-1);
    EXPECT_EQ(qz::nats::worker::inflight_register(messages[1024].get(), "jobs.x"), 7);
    for (int slot : slots) qz::nats::worker::inflight_release(slot);
    EXPECT_EQ(qz::nats::worker::inflight_count(), 0);

    // Registration started the heartbeat thread; with no job and no puller left it ends.
    volatile int32_t no_threads = 0;
    EXPECT_EQ(qz_nats_join_worker_threads(&no_threads, 2000), 0);
    EXPECT_EQ(qz_nats_join_worker_threads(nullptr, 0), -1);
}

// ---- Request execution ----------------------------------------------------------------------

TEST_F(NatsWorker, ExecuteRestoresStagedPayloadsAndFailsClosedWithoutThem) {
    Client client(*server_);
    const std::string payload = pattern(QZ_NATS_KV_CHUNK_SIZE + 100, 3);
    char* key = nullptr;
    ASSERT_EQ(
        qz_nats_stage_scan_data(client.get(), payload.data(), payload.size(), 10000, &key, nullptr),
        0);
    const std::string staged = key;
    free(key);

    struct Case {
        std::string request;
        bool handler_runs;
        std::string handler_json;  // what the handler sees (when it runs)
        size_t bytes;
        std::string staged_key;
    };
    const std::string missing = "scan-gone-" + std::to_string(getpid());
    const Case cases[] = {
        // Without a key the text reaches the handler byte for byte.
        {"{ \"Id\" : \"a\",  \"Job\": 1 }", true, "{ \"Id\" : \"a\",  \"Job\": 1 }", 0, ""},
        {"not json at all", true, "not json at all", 0, ""},
        {"", true, "", 0, ""},
        {"{\"Id\": \"b\", \"_kv_key\": \"" + staged + "\"}", true, "{\"Id\":\"b\"}", payload.size(),
         staged},
        {"{\"Id\": \"c\", \"_kv_key\": \"" + missing + "\"}", false, "", 0, ""},
        {"{\"Id\": \"d\", \"_kv_key\": 42}", false, "", 0, ""},
        {"{\"Id\": \"e\", \"_kv_key\": \"\"}", false, "", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        TraceCapture trace(QZ_LOG_ERROR);
        Recorder recorder;
        char* reply = nullptr;
        ASSERT_EQ(qz_worker_scan_execute(client.get(), &Recorder::handle, &recorder,
                                         c.request.data(), c.request.size(), &reply),
                  0);
        ASSERT_NE(reply, nullptr);
        JsonPtr out = parse(reply);
        if (c.handler_runs) {
            ASSERT_EQ(recorder.calls.load(), 1);
            EXPECT_EQ(recorder.requests[0], c.handler_json);
            EXPECT_EQ(recorder.staged_keys[0], c.staged_key);
            EXPECT_EQ(recorder.payloads[0].size(), c.bytes);
            if (c.bytes > 0) {
                EXPECT_EQ(recorder.payloads[0], payload);
            }
            EXPECT_EQ(member(out.get(), "ReturnCode"), "0");
        } else {
            EXPECT_EQ(recorder.calls.load(), 0);
            EXPECT_EQ(member(out.get(), "ReturnCode"), "-1000");
            EXPECT_EQ(member(out.get(), "Error"), QZ_NATS_STAGED_PAYLOAD_MISSING_TEXT);
            EXPECT_TRUE(has_member(reply, "WorkerHostname"));
            EXPECT_TRUE(trace.contains("NATS: could not retrieve staged payload for key '"));
            EXPECT_TRUE(
                trace.contains("\xE2\x80\x94 failing the request closed (handler not "
                               "invoked)"));
        }
        free(reply);
    }

    // A handler that writes nothing leaves no reply; bad arguments are refused.
    Recorder silent;
    silent.write_reply = false;
    char* reply = strdup("stale");
    char* stale = reply;
    EXPECT_EQ(qz_worker_scan_execute(client.get(), &Recorder::handle, &silent, "{}", 2, &reply), 0);
    EXPECT_EQ(reply, nullptr);
    free(stale);
    TraceCapture trace(QZ_LOG_ERROR);
    EXPECT_EQ(qz_worker_scan_execute(client.get(), nullptr, nullptr, "{}", 2, &reply), -1);
    EXPECT_EQ(qz_worker_scan_execute(client.get(), &Recorder::handle, &silent, "{}", 2, nullptr),
              -1);
    EXPECT_EQ(qz_worker_scan_execute(client.get(), &Recorder::handle, &silent, nullptr, 5, &reply),
              -1);
    EXPECT_TRUE(trace.contains("NATS: invalid parameters for worker_scan_execute"));
    qz_nats_unstage_scan_data(client.get(), staged.c_str());
}

// ---- Handler pools ----------------------------------------------------------------------------

TEST_F(NatsWorker, StartCallsRefuseIncompleteArguments) {
    TraceCapture& trace = capture(QZ_LOG_ERROR);
    Client client(*server_);
    qz_connection_config unconnected{};
    volatile int32_t stop = 0;
    Recorder r;
    auto handler = &Recorder::handle;
    EXPECT_EQ(qz_nats_start_service_handler_threads(nullptr, "s", handler, &r, &stop, 1), -1);
    EXPECT_EQ(qz_nats_start_service_handler_threads(&unconnected, "s", handler, &r, &stop, 1), -1);
    EXPECT_EQ(qz_nats_start_service_handler_threads(client.get(), "", handler, &r, &stop, 1), -1);
    EXPECT_EQ(qz_nats_start_service_handler_threads(client.get(), nullptr, handler, &r, &stop, 1),
              -1);
    EXPECT_EQ(qz_nats_start_service_handler_threads(client.get(), "s", nullptr, &r, &stop, 1), -1);
    EXPECT_EQ(qz_nats_start_broadcast_handler_threads(client.get(), "s", handler, &r, nullptr, 1),
              -1);
    EXPECT_EQ(qz_nats_start_broadcast_handler_threads(client.get(), "s", handler, &r, &stop, 0),
              -1);
    EXPECT_EQ(count(trace.contents(), "NATS: invalid parameters for start_handler_threads"), 7);
    // A subject the broker refuses fails the start with its reason.
    EXPECT_EQ(
        qz_nats_start_service_handler_threads(client.get(), "bad subject", handler, &r, &stop, 1),
        -1);
    EXPECT_TRUE(trace.contains("NATS: failed to subscribe to 'bad subject': "));

    EXPECT_EQ(qz_nats_start_js_work_consumer(client.get(), "s", handler, &r, &stop, 0, nullptr),
              -1);
    EXPECT_EQ(qz_nats_start_js_work_consumer(client.get(), "", handler, &r, &stop, 1, nullptr), -1);
    jsCtx* js = client.get()->js;
    client.get()->js = nullptr;
    EXPECT_EQ(qz_nats_start_js_work_consumer(client.get(), "s", handler, &r, &stop, 1, nullptr),
              -1);
    client.get()->js = js;
    EXPECT_EQ(count(trace.contents(), "NATS: invalid parameters for start_js_work_consumer"), 3);
    EXPECT_EQ(qz_nats_start_js_work_consumer(client.get(), std::string(200, 's').c_str(), handler,
                                             &r, &stop, 1, nullptr),
              -1);
    EXPECT_TRUE(trace.contains("are too long"));
    EXPECT_EQ(qz_nats_join_worker_threads(&stop, 100), 0) << "nothing was started";
}

TEST_F(NatsWorker, AQueuePoolAnswersConcurrentRequestersEachOnce) {
    TraceCapture& trace = capture(QZ_LOG_INFO);
    Worker worker(*server_);
    worker.recorder.delay_ms = 20;
    ASSERT_EQ(worker.serve("qz-av-pool", 4), 0);
    // A second process' pool in the same queue group shares the load without doubling answers.
    Worker other(*server_);
    other.recorder.name = "other";
    ASSERT_EQ(other.serve("qz-av-pool", 1), 0);
    EXPECT_TRUE(trace.contains("NATS: starting 4 queue handler thread(s) for 'qz-av-pool'"));

    constexpr int kRequesters = 4;
    constexpr int kEach = 15;
    Client requester(*server_);
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kRequesters; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                const std::string id = std::to_string(t) + "-" + std::to_string(i);
                char errbuf[1024] = "";
                JsonPtr reply(qz_connection_send_recv_json(requester.get(), "qz-av-pool",
                                                           ("{\"Id\": \"" + id + "\"}").c_str(),
                                                           5000, 0, errbuf));
                if (reply && member(reply.get(), "Id") == id &&
                    member(reply.get(), "ReturnCode") == "0") {
                    good.fetch_add(1);
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good.load(), kRequesters * kEach);
    EXPECT_EQ(worker.recorder.calls.load() + other.recorder.calls.load(), kRequesters * kEach);
    EXPECT_GT(worker.recorder.max_active.load(), 1) << "the pool's threads serve in parallel";

    // The pools answer the worker ping on "<subject>.ping" while they run, not after the stop.
    EXPECT_EQ(qz_worker_ping(requester.get(), "qz-av-pool", 1, 1, 2000, 0), 0);
    EXPECT_EQ(worker.stop_and_join(), 0);
    EXPECT_EQ(other.stop_and_join(), 0);
    EXPECT_EQ(count(trace.contents(), "NATS: handler thread started"), 5);
    EXPECT_EQ(count(trace.contents(), "NATS: handler thread exiting"), 5);
    EXPECT_EQ(qz_worker_ping(requester.get(), "qz-av-pool", 1, 1, 300, 0), -1);
}

TEST_F(NatsWorker, BroadcastHandlersAllReceiveEveryMessage) {
    Worker first(*server_);
    Worker second(*server_);
    ASSERT_EQ(first.broadcast("qz-av-notice", 2), 0);
    ASSERT_EQ(second.broadcast("qz-av-notice", 1), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(natsConnection_PublishString(nc_.get(), "qz-av-notice", "{\"Id\": \"n\"}"),
                  NATS_OK);
    }
    EXPECT_TRUE(wait_until(
        [&] { return first.recorder.calls.load() == 3 && second.recorder.calls.load() == 3; },
        3000));
}

TEST_F(NatsWorker, StagedPayloadsReachTheHandlerOrAreAnsweredAsMissing) {
    Worker worker(*server_);
    ASSERT_EQ(worker.serve("qz-av-staged", 2), 0);
    Client requester(*server_);

    const std::string payload = pattern(2 * QZ_NATS_KV_CHUNK_SIZE + 17, 9);
    qz_request_reply* pair = qz_const_request_reply_new();
    std::string job = "{\"Id\": \"big\"}";
    pair->request->json = job.data();
    pair->request->data = reinterpret_cast<unsigned char*>(const_cast<char*>(payload.data()));
    pair->request->data_len = payload.size();
    char errbuf[1024] = "";
    JsonPtr reply(qz_connection_send_recv_json_data(requester.get(), "qz-av-staged", pair, 5000, 0,
                                                    0, errbuf));
    ASSERT_NE(reply, nullptr) << errbuf;
    EXPECT_EQ(member(reply.get(), "Bytes"), std::to_string(payload.size()));
    EXPECT_EQ(member(reply.get(), "Sum"),
              std::to_string(checksum(reinterpret_cast<const unsigned char*>(payload.data()),
                                      payload.size())));
    EXPECT_EQ(worker.recorder.seen_requests().at(0), "{\"Id\":\"big\"}");

    // A staged key whose payload has gone: the handler is not called, the requester gets -1000.
    pair->request->data = nullptr;
    pair->request->data_len = 0;
    pair->request->staged_key = "scan-expired-long-ago";
    TraceCapture& trace = capture(QZ_LOG_ERROR);
    EXPECT_EQ(
        qz_connection_simple_request(requester.get(), "qz-av-staged",
                                     "{\"_kv_key\": \"scan-expired-long-ago\"}", 5000, 0, errbuf),
        -1000);
    EXPECT_EQ(worker.recorder.calls.load(), 1);
    EXPECT_TRUE(trace.contains(
        "NATS: could not retrieve staged payload for key 'scan-expired-long-ago' \xE2\x80\x94 "
        "failing the request closed (handler not invoked)"));
    qz_const_request_reply_free_structs(pair);
}

// ---- Work queues ------------------------------------------------------------------------------

TEST_F(NatsWorker, WorkQueueJobsAreAnsweredCachedAndAcknowledged) {
    create_work_queue(js_.get(), "qz-av-wq");
    TraceCapture& trace = capture(QZ_LOG_TRACE);
    Worker worker(*server_);
    ASSERT_EQ(worker.pull("qz-av-wq", 1), 0);
    EXPECT_TRUE(trace.contains(
        "NATS: starting 1 JS work-queue puller(s) for 'jobs.qz-av-wq' (stream 'JOBS_qz-av-wq', "
        "durable 'WORK_qz-av-wq')"));

    // Through the requester's work-queue route, with a staged payload.
    Client requester(*server_);
    requester.route_through_work_queue("qz-av-wq");
    const std::string payload = pattern(1000, 4);
    qz_request_reply* pair = qz_const_request_reply_new();
    std::string job = "{\"Id\": \"wq-1\"}";
    pair->request->json = job.data();
    pair->request->data = reinterpret_cast<unsigned char*>(const_cast<char*>(payload.data()));
    pair->request->data_len = payload.size();
    char errbuf[1024] = "";
    JsonPtr reply(
        qz_connection_send_recv_json_data(requester.get(), "qz-av-wq", pair, 5000, 0, 0, errbuf));
    qz_const_request_reply_free_structs(pair);
    ASSERT_NE(reply, nullptr) << errbuf;
    EXPECT_EQ(member(reply.get(), "Id"), "wq-1");
    EXPECT_EQ(member(reply.get(), "Bytes"), "1000");
    const std::string seen = worker.recorder.seen_requests().at(0);
    JsonPtr seen_job = parse(seen);
    const std::string reqid = member(seen_job.get(), "_reqid");
    ASSERT_FALSE(reqid.empty());
    EXPECT_FALSE(member(seen_job.get(), "_reply_subj").empty());
    EXPECT_FALSE(has_member(seen, "_kv_key"));
    EXPECT_TRUE(trace.contains("NATS: JS job pulled on 'jobs.qz-av-wq' (reqid=" + reqid +
                               ", delivery #1)"));
    EXPECT_TRUE(
        trace.contains("NATS: JS in-progress heartbeat every 1000ms (durable "
                       "'WORK_qz-av-wq' AckWait=2000ms)"));

    // The verdict lies in the cache under the request id.
    char* cached = nullptr;
    ASSERT_EQ(
        qz_nats_kv_get(worker.config(), QZ_NATS_KV_DEDUP_BUCKET, reqid.c_str(), &cached, nullptr),
        0);
    JsonPtr cached_reply = parse(cached);
    free(cached);
    EXPECT_EQ(member(cached_reply.get(), "Id"), "wq-1");

    // A job without a reply subject runs, is cached and acknowledged; an empty one is dropped.
    publish_job(js_.get(), "qz-av-wq", "no-reply-1", "", "\"Id\": \"quiet\"");
    jsPubAck* ack = nullptr;
    ASSERT_EQ(js_Publish(&ack, js_.get(), "jobs.qz-av-wq", nullptr, 0, nullptr, nullptr), NATS_OK);
    jsPubAck_Destroy(ack);
    ASSERT_TRUE(wait_until([&] { return jobs_left(js_.get(), "qz-av-wq") == 0; }, 5000));
    EXPECT_EQ(worker.recorder.calls.load(), 2);
    EXPECT_TRUE(trace.contains(
        "NATS: JS job on 'jobs.qz-av-wq' carried no _reply_subj \xE2\x80\x94 verdict has nowhere "
        "to go"));
    EXPECT_EQ(
        qz_nats_kv_get(worker.config(), QZ_NATS_KV_DEDUP_BUCKET, "no-reply-1", &cached, nullptr),
        0);
    free(cached);

    // The work queue's pullers answer the service's ping too.
    EXPECT_EQ(qz_worker_ping(requester.get(), "qz-av-wq", 1, 1, 2000, 0), 0);
}

TEST_F(NatsWorker, ARedeliveredJobWithACachedVerdictIsServedFromTheCache) {
    create_work_queue(js_.get(), "qz-av-lossy");
    TraceCapture& trace = capture(QZ_LOG_INFO);
    Inbox inbox(nc_.get(), "test.reply.lossy");
    publish_job(js_.get(), "qz-av-lossy", "lossy-1", inbox.subject(), "\"Id\": \"l1\"");

    // The first worker answers and caches, but its acknowledgement never reaches the broker.
    auto first = std::make_unique<Worker>(*server_, "lossy");
    first->recorder.name = "first";
    ASSERT_EQ(first->pull("qz-av-lossy", 1), 0);
    ASSERT_EQ(inbox.collect(5000, 1).size(), 1u);
    EXPECT_EQ(first->stop_and_join(), 0);
    EXPECT_EQ(first->recorder.calls.load(), 1);
    first.reset();

    // After AckWait the job comes back to another worker, which answers from the cache.
    Worker second(*server_);
    second.recorder.name = "second";
    ASSERT_EQ(second.pull("qz-av-lossy", 1), 0);
    const std::vector<std::string> replies = inbox.collect(kAckWaitMs + 4000, 2);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1], replies[0]) << "the cached verdict, not a new scan";
    JsonPtr verdict = parse(replies[1]);
    EXPECT_EQ(member(verdict.get(), "By"), "first");
    EXPECT_EQ(second.recorder.calls.load(), 0);
    EXPECT_TRUE(
        trace.contains("NATS: JS work-queue REDELIVERY on 'jobs.qz-av-lossy' "
                       "(reqid=lossy-1, delivery #2) \xE2\x80\x94 a prior worker did not "
                       "ack in time (crash / slow scan / AckWait too short)"));
    EXPECT_TRUE(
        trace.contains("NATS: JS reqid=lossy-1 redelivery \xE2\x80\x94 re-served cached "
                       "verdict, scan/side-effects skipped"));
    EXPECT_TRUE(wait_until([&] { return jobs_left(js_.get(), "qz-av-lossy") == 0; }, 3000))
        << "the second worker's acknowledgement ends the job";
    EXPECT_EQ(inbox.collect(300).size(), 2u);
}

// The child side of the crash test: a worker process whose handler dies on its first job. It
// only runs when started by that test.
TEST(NatsWorkerChild, DISABLED_DiesInTheHandler) {
    const char* url = getenv("QZ_WORKER_CHILD_URL");
    const char* service = getenv("QZ_WORKER_CHILD_SERVICE");
    if (url == nullptr || service == nullptr) GTEST_SKIP() << "started by the crash test only";
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    qz_connection_config* config = qz_connection_config_new();
    config->server_url = strdup(url);
    config->user = strdup("full");
    config->password = strdup("full");
    ASSERT_EQ(qz_connection_init(config), 0);
    volatile int32_t stop = 0;
    auto die = [](void*, qz_request_reply*) { _exit(3); };
    ASSERT_EQ(qz_nats_start_js_work_consumer(config, service, die, nullptr, &stop, 1, nullptr), 0);
    std::this_thread::sleep_for(std::chrono::seconds(20));
    _exit(4);  // no job came
}

pid_t spawn_child_worker(const std::string& url, const std::string& service) {
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) env_text.emplace_back(*e);
    env_text.push_back("QZ_WORKER_CHILD_URL=" + url);
    env_text.push_back("QZ_WORKER_CHILD_SERVICE=" + service);
    std::vector<char*> envp;
    for (auto& text : env_text) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::string filter = "--gtest_filter=NatsWorkerChild.DISABLED_DiesInTheHandler";
    std::string disabled = "--gtest_also_run_disabled_tests";
    char* argv[] = {self.data(), filter.data(), disabled.data(), nullptr};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    return pid;
}

TEST_F(NatsWorker, AWorkerKilledMidJobLeavesTheJobToAnotherWorkerAnsweredOnce) {
    create_work_queue(js_.get(), "qz-av-crash");
    TraceCapture& trace = capture(QZ_LOG_WARN);
    Inbox inbox(nc_.get(), "test.reply.crash");
    publish_job(js_.get(), "qz-av-crash", "crash-1", inbox.subject(), "\"Id\": \"c1\"");

    const pid_t child = spawn_child_worker(server_->url(), "qz-av-crash");
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_TRUE(wait_until([&] { return waitpid(child, &status, WNOHANG) == child; }, 15000))
        << "the child worker did not take the job";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3) << "the child died inside its handler";
    EXPECT_EQ(jobs_left(js_.get(), "qz-av-crash"), 1) << "the job is not lost";

    Worker survivor(*server_);
    survivor.recorder.name = "survivor";
    ASSERT_EQ(survivor.pull("qz-av-crash", 2), 0);
    const std::vector<std::string> first = inbox.collect(kAckWaitMs + 5000, 1);
    ASSERT_EQ(first.size(), 1u);
    JsonPtr verdict = parse(first[0]);
    EXPECT_EQ(member(verdict.get(), "Id"), "c1");
    EXPECT_EQ(member(verdict.get(), "By"), "survivor");
    EXPECT_TRUE(wait_until([&] { return jobs_left(js_.get(), "qz-av-crash") == 0; }, 3000));
    EXPECT_EQ(inbox.collect(500).size(), 1u) << "answered exactly once";
    EXPECT_EQ(survivor.recorder.calls.load(), 1);
    EXPECT_TRUE(
        trace.contains("NATS: JS work-queue REDELIVERY on 'jobs.qz-av-crash' "
                       "(reqid=crash-1, delivery #2)"));
    char* cached = nullptr;
    ASSERT_EQ(
        qz_nats_kv_get(survivor.config(), QZ_NATS_KV_DEDUP_BUCKET, "crash-1", &cached, nullptr), 0);
    EXPECT_EQ(std::string(cached), first[0]);
    free(cached);
}

TEST_F(NatsWorker, InProgressHeartbeatsKeepAJobLongerThanAckWait) {
    create_work_queue(js_.get(), "qz-av-slow");
    TraceCapture& trace = capture(QZ_LOG_TRACE);
    Worker worker(*server_);
    worker.recorder.delay_ms = static_cast<int>(kAckWaitMs * 7 / 4);
    // Two pullers: a job given up by the broker would go to the idle one and run twice.
    ASSERT_EQ(worker.pull("qz-av-slow", 2), 0);
    Inbox inbox(nc_.get(), "test.reply.slow");
    publish_job(js_.get(), "qz-av-slow", "slow-1", inbox.subject(), "\"Id\": \"s1\"");
    ASSERT_EQ(inbox.collect(kAckWaitMs * 4, 1).size(), 1u);
    EXPECT_TRUE(wait_until([&] { return jobs_left(js_.get(), "qz-av-slow") == 0; }, 2000));
    EXPECT_EQ(inbox.collect(kAckWaitMs / 2).size(), 1u);
    EXPECT_EQ(worker.recorder.calls.load(), 1);
    EXPECT_FALSE(trace.contains("REDELIVERY"));
    EXPECT_TRUE(trace.contains("NATS: JS in-progress heartbeat: 1 sent, 0 failed"));
    EXPECT_EQ(qz::nats::worker::progress_interval_ms(), 1000);
}

TEST_F(NatsWorker, ASlotSemaphoreBoundsTheJobsInFlightAcrossPullers) {
    create_work_queue(js_.get(), "qz-av-slots");
    const std::string name = "/qz-worker-test-slots-" + std::to_string(getpid());
    QZ_SEM_HANDLE slots = QZsem_open(name.c_str(), O_CREAT, 0660, 1, 1);
    ASSERT_NE(slots, nullptr);
    {
        Worker worker(*server_);
        worker.recorder.delay_ms = 100;
        ASSERT_EQ(worker.pull("qz-av-slots", 3, slots), 0);
        Inbox inbox(nc_.get(), "test.reply.slots");
        for (int i = 0; i < 6; ++i) {
            publish_job(js_.get(), "qz-av-slots", "slots-" + std::to_string(i), inbox.subject());
        }
        EXPECT_EQ(inbox.collect(5000, 6).size(), 6u);
        EXPECT_EQ(worker.recorder.max_active.load(), 1);
    }
    // Every slot taken was given back.
    EXPECT_EQ(QZsem_timedwait(slots, -1), 0);
    EXPECT_EQ(QZsem_timedwait(slots, -1), -1);
    QZsem_close(slots);
    QZsem_remove(name.c_str());
}

TEST_F(NatsWorker, TheStopFlagEndsEveryThreadPromptly) {
    create_work_queue(js_.get(), "qz-av-stop");
    TraceCapture& trace = capture(QZ_LOG_INFO);
    Worker worker(*server_);
    ASSERT_EQ(worker.serve("qz-av-stop-core", 3), 0);
    ASSERT_EQ(worker.pull("qz-av-stop", 2), 0);
    // A puller that can never bind keeps retrying until the stop.
    ASSERT_EQ(worker.pull("qz-av-unprovisioned", 1), 0);
    Inbox inbox(nc_.get(), "test.reply.stop");
    publish_job(js_.get(), "qz-av-stop", "stop-1", inbox.subject());
    ASSERT_EQ(inbox.collect(3000, 1).size(), 1u);  // the heartbeat thread now runs as well
    ASSERT_TRUE(wait_until(
        [&] {
            return trace.contains(
                "NATS: JS pull-subscribe to 'JOBS_qz-av-unprovisioned'/"
                "'WORK_qz-av-unprovisioned' failed: ");
        },
        3000));

    const auto start = Clock::now();
    EXPECT_EQ(worker.stop_and_join(2000), 0);
    EXPECT_LT(elapsed_ms(start), 1000);
    const std::string lines = trace.contents();
    EXPECT_EQ(count(lines, "NATS: handler thread exiting"), 3);
    EXPECT_EQ(count(lines, "NATS: JS work-queue puller for 'jobs.qz-av-stop' exiting"), 2);
    EXPECT_EQ(count(lines,
                    "NATS: JS work-queue puller for 'jobs.qz-av-unprovisioned' exiting "
                    "before bind (shutdown)"),
              1);
    EXPECT_EQ(count(lines, "NATS: JS in-progress heartbeat thread exiting"), 1);
    EXPECT_EQ(qz_nats_join_worker_threads(&worker.stop_flag, 0), 0) << "nothing left to join";
}

TEST_F(NatsWorker, AJoinThatTimesOutLeavesTheBusyThreadJoinableLater) {
    Worker worker(*server_);
    worker.recorder.delay_ms = 800;
    ASSERT_EQ(worker.serve("qz-av-busy", 1), 0);
    ASSERT_EQ(natsConnection_PublishString(nc_.get(), "qz-av-busy", "{\"Id\": \"b\"}"), NATS_OK);
    ASSERT_TRUE(wait_until([&] { return worker.recorder.active.load() == 1; }, 3000));
    set_flag(&worker.stop_flag);
    EXPECT_EQ(qz_nats_join_worker_threads(&worker.stop_flag, 50), 1);
    EXPECT_EQ(worker.recorder.active.load(), 1) << "the handler was not interrupted";
    EXPECT_EQ(worker.stop_and_join(3000), 0);
    EXPECT_EQ(worker.recorder.calls.load(), 1);
}

// ---- Broker restart -----------------------------------------------------------------------------

TEST(NatsWorkerOutage, WorkersResumeServingAfterABrokerRestart) {
    NatsServer server(server_options());
    {
        ConnectionPtr nc = raw_connect(server);
        JsCtxPtr js = jetstream(nc.get());
        create_buckets(js.get());
        create_work_queue(js.get(), "qz-av-restart");
    }
    TraceCapture trace(QZ_LOG_WARN);
    {
        Worker worker(server);
        ASSERT_EQ(worker.serve("qz-av-restart-core", 2), 0);
        ASSERT_EQ(worker.pull("qz-av-restart", 1), 0);
        Client requester(server);
        requester.route_through_work_queue("qz-av-restart");

        auto core_ok = [&] {
            return qz_connection_simple_request(requester.get(), "qz-av-restart-core",
                                                "{\"Id\": \"r\"}", 1000, 0, nullptr) == 0;
        };
        auto queue_ok = [&] {
            qz_request_reply* pair = qz_const_request_reply_new();
            std::string job = "{\"Id\": \"q\"}";
            pair->request->json = job.data();
            JsonPtr reply(qz_connection_send_recv_json_data(requester.get(), "qz-av-restart", pair,
                                                            1000, 0, 0, nullptr));
            qz_const_request_reply_free_structs(pair);
            return reply && member(reply.get(), "Id") == "q";
        };
        EXPECT_TRUE(core_ok());
        EXPECT_TRUE(queue_ok());

        server.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        server.start();
        ASSERT_TRUE(wait_until(
            [&] {
                return requester.connected() &&
                       natsConnection_Status(worker.config()->conn) == NATS_CONN_STATUS_CONNECTED;
            },
            10000));
        EXPECT_TRUE(wait_until(core_ok, 8000));
        EXPECT_TRUE(wait_until(queue_ok, 8000));
        const int calls = worker.recorder.calls.load();
        EXPECT_TRUE(core_ok());
        EXPECT_TRUE(queue_ok());
        EXPECT_EQ(worker.recorder.calls.load(), calls + 2);
    }
    // No connection callback may trace into the capture once it is gone.
    EXPECT_EQ(nats_CloseAndWait(5000), NATS_OK);
}

}  // namespace
