// The whole event pipeline with the real sink service at its end: queue → dispatcher → broker →
// qz-av-eventsink → output file. Message layouts as recorded (the event section decrypted with
// the shared key), host processes killed in the middle of dispatching or pushing and dispatching
// at once on one queue, and the sink's answers to input it cannot accept.
#include "support/event_sink.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>
#include <sodium.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "connection/connection.h"
#include "connection/nats_handles.h"
#include "crypto/secretbox.h"
#include "event/dispatcher.h"
#include "event/event_message.h"
#include "log/log.h"
#include "platform/uuid.h"
#include "pqueue/pqueue.h"
#include "support/nats_server.h"
#include "support/nats_test_helpers.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

extern char** environ;

namespace {

using qz::nats::JsonPtr;
using qztest::EventSink;
using qztest::NatsServer;
using qztest::TempDir;
using qztest::TraceCapture;
using qztest::wait_until;

constexpr const char* kEvents = "qz-av-events-dispatch";
constexpr const char* kLogs = "qz-av-log";
constexpr const char* kKeyText = "the hosts' shared event key text";
constexpr const char* kQueueName = "VSA.pq";

struct KeyFree {
    void operator()(qz_secretbox_key* key) const { qz_secretbox_free_key(key); }
};
using KeyPtr = std::unique_ptr<qz_secretbox_key, KeyFree>;

int64_t now_ms() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string new_uuid() {
    qz_uuid_t uuid;
    qz_uuid_generate_time_safe(uuid);
    char text[37];
    qz_uuid_unparse_lower(uuid, text);
    return text;
}

json_object* get(json_object* object, const char* name) {
    json_object* value = nullptr;
    if (object == nullptr || !json_object_object_get_ex(object, name, &value)) return nullptr;
    return value;
}

std::string text_of(json_object* object, const char* name) {
    json_object* value = get(object, name);
    return value != nullptr && json_object_is_type(value, json_type_string)
               ? json_object_get_string(value)
               : "<missing>";
}

int64_t int_of(json_object* object, const char* name) {
    json_object* value = get(object, name);
    return value != nullptr && json_object_is_type(value, json_type_int)
               ? json_object_get_int64(value)
               : -999999;
}

std::vector<std::string> keys_of(json_object* object) {
    std::vector<std::string> keys;
    if (object == nullptr || !json_object_is_type(object, json_type_object)) return keys;
    json_object_object_foreach(object, key, value) {
        (void)value;
        keys.emplace_back(key);
    }
    return keys;
}

std::string compact(json_object* object) {
    return json_object_to_json_string_ext(object,
                                          JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

std::vector<std::string> names_in(const std::string& dir, const std::string& prefix = "") {
    std::vector<std::string> names;
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) return names;
    while (dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    closedir(listing);
    return names;
}

// Queued entries proper: {E|L}{uuid}.dat.
std::vector<std::string> queued_entries(const std::string& dir) {
    std::vector<std::string> entries;
    for (const std::string& name : names_in(dir)) {
        if (name[0] == 'E' || name[0] == 'L') entries.push_back(name);
    }
    return entries;
}

std::set<std::string> lines_of(const std::string& path) {
    std::set<std::string> lines;
    const std::string text = qztest::read_file(path);
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.insert(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A worker-side connection of the test process.
class Client {
  public:
    explicit Client(const std::string& url) : config_(qz_connection_config_new()) {
        config_->server_url = strdup(url.c_str());
        EXPECT_EQ(0, qz_connection_init(config_));
    }
    ~Client() {
        qz_connection_deinit(config_);
        qz_connection_config_free(config_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    qz_connection_config* get() const { return config_; }

  private:
    qz_connection_config* config_;
};

// ---------------------------------------------------------------------------------------------
// The producer: a host process that opens the queue in a run directory, pushes messages with
// fresh event ids (each id is written to an acknowledgement file once its push has returned) and
// runs the dispatcher. It only runs when one of the tests below starts it.

struct ProducerPlan {
    std::string url, run_dir, ack_file, stop_file;
    int before_dispatcher = 0;  // pushed before the dispatcher starts
    int total = 0;              // pushed in all; then it waits for the stop file
};

TEST(EventSinkProducer, DISABLED_PushesAndDispatches) {
    const char* url = getenv("QZ_SINK_PRODUCER_URL");
    const char* run_dir = getenv("QZ_SINK_PRODUCER_RUN");
    const char* ack_file = getenv("QZ_SINK_PRODUCER_ACKS");
    const char* stop_file = getenv("QZ_SINK_PRODUCER_STOP");
    const char* before_text = getenv("QZ_SINK_PRODUCER_BEFORE");
    const char* total_text = getenv("QZ_SINK_PRODUCER_TOTAL");
    if (url == nullptr || run_dir == nullptr || ack_file == nullptr || stop_file == nullptr ||
        before_text == nullptr || total_text == nullptr) {
        GTEST_SKIP() << "started by the multi-process tests only";
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    log_set_quiet(1);
    const int before = atoi(before_text), total = atoi(total_text);
    qz_connection_config* config = qz_connection_config_new();
    config->server_url = strdup(url);
    if (qz_connection_init(config) != 0) _exit(10);
    qz_pqueue* queue = qz_pqueue_open(run_dir, kQueueName, 10000, 50000000, O_CREAT, 1);
    const int ack_fd = open(ack_file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (queue == nullptr || ack_fd < 0) _exit(11);
    const std::string tenant = "producer-" + std::to_string(getpid());

    auto push = [&](int seq) {
        const std::string id = new_uuid();
        JsonPtr message(qz_log_create_message_with_eventID(id.c_str()));
        json_object* data = json_object_new_object();
        json_object_object_add(data, "Seq", json_object_new_int(seq));
        if (!message ||
            json_object_object_add(message.get(), "Tenant",
                                   json_object_new_string(tenant.c_str())) != 0 ||
            qz_log_add_log_section(message.get(), "StatusLog", "realm", data) != 0 ||
            qz_log_enqueue(queue, seq % 3 == 0 ? 'L' : 'E', message.get()) != 0) {
            _exit(12);
        }
        const std::string line = id + "\n";
        if (write(ack_fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(13);
    };
    for (int seq = 0; seq < before; ++seq) push(seq);
    logThreadParams* dispatcher = qz_log_create_log_dispatcher(run_dir, config);
    if (dispatcher == nullptr) _exit(14);
    for (int seq = before; seq < total; ++seq) push(seq);
    if (!wait_until([&] { return access(stop_file, F_OK) == 0; }, 30000)) _exit(15);
    if (qz_log_stop_log_dispatcher(dispatcher, 5000) != 0) _exit(16);
    qz_pqueue_close(queue);
    qz_connection_deinit(config);
    qz_connection_config_free(config);
    _exit(0);
}

pid_t spawn_producer(const ProducerPlan& plan) {
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) env_text.emplace_back(*e);
    env_text.push_back("QZ_SINK_PRODUCER_URL=" + plan.url);
    env_text.push_back("QZ_SINK_PRODUCER_RUN=" + plan.run_dir);
    env_text.push_back("QZ_SINK_PRODUCER_ACKS=" + plan.ack_file);
    env_text.push_back("QZ_SINK_PRODUCER_STOP=" + plan.stop_file);
    env_text.push_back("QZ_SINK_PRODUCER_BEFORE=" + std::to_string(plan.before_dispatcher));
    env_text.push_back("QZ_SINK_PRODUCER_TOTAL=" + std::to_string(plan.total));
    std::vector<char*> envp;
    for (auto& text : env_text) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::string filter = "--gtest_filter=EventSinkProducer.DISABLED_PushesAndDispatches";
    std::string disabled = "--gtest_also_run_disabled_tests";
    char* argv[] = {self.data(), filter.data(), disabled.data(), nullptr};
    pid_t pid = -1;
    EXPECT_EQ(0, posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()));
    return pid;
}

// The exit status of a child within limit_ms, or -1.
int exit_status_within(pid_t child, int limit_ms) {
    int status = -1;
    if (!wait_until([&] { return waitpid(child, &status, WNOHANG) == child; }, limit_ms)) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        return -1;
    }
    return status;
}

// ---------------------------------------------------------------------------------------------

class EventSinkPipeline : public ::testing::Test {
  protected:
    std::string data_dir() const { return run_.path() + "/" + kQueueName + "/data"; }

    qz_pqueue* open_queue() {
        qz_pqueue* queue =
            qz_pqueue_open(run_.path().c_str(), kQueueName, 10000, 50000000, O_CREAT, 1);
        EXPECT_NE(nullptr, queue);
        return queue;
    }

    // The compact text of an encrypted event as the adapter queues it.
    std::string encrypted_event_text(qz_secretbox_key* key) {
        TempDir scratch;
        qz_pqueue* queue =
            qz_pqueue_open(scratch.path().c_str(), kQueueName, 10, 100000, O_CREAT, 1);
        EXPECT_EQ(0, qz_log_send_event(queue, QZ_EVENT_SCAN_NOT_COMPLETED, "realm-1", "QZ1",
                                       "/usr/sap/QZ1/in/a.bin", "Scan engine timed out", nullptr,
                                       nullptr, key));
        qz_pqueue_close(queue);
        const std::string dir = scratch.path() + "/" + kQueueName + "/data";
        const std::vector<std::string> entries = queued_entries(dir);
        EXPECT_EQ(1u, entries.size());
        return entries.empty() ? "" : qztest::read_file(dir + "/" + entries[0]);
    }

    TraceCapture trace_{6};
    NatsServer server_;
    TempDir run_;
};

TEST_F(EventSinkPipeline, EventsAndLogsArriveWithTheirLayoutsAndTheEventSectionDecrypted) {
    EventSink sink(server_.url(), kKeyText);
    KeyPtr key(qz_secretbox_generate_key(kKeyText));
    ASSERT_TRUE(key);
    qz_pqueue* queue = open_queue();
    ASSERT_NE(nullptr, queue);
    const int64_t before = now_ms();

    ASSERT_EQ(0, qz_log_send_event(
                     queue, QZ_EVENT_BLOCKED, "realm-1", "QZ1", "/usr/sap/QZ1/in/report.pdf",
                     nullptr, "MALWARE DETECTED: EICAR-Test-File", "Upload blocked", key.get()));
    ASSERT_EQ(0, qz_log_send_event(queue, QZ_EVENT_STARTED, "realm-1", "QZ1", nullptr, nullptr,
                                   nullptr, "VSA started in work/server process PID 42.", nullptr));
    JsonPtr epo(qz_log_create_message());
    json_object_object_add(epo.get(), "Tenant", json_object_new_string("tenant-a"));
    json_object_object_add(epo.get(), "RealmName", json_object_new_string("Realm A"));
    ASSERT_EQ(
        0, qz_log_add_log_section(epo.get(), "EPOLog", "realm-1",
                                  qz_log_create_epolog_json(202950, "", "", "ops.service.start", "",
                                                            "", "4.1.0", "DAT-1234")));
    ASSERT_EQ(0, qz_log_enqueue(queue, 'L', epo.get()));
    JsonPtr scan(qz_log_create_message());
    ASSERT_EQ(0, qz_log_add_scanlog_section(
                     scan.get(), "/usr/sap/QZ1/scan/2026-08-09.log", "realm-1",
                     json_tokener_parse(R"({"Result":"CLEAN","Object":"report.pdf"})")));
    ASSERT_EQ(0, qz_log_enqueue(queue, 'L', scan.get()));

    // What left the host, by event id, to compare with what the sink recorded.
    std::map<std::string, JsonPtr> sent;
    for (const std::string& name : queued_entries(data_dir())) {
        JsonPtr message = qztest::parse(qztest::read_file(data_dir() + "/" + name));
        ASSERT_TRUE(message) << name;
        sent[text_of(message.get(), "EventID")] = std::move(message);
    }
    ASSERT_EQ(4u, sent.size());

    Client client(server_.url());
    logThreadParams* dispatcher = qz_log_create_log_dispatcher(run_.path().c_str(), client.get());
    ASSERT_NE(nullptr, dispatcher);
    const bool arrived = sink.wait_for(4, 10000);
    const int64_t after = now_ms();
    EXPECT_EQ(0, qz_log_stop_log_dispatcher(dispatcher, 5000));
    qz_pqueue_close(queue);
    ASSERT_TRUE(arrived);
    EXPECT_TRUE(queued_entries(data_dir()).empty()) << "every accepted entry leaves the queue";

    std::map<std::string, int> per_subject;
    int checked = 0;
    for (const JsonPtr& line : sink.lines()) {
        ASSERT_TRUE(line);
        EXPECT_EQ((std::vector<std::string>{"subject", "received", "message"}),
                  keys_of(line.get()));
        const std::string subject = text_of(line.get(), "subject");
        ++per_subject[subject];
        EXPECT_GE(int_of(line.get(), "received"), before);
        EXPECT_LE(int_of(line.get(), "received"), after);
        json_object* message = get(line.get(), "message");
        const std::vector<std::string> keys = keys_of(message);
        ASSERT_GE(keys.size(), 6u);
        EXPECT_EQ((std::vector<std::string>{"LogVersion", "Timestamp", "Timestamp_epoch",
                                            "Component", "Hostname", "EventID"}),
                  std::vector<std::string>(keys.begin(), keys.begin() + 6));
        EXPECT_EQ(1, int_of(message, "LogVersion"));
        EXPECT_EQ(19u, text_of(message, "Timestamp").size());
        EXPECT_GE(int_of(message, "Timestamp_epoch"), before / 1000);
        EXPECT_LE(int_of(message, "Timestamp_epoch"), after / 1000);
        EXPECT_EQ("VSA", text_of(message, "Component"));
        EXPECT_NE("<missing>", text_of(message, "Hostname"));

        const std::string id = text_of(message, "EventID");
        ASSERT_EQ(1u, sent.count(id)) << id;
        json_object* original = sent[id].get();
        json_object* event = get(message, "Event");
        if (get(original, "Nonce") != nullptr) {
            // The encrypted event: recorded as sent except for the section, now in the clear.
            ++checked;
            EXPECT_EQ(kEvents, subject);
            EXPECT_EQ(QZ_EVENT_COMMAND, int_of(message, "Command"));
            EXPECT_EQ("realm-1", text_of(message, "realmID"));
            EXPECT_EQ("QZ1", text_of(message, "SID"));
            const std::string nonce = text_of(message, "Nonce");
            EXPECT_EQ(48u, nonce.size());
            EXPECT_EQ(std::string::npos, nonce.find_first_not_of("0123456789abcdef"));
            ASSERT_TRUE(json_object_is_type(event, json_type_object)) << compact(message);
            EXPECT_EQ(
                (std::vector<std::string>{"Type", "Filename", "Blocking-Reason", "Event-Message"}),
                keys_of(event));
            EXPECT_EQ(QZ_EVENT_BLOCKED, int_of(event, "Type"));
            EXPECT_EQ("/usr/sap/QZ1/in/report.pdf", text_of(event, "Filename"));
            EXPECT_EQ("MALWARE DETECTED: EICAR-Test-File", text_of(event, "Blocking-Reason"));
            EXPECT_EQ("Upload blocked", text_of(event, "Event-Message"));
            JsonPtr expected = qztest::parse(compact(original));
            json_object_object_add(expected.get(), "Event", json_object_get(event));
            EXPECT_EQ(compact(expected.get()), compact(message));
            continue;
        }
        // Everything else verbatim, member order included.
        EXPECT_EQ(compact(original), compact(message));
        if (event != nullptr) {
            ++checked;
            EXPECT_EQ(kEvents, subject);
            EXPECT_EQ(
                R"({"Type":1010,"Event-Message":"VSA started in work/server process PID 42."})",
                compact(event));
        } else if (json_object* section = get(message, "EPOLog")) {
            ++checked;
            EXPECT_EQ(kLogs, subject);
            EXPECT_EQ("tenant-a", text_of(message, "Tenant"));
            EXPECT_EQ("Realm A", text_of(message, "RealmName"));
            EXPECT_EQ("realm-1", text_of(message, "realmID"));
            json_object* data = get(section, "LogData");
            EXPECT_EQ("EPOLog", text_of(data, "LogType"));
            EXPECT_EQ(202950, int_of(data, "EventID"));
            EXPECT_EQ("ops.service.start", text_of(data, "Threat-Category"));
            EXPECT_EQ("DAT-1234", text_of(data, "DAT-Version"));
        } else if (json_object* section = get(message, "ScanLog")) {
            ++checked;
            EXPECT_EQ(kLogs, subject);
            EXPECT_EQ((std::vector<std::string>{"ScanLogPath", "LogData"}), keys_of(section));
            EXPECT_EQ("/usr/sap/QZ1/scan/2026-08-09.log", text_of(section, "ScanLogPath"));
            EXPECT_EQ(R"({"Result":"CLEAN","Object":"report.pdf"})",
                      compact(get(section, "LogData")));
        }
    }
    EXPECT_EQ(4, checked);
    EXPECT_EQ(2, per_subject[kEvents]);
    EXPECT_EQ(2, per_subject[kLogs]);
    EXPECT_EQ(0, sink.process().stop()) << "a clean exit";
}

TEST_F(EventSinkPipeline, EventSectionsTheSinkCannotOpenAreRecordedAsReceivedAndAccepted) {
    KeyPtr key(qz_secretbox_generate_key(kKeyText));
    ASSERT_TRUE(key);
    const std::string genuine = encrypted_event_text(key.get());
    ASSERT_FALSE(genuine.empty());
    struct Case {
        const char* name;
        const char* sink_key;
        std::function<void(json_object*)> alter;
        const char* error;  // nullptr: recorded without an "error" member
    };
    auto set_string = [](const char* member, std::string value) {
        return [member, value](json_object* message) {
            json_object_object_add(message, member, json_object_new_string(value.c_str()));
        };
    };
    std::string altered_cipher = text_of(qztest::parse(genuine).get(), "Event");
    altered_cipher[10] = altered_cipher[10] == 'A' ? 'B' : 'A';
    const Case cases[] = {
        {"sink without a key", "", nullptr, nullptr},
        {"sink with another key", "a different key text", nullptr, "does not decrypt"},
        {"altered ciphertext", kKeyText, set_string("Event", altered_cipher), "does not decrypt"},
        {"nonce of another message", kKeyText, set_string("Nonce", std::string(48, '0')),
         "does not decrypt"},
        {"no nonce", kKeyText, [](json_object* m) { json_object_object_del(m, "Nonce"); },
         "no \"Nonce\""},
        {"event not Base64", kKeyText, set_string("Event", "%%% not base64 %%%"), "not Base64"},
        {"event too short", kKeyText, set_string("Event", "AAAA"), "too short"},
    };
    Client client(server_.url());
    // Cases with the same key share one sink (each start derives the key: a few hundred ms).
    std::unique_ptr<EventSink> sink;
    std::string sink_key;
    size_t recorded = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!sink || sink_key != c.sink_key) {
            if (sink) {
                EXPECT_EQ(0, sink->process().stop()) << "a clean exit";
            }
            sink = std::make_unique<EventSink>(server_.url(), c.sink_key);
            sink_key = c.sink_key;
            recorded = 0;
        }
        JsonPtr message = qztest::parse(genuine);
        if (c.alter) c.alter(message.get());
        const std::string text = compact(message.get());
        char errbuf[1024] = "";
        // Accepted: retrying cannot make it readable, and the line keeps all there is.
        EXPECT_EQ(
            0, qz_connection_simple_request(client.get(), kEvents, text.c_str(), 3000, 0, errbuf))
            << errbuf;
        ASSERT_TRUE(sink->wait_for(++recorded, 5000));
        const std::vector<JsonPtr> lines = sink->lines();
        ASSERT_EQ(recorded, lines.size());
        json_object* line = lines.back().get();
        ASSERT_NE(nullptr, line);
        EXPECT_EQ(text, compact(get(line, "message")));
        if (c.error == nullptr) {
            EXPECT_EQ(nullptr, get(line, "error"));
        } else {
            EXPECT_NE(std::string::npos, text_of(line, "error").find(c.error))
                << text_of(line, "error");
        }
        if (sink_key.empty()) {
            EXPECT_EQ(1, qztest::count(sink->process().output(),
                                       "encrypted event sections are written as received"));
        }
    }
    EXPECT_EQ(0, sink->process().stop()) << "a clean exit";
}

TEST_F(EventSinkPipeline, HostKilledMidDispatchLosesNothingAndStrandsNoClaim) {
    EventSink sink(server_.url());
    TempDir scratch;
    ProducerPlan plan{server_.url(),        run_.path(), scratch.file("acks"),
                      scratch.file("stop"), 200,         1500};
    const pid_t child = spawn_producer(plan);
    ASSERT_GT(child, 0);
    const bool started = sink.wait_for(40, 10000);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(started) << "the producer's dispatcher delivered nothing";
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;

    const std::set<std::string> acked = lines_of(plan.ack_file);
    const size_t delivered_at_kill = sink.lines().size();
    ASSERT_LT(delivered_at_kill, acked.size()) << "the kill came after the dispatch had ended";
    const std::vector<std::string> claims_at_kill =
        names_in(data_dir(), "claimed_" + std::to_string(child) + "_");
    const std::vector<std::string> temps_at_kill = names_in(data_dir(), "temp_");
    EXPECT_FALSE(claims_at_kill.empty()) << "killed in the middle of a batch";

    // A host process without a producer takes over the queue.
    Client client(server_.url());
    logThreadParams* dispatcher = qz_log_create_log_dispatcher(run_.path().c_str(), client.get());
    ASSERT_NE(nullptr, dispatcher);
    auto all_acked_arrived = [&] {
        const std::multiset<std::string> ids = sink.event_ids();
        for (const std::string& id : acked) {
            if (ids.count(id) == 0) return false;
        }
        return true;
    };
    const bool complete = wait_until(all_acked_arrived, 15000);
    const bool drained = wait_until(
        [&] {
            return queued_entries(data_dir()).empty() && names_in(data_dir(), "claimed_").empty();
        },
        5000);
    EXPECT_EQ(0, qz_log_stop_log_dispatcher(dispatcher, 5000));
    EXPECT_TRUE(complete) << "acknowledged entries missing at the sink";
    EXPECT_TRUE(drained) << "entries or claims left in the queue";
    EXPECT_TRUE(trace_.contains("Re-entered " + std::to_string(claims_at_kill.size()) +
                                " stale claimed queue entr"));

    // At least once: only the request in flight at the kill may arrive twice, and only what was
    // pushed arrives (a push cut short before its acknowledgement may count as pushed).
    const std::vector<JsonPtr> lines = sink.lines();
    const std::multiset<std::string> ids = sink.event_ids();
    EXPECT_EQ(lines.size(), ids.size());
    std::set<std::string> distinct(ids.begin(), ids.end());
    EXPECT_LE(ids.size() - distinct.size(), 1u) << "more than the one request in flight twice";
    size_t unacknowledged = 0;
    for (const std::string& id : distinct) unacknowledged += acked.count(id) == 0 ? 1 : 0;
    EXPECT_LE(unacknowledged, 1u);
    for (const JsonPtr& line : lines) {
        ASSERT_TRUE(line) << "a torn line in " << sink.out_file();
        EXPECT_EQ(nullptr, get(line.get(), "error")) << compact(line.get());
    }

    // A file the killed producer was still writing is never taken for an entry.
    EXPECT_EQ(temps_at_kill, names_in(data_dir(), "temp_"));
    EXPECT_FALSE(trace_.contains("Dropping"));
}

TEST_F(EventSinkPipeline, TwoHostProcessesOnOneQueueDeliverEveryEntryExactlyOnce) {
    EventSink sink(server_.url());
    TempDir scratch;
    constexpr int kPerProducer = 150;
    std::vector<ProducerPlan> plans;
    std::vector<pid_t> children;
    for (int p = 0; p < 2; ++p) {
        plans.push_back({server_.url(), run_.path(), scratch.file("acks-" + std::to_string(p)),
                         scratch.file("stop"), 0, kPerProducer});
        children.push_back(spawn_producer(plans.back()));
        ASSERT_GT(children.back(), 0);
    }
    const bool arrived = sink.wait_for(2 * kPerProducer, 20000);
    qztest::write_file(scratch.file("stop"), "");
    for (pid_t child : children) {
        const int status = exit_status_within(child, 10000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    ASSERT_TRUE(arrived) << sink.lines().size() << " lines";

    std::set<std::string> acked;
    for (const ProducerPlan& plan : plans) {
        const std::set<std::string> mine = lines_of(plan.ack_file);
        EXPECT_EQ(static_cast<size_t>(kPerProducer), mine.size());
        acked.insert(mine.begin(), mine.end());
    }
    const std::multiset<std::string> ids = sink.event_ids();
    EXPECT_EQ(static_cast<size_t>(2 * kPerProducer), ids.size());
    EXPECT_EQ(acked, std::set<std::string>(ids.begin(), ids.end()));
    for (const std::string& id : acked) EXPECT_EQ(1u, ids.count(id)) << id;
    for (const JsonPtr& line : sink.lines()) ASSERT_TRUE(line) << "a torn or mixed line";
    EXPECT_TRUE(names_in(data_dir()).empty()) << "files left in the queue";
    EXPECT_EQ(0, sink.process().stop()) << "a clean exit";
}

TEST_F(EventSinkPipeline, MalformedRequestsAreAnsweredWithAnErrorAndRecordedAndTermStopsCleanly) {
    EventSink sink(server_.url());
    Client client(server_.url());
    struct Case {
        const char* name;
        std::string request;
        bool as_text;  // recorded as "message" text, else as "message_base64"
    };
    const Case cases[] = {
        {"plain text", "this is not json", true},
        {"text after the object", R"({"EventID":"x"} and more)", true},
        {"an array", "[1,2,3]", true},
        {"a cut object", R"({"EventID": "\u00e9t\u00e9")", true},
        {"UTF-8 text", "d\xc3\xa9j\xc3\xa0 vu \xe2\x82\xac \xf0\x9f\x98\x80", true},
        {"bytes that are not UTF-8", "\xff\xfe{ binary \x80", false},
        {"an overlong encoding", "\xc0\xaf", false},
        {"a cut sequence", "abc \xe2\x82", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char errbuf[1024] = "";
        JsonPtr reply(
            qz_connection_send_recv_json(client.get(), kLogs, c.request.c_str(), 3000, 0, errbuf));
        ASSERT_TRUE(reply) << errbuf;
        EXPECT_EQ(-2, int_of(reply.get(), "ReturnCode"));
        EXPECT_NE(std::string::npos,
                  text_of(reply.get(), "Error").find("the request is not a JSON object"))
            << compact(reply.get());
        EXPECT_NE(nullptr, get(reply.get(), "WorkerHostname"));
    }
    char errbuf[1024] = "";
    EXPECT_EQ(0, qz_connection_simple_request(client.get(), kLogs, R"({"EventID":"after"})", 3000,
                                              0, errbuf))
        << "the sink goes on serving";

    const std::vector<JsonPtr> lines = sink.lines();
    ASSERT_EQ(std::size(cases) + 1, lines.size());
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        json_object* line = lines[i].get();
        ASSERT_NE(nullptr, line);
        EXPECT_EQ(kLogs, text_of(line, "subject"));
        EXPECT_EQ("the request is not a JSON object", text_of(line, "error"));
        EXPECT_EQ(cases[i].as_text, get(line, "message") != nullptr);
        if (json_object* text = get(line, "message")) {
            EXPECT_EQ(cases[i].request, json_object_get_string(text));
        } else {
            const std::string b64 = text_of(line, "message_base64");
            std::string raw(b64.size(), '\0');
            size_t length = 0;
            ASSERT_EQ(0, sodium_base642bin(reinterpret_cast<unsigned char*>(raw.data()), raw.size(),
                                           b64.c_str(), b64.size(), nullptr, &length, nullptr,
                                           sodium_base64_VARIANT_ORIGINAL));
            raw.resize(length);
            EXPECT_EQ(cases[i].request, raw);
        }
    }
    EXPECT_EQ("after", text_of(get(lines.back().get(), "message"), "EventID"));
    EXPECT_EQ(nullptr, get(lines.back().get(), "error"));

    const int status = sink.process().stop();
    EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(std::size(cases) + 1, sink.lines().size());
}

TEST(EventSinkCommandLine, RefusesWhatItCannotServeWithAReason) {
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        const char* says;
    };
    const Case cases[] = {
        {{"--help"}, 0, "Usage: qz-av-eventsink --out FILE"},
        {{}, 2, "--out FILE is required"},
        {{"--out"}, 2, "--out needs a value"},
        {{"--out", dir.file("o"), "--verbose"}, 2, "unknown argument \"--verbose\""},
        {{"--out", dir.file("o"), "--threads", "0"}, 2, "--threads takes a number"},
        {{"--out", dir.path() + "/missing/dir/o"}, 1, "cannot open"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        SCOPED_TRACE(shown);
        const std::string output = dir.file("output");
        std::vector<std::string> args = {qztest::bin_path("qz-av-eventsink")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        pid_t pid = -1;
        ASSERT_EQ(0, posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ));
        posix_spawn_file_actions_destroy(&actions);
        const int status = exit_status_within(pid, 10000);
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
        EXPECT_EQ(c.exit_code, WEXITSTATUS(status));
        EXPECT_NE(std::string::npos, qztest::read_file(output).find(c.says))
            << qztest::read_file(output);
    }
}

}  // namespace
