// The event dispatcher against a real nats-server, with the event and log services played by raw
// cnats subscriptions: delivery of both kinds to their subjects, a broker outage (entries stay,
// the dispatcher backs off, every event arrives once the broker is back), refusals put back and
// retried, a stop in the middle of a batch, stale claims, garbage in the queue, and a dispatcher
// without a queue.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "connection/connection.h"
#include "connection/nats_handles.h"
#include "event/dispatcher.h"
#include "event/event_message.h"
#include "platform/uuid.h"
#include "pqueue/pqueue.h"
#include "support/nats_server.h"
#include "support/nats_test_helpers.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
using qz::nats::ConnectionPtr;
using qz::nats::JsonPtr;
using qz::nats::MsgPtr;
using qz::nats::OptionsPtr;
using qz::nats::SubscriptionPtr;
using qztest::count;
using qztest::elapsed_ms;
using qztest::NatsServer;
using qztest::TempDir;
using qztest::TraceCapture;
using qztest::wait_until;

constexpr const char* kEvents = "qz-av-events-dispatch";
constexpr const char* kLogs = "qz-av-log";

bool thread_named(const std::string& name) {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return false;
    bool found = false;
    while (dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.') continue;
        std::string comm =
            qztest::read_file(std::string("/proc/self/task/") + task->d_name + "/comm");
        while (!comm.empty() && comm.back() == '\n') comm.pop_back();
        found = found || comm == name;
    }
    closedir(tasks);
    return found;
}

std::string new_uuid() {
    qz_uuid_t uuid;
    qz_uuid_generate_time_safe(uuid);
    char text[37];
    qz_uuid_unparse_lower(uuid, text);
    return text;
}

std::string event_id_of(const std::string& json) {
    JsonPtr parsed(json_tokener_parse(json.c_str()));
    json_object* id = nullptr;
    if (!parsed || !json_object_object_get_ex(parsed.get(), "EventID", &id)) return "<none>";
    return json_object_get_string(id);
}

// The event and log services: answers every request on both subjects with the code the reply
// function chooses, and records what arrived on which subject.
class Sink {
  public:
    using ReplyFn = std::function<int(const std::string& subject, int request_number)>;

    Sink(const NatsServer& server, ReplyFn reply, int delay_ms = 0)
        : reply_(std::move(reply)), delay_ms_(delay_ms) {
        natsOptions* raw_opts = nullptr;
        EXPECT_EQ(NATS_OK, natsOptions_Create(&raw_opts));
        OptionsPtr opts(raw_opts);
        natsOptions_SetURL(opts.get(), server.url().c_str());
        natsOptions_SetMaxReconnect(opts.get(), -1);
        natsOptions_SetReconnectWait(opts.get(), 20);
        natsOptions_SetReconnectJitter(opts.get(), 0, 0);
        natsConnection* nc = nullptr;
        EXPECT_EQ(NATS_OK, natsConnection_Connect(&nc, opts.get()));
        nc_.reset(nc);
        for (const char* subject : {kEvents, kLogs}) {
            natsSubscription* sub = nullptr;
            EXPECT_EQ(NATS_OK,
                      natsConnection_Subscribe(&sub, nc_.get(), subject, &Sink::on_message, this));
            subs_.emplace_back(sub);
        }
        EXPECT_EQ(NATS_OK, natsConnection_FlushTimeout(nc_.get(), 2000));
    }
    explicit Sink(const NatsServer& server)
        : Sink(server, [](const std::string&, int) { return 0; }) {}
    ~Sink() {
        for (auto& sub : subs_) natsSubscription_Unsubscribe(sub.get());
        // A callback still sleeping on a slow answer must not wake up to a destroyed sink.
        while (in_flight_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        subs_.clear();
        nc_.reset();
    }

    int requests() const { return requests_.load(); }
    // Event ids acknowledged with ReturnCode 0 on the subject.
    std::multiset<std::string> accepted(const std::string& subject) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return subject == kEvents ? accepted_events_ : accepted_logs_;
    }
    std::set<std::string> accepted_ids() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::set<std::string> all(accepted_events_.begin(), accepted_events_.end());
        all.insert(accepted_logs_.begin(), accepted_logs_.end());
        return all;
    }

  private:
    static void on_message(natsConnection* nc, natsSubscription*, natsMsg* raw, void* closure) {
        MsgPtr msg(raw);
        auto* self = static_cast<Sink*>(closure);
        self->in_flight_.fetch_add(1);
        const std::string subject = natsMsg_GetSubject(msg.get());
        const std::string body(natsMsg_GetData(msg.get()),
                               static_cast<size_t>(natsMsg_GetDataLength(msg.get())));
        const int number = self->requests_.fetch_add(1) + 1;
        if (self->delay_ms_ > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(self->delay_ms_));
        }
        const int code = self->reply_(subject, number);
        if (code == 0) {
            std::lock_guard<std::mutex> lock(self->mutex_);
            (subject == kEvents ? self->accepted_events_ : self->accepted_logs_)
                .insert(event_id_of(body));
        }
        const std::string reply = "{\"ReturnCode\": " + std::to_string(code) + "}";
        natsConnection_Publish(nc, natsMsg_GetReply(msg.get()), reply.data(),
                               static_cast<int>(reply.size()));
        msg.reset();
        self->in_flight_.fetch_sub(1);  // the last touch of the sink
    }

    ReplyFn reply_;
    int delay_ms_;
    ConnectionPtr nc_;
    std::vector<SubscriptionPtr> subs_;
    std::atomic<int> requests_{0};
    std::atomic<int> in_flight_{0};
    mutable std::mutex mutex_;
    std::multiset<std::string> accepted_events_, accepted_logs_;
};

