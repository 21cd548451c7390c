// Several processes on one queue directory, and processes killed in the middle of their work:
// nothing acknowledged is lost, nothing is claimed twice, no claim is stranded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pqueue/pqueue.h"
#include "support/temp_dir.h"

namespace {

using qztest::read_file;
using qztest::TempDir;
using qztest::TraceCapture;
namespace fs = std::filesystem;

constexpr char kQueueName[] = "VSA.pq";
constexpr size_t kFillerLength = 3000;

// "<origin>:<seq>:<filler>:end" with a filler derived from both, so that any cut or mixed-up
// content is recognised.
std::string payload(int origin, long seq) {
    std::string text = std::to_string(origin) + ":" + std::to_string(seq) + ":";
    for (size_t i = 0; i < kFillerLength; ++i)
        text += static_cast<char>('a' + (i * 7 + static_cast<size_t>(seq + origin)) % 26);
    return text + ":end";
}

struct Key {
    int origin;
    long seq;
    bool operator<(const Key& o) const {
        return origin != o.origin ? origin < o.origin : seq < o.seq;
    }
};

std::optional<Key> parse_payload(const std::string& text) {
    int origin = 0;
    long seq = 0;
    if (sscanf(text.c_str(), "%d:%ld:", &origin, &seq) != 2) return std::nullopt;
    if (payload(origin, seq) != text) return std::nullopt;
    return Key{origin, seq};
}

qz_pqueue* open_queue(const std::string& dir, int flags = O_CREAT) {
    return qz_pqueue_open(dir.c_str(), kQueueName, 1000000, INT32_MAX, flags, 1);
}

// Claims one batch and "delivers" each entry by appending it as one line to out_fd before the
// claimed file is deleted, as the dispatcher does (so a kill in between delivers twice, never
// zero times). The number delivered, or -1.
int deliver_batch(qz_pqueue* q, int out_fd, bool use_lock) {
    if (use_lock && qz_pqueue_lock(q) != 0) return 0;
    qz_pqueue_data** batch = nullptr;
    const int n = qz_pqueue_claim_batch(q, "LE", 16, &batch);
    if (use_lock) qz_pqueue_unlock(q);
    int delivered = 0;
    for (int i = 0; i < n; ++i) {
        if (qz_pqueue_data_read(batch[i]) == 0) {
            std::string line(batch[i]->data, batch[i]->size);
            line += '\n';
            if (write(out_fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
                unlink(batch[i]->path) == 0)
                ++delivered;
            else
                delivered = -1000;
        }
        qz_pqueue_data_free(batch[i]);
    }
    free(batch);
    return n < 0 ? -1 : delivered;
}

std::vector<std::string> lines_of(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> names_starting(const std::string& dir, const std::string& start) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename();
        if (name.rfind(start, 0) == 0) out.push_back(name);
    }
    return out;
}

// Claims and reads everything left in the queue.
std::vector<std::string> drain(qz_pqueue* q) {
    std::vector<std::string> contents;
    for (;;) {
        qz_pqueue_data** batch = nullptr;
        const int n = qz_pqueue_claim_batch(q, "LE", 128, &batch);
        if (n <= 0) break;
        for (int i = 0; i < n; ++i) {
            if (qz_pqueue_data_read(batch[i]) == 0)
                contents.emplace_back(batch[i]->data, batch[i]->size);
            else
                contents.emplace_back("<unreadable>");
            unlink(batch[i]->path);
            qz_pqueue_data_free(batch[i]);
        }
        free(batch);
    }
    return contents;
}

int wait_exit_code(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(PqueueProcesses, TwoProcessesPushAndClaimAtOnceWithoutLossOrDoubleClaims) {
    TempDir dir;
    constexpr int kPerChild = 120;
    int start[2];
    ASSERT_EQ(0, pipe(start));
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            close(start[1]);
            char go;
            if (read(start[0], &go, 1) != 0) _exit(10);  // released when the parent closes
            // Both processes create the queue at the same moment.
            qz_pqueue* q = open_queue(dir.path());
            if (q == nullptr) _exit(11);
            const std::string out = dir.file("delivered-" + std::to_string(c));
            int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            // The second process claims without the queue lock: the claim rename alone must keep
            // an entry from going to both.
            const bool use_lock = c == 0;
            for (int seq = 0; seq < kPerChild; ++seq) {
                const std::string text = payload(c, seq);
                if (qz_pqueue_push(q, c ? 'E' : 'L', text.data(), text.size()) != 0) _exit(12);
                if (seq % 4 == 3 && deliver_batch(q, out_fd, use_lock) < 0) _exit(13);
            }
            for (int idle = 0; idle < 3;) {
                const int n = deliver_batch(q, out_fd, use_lock);
                if (n < 0) _exit(13);
                idle = n == 0 ? idle + 1 : 0;
            }
            qz_pqueue_close(q);
            _exit(0);
        }
    }
    close(start[0]);
    close(start[1]);
    for (pid_t child : children) EXPECT_EQ(0, wait_exit_code(child));

