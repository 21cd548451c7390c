// End-to-end event throughput: messages enqueued with qz_log_enqueue, sent by the dispatcher
// through a real nats-server to the qz-av-eventsink process (QZ_BIN_DIR), counted once their
// lines are in the sink's file (the sink syncs each line before it answers). Two shapes: enqueue
// while the dispatcher runs (a busy host), and a backlog drained after an outage. For context,
// the bare queue push rate of the same run and file system.
//
// Usage: qz_event_e2e_bench [directory] [messages per round] [rounds]
// The directory should be on the file system that holds the run directory (not tmpfs).
#include <fcntl.h>
#include <json-c/json.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "connection/connection.h"
#include "event/dispatcher.h"
#include "event/event_message.h"
#include "log/log.h"
#include "pqueue/pqueue.h"
#include "support/bench_broker.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void fail(const std::string& why) {
    fprintf(stderr, "qz_event_e2e_bench: %s\n", why.c_str());
    exit(1);
}

// About the size of a compact scan log message.
json_object* scan_log_message() {
    json_object* message = qz_log_create_message();
    json_object* data = json_object_new_object();
    json_object_object_add(data, "Result", json_object_new_string("CLEAN"));
    json_object_object_add(data, "Object", json_object_new_string(std::string(260, 'x').c_str()));
    qz_log_add_scanlog_section(message, "/usr/sap/QZ1/scan", "realm-1", data);
    return message;
}

// The sink as a process of its own, as in production.
class SinkProcess {
  public:
    SinkProcess(const std::string& url, const std::string& dir)
        : out_(dir + "/events.jsonl"), ready_(dir + "/ready") {
        const std::string program = std::string(QZ_BIN_DIR) + "/qz-av-eventsink";
        if (access(program.c_str(), X_OK) != 0) fail(program + " is not built");
        std::vector<std::string> args = {
            program, "--server", url, "--out", out_, "--ready-file", ready_, "--trace-level", "0"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            int null_fd = open("/dev/null", O_WRONLY);
            dup2(null_fd, STDERR_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        const auto start = Clock::now();
        while (access(ready_.c_str(), F_OK) != 0) {
            if (seconds_since(start) > 10 || waitpid(pid_, nullptr, WNOHANG) == pid_) {
                fail("the sink did not come up");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        fd_ = open(out_.c_str(), O_RDONLY | O_CLOEXEC);
    }
    ~SinkProcess() {
        close(fd_);
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }

    // Waits until `count` more lines than before are in the file (reading only what is new).
    void wait_for_lines(long count) {
        long seen = 0;
        char buffer[65536];
        const auto start = Clock::now();
        while (seen < count) {
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n > 0) {
                for (ssize_t i = 0; i < n; ++i) seen += buffer[i] == '\n' ? 1 : 0;
                continue;
            }
            if (seconds_since(start) > 120) fail("the sink stopped receiving");
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }

  private:
    std::string out_, ready_;
    pid_t pid_ = -1;
    int fd_ = -1;
};

void enqueue_all(qz_pqueue* queue, json_object* message, int count) {
    for (int i = 0; i < count; ++i) {
        if (qz_log_enqueue(queue, 'E', message) != 0) fail("enqueue failed");
    }
}

double push_rate(const std::string& dir, const std::string& text, int count) {
    qz_pqueue* queue = qz_pqueue_open(dir.c_str(), "raw.pq", 1000000, INT32_MAX, O_CREAT, 1);
    if (queue == nullptr) fail("cannot open the raw queue");
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (qz_pqueue_push(queue, 'E', text.data(), text.size()) != 0) fail("push failed");
    }
    const double rate = count / seconds_since(start);
    qz_pqueue_purge(queue);
    qz_pqueue_close(queue);
    return rate;
}

}  // namespace

int main(int argc, char** argv) {
    const char* base = argc > 1 ? argv[1] : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    const int count = argc > 2 ? atoi(argv[2]) : 1000;
    const int rounds = argc > 3 ? atoi(argv[3]) : 3;
    log_set_quiet(1);
    QZOpenTraceFile(nullptr, 0, 0);

    std::string pattern = std::string(base) + "/qzbench-e2e-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fail("mkdtemp failed");
    const std::string dir = pattern;
    const std::string run_dir = dir + "/run";
    fs::create_directories(run_dir);

    qzbench::BenchBroker broker("qz-e2e-bench");
    natsConnection* probe = broker.connect(200, 25);
    if (probe == nullptr) fail("the broker did not come up");
    natsConnection_Destroy(probe);
    auto sink = std::make_unique<SinkProcess>(broker.url(), dir);

    qz_connection_config* config = qz_connection_config_new();
    config->server_url = strdup(broker.url().c_str());
    if (qz_connection_init(config) != 0) fail("cannot connect");
    qz_pqueue* queue = qz_pqueue_open(run_dir.c_str(), "VSA.pq", 1000000, INT32_MAX, O_CREAT, 1);
    if (queue == nullptr) fail("cannot open the queue");
    json_object* message = scan_log_message();
    const std::string text = json_object_to_json_string_ext(message, JSON_C_TO_STRING_PLAIN);
    printf("directory %s, %d rounds of %d messages of %zu bytes\n", dir.c_str(), rounds, count,
           text.size());

    std::vector<double> pushes, enqueues, pipelined, drained;
    for (int r = 0; r < rounds; ++r) {
        pushes.push_back(push_rate(dir, text, count));

        logThreadParams* dispatcher = qz_log_create_log_dispatcher(run_dir.c_str(), config);
        if (dispatcher == nullptr) fail("cannot start the dispatcher");
        auto start = Clock::now();
        enqueue_all(queue, message, count);
        enqueues.push_back(count / seconds_since(start));
        sink->wait_for_lines(count);
        pipelined.push_back(count / seconds_since(start));
        qz_log_stop_log_dispatcher(dispatcher, -1);

        enqueue_all(queue, message, count);
        start = Clock::now();
        dispatcher = qz_log_create_log_dispatcher(run_dir.c_str(), config);
        if (dispatcher == nullptr) fail("cannot start the dispatcher");
        sink->wait_for_lines(count);
        drained.push_back(count / seconds_since(start));
        qz_log_stop_log_dispatcher(dispatcher, -1);
    }
    printf("qz_pqueue_push alone                          %8.0f entries/s\n",
           qzbench::median(pushes));
    printf("qz_log_enqueue while the dispatcher sends     %8.0f messages/s\n",
           qzbench::median(enqueues));
    printf(
        "enqueue -> dispatcher -> broker -> sink file  %8.0f events/s (enqueued while sending)\n",
        qzbench::median(pipelined));
    printf("backlog drain: dispatcher -> broker -> sink   %8.0f events/s\n",
           qzbench::median(drained));

    json_object_put(message);
    qz_pqueue_close(queue);
    qz_connection_deinit(config);
    qz_connection_config_free(config);
    sink.reset();
    fs::remove_all(dir);
    return 0;
}