class EventDispatcher : public ::testing::Test {
  protected:
    void SetUp() override {
        config_ = qz_connection_config_new();
        ASSERT_NE(nullptr, config_);
        config_->server_url = strdup(server_.url().c_str());
        ASSERT_EQ(0, qz_connection_init(config_));
        queue_ = qz_pqueue_open(run_.path().c_str(), "VSA.pq", 10000, 50000000, O_CREAT, 1);
        ASSERT_NE(nullptr, queue_);
    }
    void TearDown() override {
        if (dispatcher_ != nullptr) {
            EXPECT_EQ(0, qz_log_stop_log_dispatcher(dispatcher_, 5000));
        }
        qz_pqueue_close(queue_);
        qz_connection_deinit(config_);
        free(config_->server_url);
        free(config_->user);
        free(config_->password);
        free(config_);
    }

    void start_dispatcher() {
        dispatcher_ = qz_log_create_log_dispatcher(run_.path().c_str(), config_);
        ASSERT_NE(nullptr, dispatcher_);
    }
    // Stops the dispatcher and says how long that took.
    long long stop_dispatcher() {
        const auto start = Clock::now();
        EXPECT_EQ(0, qz_log_stop_log_dispatcher(dispatcher_, 5000));
        dispatcher_ = nullptr;
        return elapsed_ms(start);
    }

    // Enqueues a message of the type with a known event id and returns the id.
    std::string enqueue(char type) {
        const std::string id = new_uuid();
        JsonPtr message(qz_log_create_message_with_eventID(id.c_str()));
        EXPECT_EQ(0, qz_log_add_log_section(message.get(), "StatusLog", "realm",
                                            json_object_new_object()));
        EXPECT_EQ(0, qz_log_enqueue(queue_, type, message.get()));
        return id;
    }
    std::set<std::string> enqueue_many(char type, int n) {
        std::set<std::string> ids;
        for (int i = 0; i < n; ++i) ids.insert(enqueue(type));
        return ids;
    }

    std::string data_dir() const { return run_.path() + "/VSA.pq/data"; }
    std::vector<std::string> data_files() const {
        std::vector<std::string> names;
        DIR* dir = opendir(data_dir().c_str());
        if (dir == nullptr) return names;
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
        }
        closedir(dir);
        return names;
    }
    int claimed_files() const {
        int n = 0;
        for (const auto& name : data_files()) n += name.rfind("claimed_", 0) == 0 ? 1 : 0;
        return n;
    }
    // Event ids of the entries still queued (claimed or not).
    std::set<std::string> queued_ids() const {
        std::set<std::string> ids;
        for (const auto& name : data_files()) {
            ids.insert(event_id_of(qztest::read_file(data_dir() + "/" + name)));
        }
        return ids;
    }

    TraceCapture trace_{6};
    NatsServer server_;
    TempDir run_;
    qz_connection_config* config_ = nullptr;
    qz_pqueue* queue_ = nullptr;
    logThreadParams* dispatcher_ = nullptr;
};