    qz_pqueue* q = open_queue(dir.path(), 0);
    ASSERT_NE(nullptr, q);
    std::vector<std::string> all = drain(q);
    qz_pqueue_close(q);
    const size_t left_over = all.size();
    for (int c = 0; c < 2; ++c)
        for (const std::string& line : lines_of(dir.file("delivered-" + std::to_string(c))))
            all.push_back(line);

    std::map<Key, int> seen;
    for (const std::string& text : all) {
        std::optional<Key> key = parse_payload(text);
        ASSERT_TRUE(key) << "malformed entry: " << text.substr(0, 40);
        ++seen[*key];
    }
    EXPECT_EQ(static_cast<size_t>(2 * kPerChild), seen.size()) << left_over << " were left over";
    for (const auto& [key, count] : seen)
        EXPECT_EQ(1, count) << "entry " << key.origin << ":" << key.seq << " claimed " << count
                            << " times";
    const std::string data = dir.file(kQueueName) + "/data";
    EXPECT_TRUE(fs::is_empty(data));
}

TEST(PqueueProcesses, KilledPusherAndClaimerLoseNoAcknowledgedEntry) {
    TempDir dir;
    {
        qz_pqueue* q = open_queue(dir.path());
        ASSERT_NE(nullptr, q);
        qz_pqueue_close(q);
    }
    constexpr int kRounds = 4;
    std::set<long> acknowledged;
    std::vector<std::string> delivered_files;
    for (int round = 0; round < kRounds; ++round) {
        int acks[2];
        ASSERT_EQ(0, pipe(acks));
        pid_t pusher = fork();
        ASSERT_GE(pusher, 0);
        if (pusher == 0) {
            close(acks[0]);
            qz_pqueue* q = open_queue(dir.path(), 0);
            if (q == nullptr) _exit(11);
            for (long seq = round * 1000000L;; ++seq) {
                const std::string text = payload(7, seq);
                if (qz_pqueue_push(q, seq % 2 ? 'E' : 'L', text.data(), text.size()) == 0 &&
                    write(acks[1], &seq, sizeof seq) != sizeof seq)
                    _exit(12);
            }
        }
        close(acks[1]);
        const std::string out = dir.file("delivered-" + std::to_string(round));
        delivered_files.push_back(out);
        pid_t claimer = fork();
        ASSERT_GE(claimer, 0);
        if (claimer == 0) {
            close(acks[0]);
            qz_pqueue* q = open_queue(dir.path(), 0);
            if (q == nullptr) _exit(11);
            int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            for (;;) {
                if (deliver_batch(q, out_fd, true) < 0) _exit(13);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(60 + 37 * round));
        kill(pusher, SIGKILL);
        kill(claimer, SIGKILL);
        EXPECT_EQ(128 + SIGKILL, wait_exit_code(pusher));
        EXPECT_EQ(128 + SIGKILL, wait_exit_code(claimer));
        long seq;
        while (read(acks[0], &seq, sizeof seq) == sizeof seq) acknowledged.insert(seq);
        close(acks[0]);
    }
    ASSERT_GT(acknowledged.size(), static_cast<size_t>(kRounds));

    const std::string data = dir.file(kQueueName) + "/data";
    TraceCapture trace;
    qz_pqueue* q = open_queue(dir.path(), 0);
    ASSERT_NE(nullptr, q);
    EXPECT_TRUE(names_starting(data, "claimed_").empty()) << "claims of dead processes came back";
    std::vector<std::string> remaining = drain(q);

    std::set<long> found;
    for (const std::string& text : remaining) {
        std::optional<Key> key = parse_payload(text);
        ASSERT_TRUE(key) << "a queued entry is cut or mixed: " << text.substr(0, 40);
        found.insert(key->seq);
    }
    for (const std::string& file : delivered_files) {
        std::vector<std::string> lines = lines_of(file);
        for (size_t i = 0; i < lines.size(); ++i) {
            std::optional<Key> key = parse_payload(lines[i]);
            // Only the last record of a killed claimer can be torn; its entry was not deleted.
            if (!key && i + 1 == lines.size()) continue;
            ASSERT_TRUE(key) << file << " line " << i;
            found.insert(key->seq);
        }
    }
    for (long seq : acknowledged) EXPECT_TRUE(found.count(seq)) << "acknowledged entry " << seq;

    // What a killed pusher left is only ever a temporary file: never claimed, and removed once
    // it is clearly abandoned.
    const std::vector<std::string> temps = names_starting(data, "temp_");
    EXPECT_LE(temps.size(), static_cast<size_t>(kRounds));
    for (const std::string& t : temps) {
        const std::string path = data + "/" + t;
        struct timespec old[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), old, 0));
    }
    qz_pqueue_close(q);
    q = open_queue(dir.path(), 0);
    ASSERT_NE(nullptr, q);
    EXPECT_TRUE(fs::is_empty(data));
    qz_pqueue_close(q);
}