TEST_F(EventDispatcher, DeliversEventsAndLogsToTheirSubjects) {
    Sink sink(server_);
    const std::set<std::string> events = enqueue_many('E', 4);
    const std::set<std::string> logs = enqueue_many('L', 3);
    ASSERT_EQ(0, qz_log_send_event(queue_, QZ_EVENT_STARTED, "realm", "QZ1", nullptr, nullptr,
                                   nullptr, "VSA started", nullptr));
    start_dispatcher();
    ASSERT_TRUE(wait_until([&] { return sink.accepted_ids().size() == 8; }, 10000));
    ASSERT_TRUE(wait_until([&] { return data_files().empty(); }, 2000));

    const auto on_events = sink.accepted(kEvents);
    const auto on_logs = sink.accepted(kLogs);
    EXPECT_EQ(5u, on_events.size());
    EXPECT_EQ(logs, std::set<std::string>(on_logs.begin(), on_logs.end()));
    for (const auto& id : events) EXPECT_EQ(1u, on_events.count(id)) << id;
    EXPECT_EQ(8, sink.requests()) << "each entry sent once";

    EXPECT_TRUE(trace_.contains("log dequeue thread created"));
    EXPECT_TRUE(trace_.contains("Persistent log queue name: VSA.pq in directory " + run_.path()));
    EXPECT_TRUE(trace_.contains("log dequeue thread started"));
    EXPECT_TRUE(
        trace_.contains("De-queueing entry to broker 127.0.0.1:" + std::to_string(server_.port())));
    EXPECT_TRUE(thread_named("qz-dispatch"));
    EXPECT_TRUE(trace_.contains("SENT to service qz-av-events-dispatch"));
    EXPECT_TRUE(trace_.contains("SENT to service qz-av-log"));
    EXPECT_LT(stop_dispatcher(), 1000);
    EXPECT_TRUE(trace_.contains("Log dequeue thread ending"));
}

TEST_F(EventDispatcher, BrokerOutageKeepsEntriesBacksOffAndDeliversEverythingAfterwards) {
    Sink sink(server_);
    server_.stop();
    ASSERT_TRUE(wait_until(
        [&] { return natsConnection_Status(config_->conn) != NATS_CONN_STATUS_CONNECTED; }, 3000));
    std::set<std::string> ids = enqueue_many('E', 8);
    const std::set<std::string> logs = enqueue_many('L', 4);
    ids.insert(logs.begin(), logs.end());

    start_dispatcher();
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    EXPECT_EQ(ids, queued_ids()) << "nothing leaves the disk while the broker is down";
    // Waits of 250, 500, 750 ms after the failures: four offers in 1.6 s, not hundreds.
    const int failures = count(trace_.contents(), "; restoring for retry");
    EXPECT_GE(failures, 2);
    EXPECT_LE(failures, 6);

    // A stop during the outage is prompt and leaves every entry queued, none claimed.
    EXPECT_LT(stop_dispatcher(), 1000);
    EXPECT_EQ(ids, queued_ids());
    EXPECT_EQ(0, claimed_files());

    start_dispatcher();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    server_.start();
    ASSERT_TRUE(wait_until([&] { return sink.accepted_ids() == ids; }, 20000))
        << "arrived " << sink.accepted_ids().size() << " of " << ids.size();
    ASSERT_TRUE(wait_until([&] { return data_files().empty(); }, 2000));
    EXPECT_EQ(8u, sink.accepted(kEvents).size());
    EXPECT_EQ(4u, sink.accepted(kLogs).size());
}

TEST_F(EventDispatcher, RefusedEntriesArePutBackAndRetriedUntilAccepted) {
    // The first four requests are refused with a failure code.
    Sink sink(server_, [](const std::string&, int number) { return number <= 4 ? 1 : 0; });
    const std::set<std::string> ids = enqueue_many('E', 3);
    start_dispatcher();
    ASSERT_TRUE(wait_until([&] { return sink.accepted_ids() == ids; }, 15000));
    ASSERT_TRUE(wait_until([&] { return data_files().empty(); }, 2000));
    EXPECT_EQ(7, sink.requests());
    EXPECT_EQ(4, count(trace_.contents(), "; restoring for retry"));
    for (const auto& id : ids) EXPECT_EQ(1u, sink.accepted(kEvents).count(id));
}

TEST_F(EventDispatcher, StopInTheMiddleOfABatchPutsTheRestBack) {
    auto sink = std::make_unique<Sink>(
        server_, [](const std::string&, int) { return 0; }, 20);
    const std::set<std::string> ids = enqueue_many('L', 60);
    start_dispatcher();
    ASSERT_TRUE(wait_until([&] { return sink->requests() >= 5; }, 10000));
    EXPECT_LT(stop_dispatcher(), 1000);

    // Every entry was either accepted or is queued again under its own name, never both.
    EXPECT_EQ(0, claimed_files());
    const std::set<std::string> sent = sink->accepted_ids();
    const std::set<std::string> left = queued_ids();
    EXPECT_GE(sent.size(), 5u);
    EXPECT_FALSE(left.empty());
    std::set<std::string> both = sent;
    both.insert(left.begin(), left.end());
    EXPECT_EQ(ids, both);
    EXPECT_EQ(sent.size() + left.size(), ids.size());

    // The next dispatcher sends the rest.
    start_dispatcher();
    ASSERT_TRUE(wait_until([&] { return sink->accepted_ids() == ids; }, 15000));
    EXPECT_EQ(60u, sink->accepted(kLogs).size()) << "no entry sent twice";
}

TEST_F(EventDispatcher, StopWaitsOutOnlyTheRequestInFlight) {
    // A service that takes the request and never answers: the request runs into its time-out.
    Sink sink(
        server_, [](const std::string&, int) { return 0; }, 3300);
    const std::string id = enqueue('E');
    start_dispatcher();
    ASSERT_TRUE(wait_until([&] { return sink.requests() == 1; }, 5000));
    const auto start = Clock::now();
    EXPECT_EQ(1, qz_log_stop_log_dispatcher(dispatcher_, 200)) << "still in its request";
    EXPECT_EQ(0, qz_log_stop_log_dispatcher(dispatcher_, 5000));
    dispatcher_ = nullptr;
    EXPECT_LT(elapsed_ms(start), 4000) << "one request time-out, not four";
    EXPECT_EQ(1, sink.requests());
    EXPECT_EQ(std::set<std::string>{id}, queued_ids());
    EXPECT_EQ(0, claimed_files());
}

TEST_F(EventDispatcher, TwoDispatchersOnOneQueueSendEachEntryOnce) {
    Sink sink(server_);
    const std::set<std::string> ids = enqueue_many('E', 150);
    start_dispatcher();
    logThreadParams* second = qz_log_create_log_dispatcher(run_.path().c_str(), config_);
    ASSERT_NE(nullptr, second);
    const bool all = wait_until([&] { return sink.accepted_ids() == ids; }, 20000);
    EXPECT_EQ(0, qz_log_stop_log_dispatcher(second, 5000));
    ASSERT_TRUE(all);
    EXPECT_EQ(150, sink.requests());
    EXPECT_EQ(150u, sink.accepted(kEvents).size());
}