TEST(PqueueProcesses, ClaimsOfAKilledDispatcherReturnOnTheNextOpen) {
    TempDir dir;
    qz_pqueue* q = open_queue(dir.path());
    ASSERT_NE(nullptr, q);
    std::set<std::string> pushed;
    for (int i = 0; i < 10; ++i) {
        const std::string text = payload(1, i);
        ASSERT_EQ(0, qz_pqueue_push(q, 'E', text.data(), text.size()));
        pushed.insert(text);
    }
    qz_pqueue_close(q);
    const std::string data = dir.file(kQueueName) + "/data";

    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        qz_pqueue* mine = open_queue(dir.path(), 0);
        qz_pqueue_data** batch = nullptr;
        if (mine == nullptr || qz_pqueue_lock(mine) != 0) _exit(11);
        const char count = static_cast<char>(qz_pqueue_claim_batch(mine, "LE", 128, &batch));
        if (write(ready[1], &count, 1) != 1) _exit(12);
        pause();  // killed while holding the lock and the claims
        _exit(13);
    }
    char claimed = 0;
    ASSERT_EQ(1, read(ready[0], &claimed, 1));
    EXPECT_EQ(10, claimed);
    EXPECT_EQ(10u, names_starting(data, "claimed_" + std::to_string(child) + "_").size());
    kill(child, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, wait_exit_code(child));

    TraceCapture trace;
    q = open_queue(dir.path(), 0);
    ASSERT_NE(nullptr, q);
    EXPECT_TRUE(trace.contains("Re-entered 10 stale claimed queue entries into the dispatch pool"));
    EXPECT_TRUE(names_starting(data, "claimed_").empty());
    EXPECT_EQ(0, qz_pqueue_lock(q)) << "the dead holder's lock went with it";
    std::vector<std::string> back = drain(q);
    qz_pqueue_unlock(q);
    EXPECT_EQ(pushed, std::set<std::string>(back.begin(), back.end()));
    qz_pqueue_close(q);
}

TEST(PqueueProcesses, OwnPidClaimsOfAnEarlierProcessWithThatPidComeBack) {
    // A restarted host may get the pid of the one that crashed (containers often do): claims
    // named with our pid that this process never made are leftovers.
    TempDir dir;
    qz_pqueue* q = open_queue(dir.path());
    ASSERT_NE(nullptr, q);
    qz_pqueue_close(q);
    const std::string data = dir.file(kQueueName) + "/data";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string name = "E0b7c3a2e-5f1d-11ef-8a6b-0242ac120002.dat";
        const std::string claimed = data + "/claimed_" + std::to_string(getpid()) + "_" + name;
        int fd = open(claimed.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0 || write(fd, "left", 4) != 4) _exit(11);
        close(fd);
        qz_pqueue* mine = open_queue(dir.path(), 0);
        if (mine == nullptr) _exit(12);
        if (!fs::exists(data + "/" + name) || fs::exists(claimed)) _exit(13);
        // Once this process has claimed, its own claims are live and stay where they are.
        qz_pqueue_data** batch = nullptr;
        if (qz_pqueue_claim_batch(mine, "E", 1, &batch) != 1) _exit(14);
        qz_pqueue_close(mine);
        mine = open_queue(dir.path(), 0);
        if (mine == nullptr || !fs::exists(batch[0]->path)) _exit(15);
        _exit(0);
    }
    EXPECT_EQ(0, wait_exit_code(child));
}

}  // namespace