TEST_F(EventDispatcher, StaleClaimIsPutBackAndSentAtStart) {
    Sink sink(server_);
    const std::string id = enqueue('E');
    // A claim of this (live) process left behind two hours ago.
    const std::string name = data_files().at(0);
    const std::string claimed = data_dir() + "/claimed_" + std::to_string(getpid()) + "_" + name;
    ASSERT_EQ(0, rename((data_dir() + "/" + name).c_str(), claimed.c_str()));
    struct timeval old_times[2];
    gettimeofday(&old_times[0], nullptr);
    old_times[0].tv_sec -= 7200;
    old_times[1] = old_times[0];
    ASSERT_EQ(0, utimes(claimed.c_str(), old_times));
    // A fresh claim of another live process (our parent) is neither stale nor orphaned.
    const std::string fresh_id = enqueue('E');
    std::string fresh_name;
    for (const auto& n : data_files()) {
        if (n.rfind("claimed_", 0) != 0) fresh_name = n;
    }
    ASSERT_EQ(
        0,
        rename((data_dir() + "/" + fresh_name).c_str(),
               (data_dir() + "/claimed_" + std::to_string(getppid()) + "_" + fresh_name).c_str()));

    start_dispatcher();
    ASSERT_TRUE(wait_until([&] { return sink.accepted(kEvents).count(id) == 1; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(0u, sink.accepted(kEvents).count(fresh_id));
    EXPECT_EQ(1, claimed_files());
}

TEST_F(EventDispatcher, GarbageInTheQueueIsDroppedOrIgnoredWithoutHoldingUpDelivery) {
    Sink sink(server_);
    const std::string dir = data_dir();
    struct Garbage {
        std::string name;
        std::string content;
        bool dropped;  // removed with a WARN line; else left alone
    };
    const std::vector<Garbage> garbage = {
        {"E" + new_uuid() + ".dat", "", true},
        {"L" + new_uuid() + ".dat", std::string("not json \xff\x00 at all", 19), true},
        {"E" + new_uuid() + ".dat", "[1,2,3]", true},
        {"E" + new_uuid() + ".dat", "{\"EventID\":\"x\"} trailing", true},
        {"E" + new_uuid() + ".dat", "{\"EventID\":\"x\"", true},
        {"X" + new_uuid() + ".dat", "{\"EventID\":\"x\"}", false},
        {"junk.dat", "{\"EventID\":\"x\"}", false},
        {"temp_E" + new_uuid() + ".dat", "{\"EventID\":\"x\"}", false},
        {"E" + new_uuid() + ".txt", "{\"EventID\":\"x\"}", false},
    };
    for (const auto& g : garbage) qztest::write_file(dir + "/" + g.name, g.content);
    const std::string directory_entry = "L" + new_uuid() + ".dat";
    ASSERT_EQ(0, mkdir((dir + "/" + directory_entry).c_str(), 0700));
    const std::string first = enqueue('E');

    start_dispatcher();
    ASSERT_TRUE(wait_until([&] { return sink.accepted(kEvents).count(first) == 1; }, 10000));
    const std::string second = enqueue('L');
    ASSERT_TRUE(wait_until([&] { return sink.accepted(kLogs).count(second) == 1; }, 5000));
    EXPECT_EQ(2, sink.requests()) << "garbage is never sent";

    for (const auto& g : garbage) {
        const bool present = access((dir + "/" + g.name).c_str(), F_OK) == 0;
        EXPECT_EQ(!g.dropped, present) << g.name;
    }
    EXPECT_EQ(0, access((dir + "/" + directory_entry).c_str(), F_OK));
    EXPECT_TRUE(trace_.contains("Dropping unreadable/empty entry " + garbage[0].name));
    EXPECT_TRUE(trace_.contains("Dropping entry " + garbage[1].name + ": not a JSON object"));
    EXPECT_LT(stop_dispatcher(), 1000);
}

TEST_F(EventDispatcher, WithoutAQueueTheThreadEndsAtOnce) {
    const std::string file = run_.file("plain-file");
    qztest::write_file(file, "x");
    dispatcher_ = qz_log_create_log_dispatcher((file + "/run").c_str(), config_);
    ASSERT_NE(nullptr, dispatcher_);
    EXPECT_EQ(nullptr, dispatcher_->pq);
    EXPECT_TRUE(wait_until([&] { return trace_.contains("Invalid parameters"); }, 2000));
    EXPECT_TRUE(trace_.contains("Failed to allocate persistent queue"));
    EXPECT_LT(stop_dispatcher(), 1000);
}

}  // namespace
