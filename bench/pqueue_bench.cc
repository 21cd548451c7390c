// Persistent queue cost. A push must stay close to the bare durable write it is built on (goal:
// at least 0.8 of the rate of write + fsync + rename of the same bytes, measured in the same run
// on the same file system); claiming is measured in entries per second.
//
// Usage: qz_pqueue_bench [directory] [operations per round] [rounds]
// The directory should be on the file system that holds the run directory (not tmpfs).
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/uuid.h"
#include "pqueue/pqueue.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// About the size of a compact scan log message.
std::string message_bytes() {
    std::string text =
        R"({"LogVersion":1,"Timestamp":"2026-08-09 22:41:27","Timestamp_epoch":1786315287,)"
        R"("Component":"VSA","Hostname":"sapapp01.example.com","EventID":)"
        R"("0b7c3a2e-5f1d-11ef-8a6b-0242ac120002","ScanLog":{"ScanLogPath":"/usr/sap/QZ1/scan",)"
        R"("LogData":{"Result":"CLEAN","Object":")";
    while (text.size() < 580) text += 'x';
    return text + R"("}}})";
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The baseline: the same bytes made durable the plain way, one file each.
double plain_rate(const std::string& dir, const std::string& bytes, int ops, bool sync_dir) {
    fs::create_directories(dir);
    const auto start = Clock::now();
    for (int i = 0; i < ops; ++i) {
        const std::string temp = dir + "/temp_" + std::to_string(i);
        const std::string final_name = dir + "/" + std::to_string(i) + ".dat";
        int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
        if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
            fsync(fd) != 0 || close(fd) != 0 || rename(temp.c_str(), final_name.c_str()) != 0) {
            perror("baseline");
            exit(1);
        }
        if (sync_dir) {
            int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            fsync(dfd);
            close(dfd);
        }
    }
    const double rate = ops / seconds_since(start);
    fs::remove_all(dir);
    return rate;
}

double push_rate(qz_pqueue* q, const std::string& bytes, int ops) {
    const auto start = Clock::now();
    for (int i = 0; i < ops; ++i) {
        if (qz_pqueue_push(q, i % 4 ? 'L' : 'E', bytes.data(), bytes.size()) != 0) {
            fprintf(stderr, "push failed\n");
            exit(1);
        }
    }
    return ops / seconds_since(start);
}

// Entries written directly (not synced) to set up a fill level quickly.
void fill(qz_pqueue* q, const std::string& bytes, int count) {
    for (int i = 0; i < count; ++i) {
        qz_uuid_t uuid;
        char text[37];
        qz_uuid_generate_time_safe(uuid);
        qz_uuid_unparse_lower(uuid, text);
        const std::string path =
            std::string(q->datadir) + "/" + (i % 4 ? "L" : "E") + text + ".dat";
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
        if (fd < 0 || write(fd, bytes.data(), bytes.size()) < 0) {
            perror("fill");
            exit(1);
        }
        close(fd);
    }
}

// Claims everything in batches of 128 under the lock; with deliver, also reads and deletes
// each entry as the dispatcher does. Entries per second.
double claim_rate(qz_pqueue* q, bool deliver, int* total) {
    *total = 0;
    const auto start = Clock::now();
    for (;;) {
        if (qz_pqueue_lock(q) != 0) continue;
        qz_pqueue_data** batch = nullptr;
        const int n = qz_pqueue_claim_batch(q, "LE", 128, &batch);
        qz_pqueue_unlock(q);
        if (n <= 0) break;
        for (int i = 0; i < n; ++i) {
            if (deliver) {
                qz_pqueue_data_read(batch[i]);
                unlink(batch[i]->path);
            }
            qz_pqueue_data_free(batch[i]);
        }
        free(batch);
        *total += n;
    }
    return *total / seconds_since(start);
}

}  // namespace

int main(int argc, char** argv) {
    const char* base = argc > 1 ? argv[1] : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    const int ops = argc > 2 ? atoi(argv[2]) : 200;
    const int rounds = argc > 3 ? atoi(argv[3]) : 5;
    log_set_quiet(1);
    QZOpenTraceFile(nullptr, 0, 0);

    std::string pattern = std::string(base) + "/qzbench-pq-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    struct statfs sfs {};
    statfs(dir.c_str(), &sfs);
    printf("directory %s%s, %d rounds of %d operations, %zu-byte messages\n", dir.c_str(),
           sfs.f_type == TMPFS_MAGIC ? " (tmpfs: fsync is free, ratios mean little)" : "", rounds,
           ops, message_bytes().size());

    const std::string bytes = message_bytes();
    qz_pqueue* q = qz_pqueue_open(dir.c_str(), "VSA.pq", 1000000, INT32_MAX, O_CREAT, 1);
    if (q == nullptr) {
        fprintf(stderr, "cannot open the queue in %s\n", dir.c_str());
        return 1;
    }

    // Rounds alternate the order of the three measurements so that drift of the device hits all
    // of them alike; each round starts from an empty queue.
    std::vector<double> plain, plain_synced, pushes;
    for (int r = 0; r < rounds; ++r) {
        std::vector<std::function<void()>> steps = {
            [&] { plain.push_back(plain_rate(dir + "/plain", bytes, ops, false)); },
            [&] { plain_synced.push_back(plain_rate(dir + "/plain", bytes, ops, true)); },
            [&] {
                qz_pqueue_purge(q);
                pushes.push_back(push_rate(q, bytes, ops));
            },
        };
        if (r % 2) std::reverse(steps.begin(), steps.end());
        for (auto& step : steps) step();
    }
    const double plain_median = median(plain), synced_median = median(plain_synced);
    const double push_median = median(pushes);
    printf("write+fsync+rename                %9.0f files/s\n", plain_median);
    printf("write+fsync+rename+fsync(dir)     %9.0f files/s\n", synced_median);
    printf("qz_pqueue_push                    %9.0f entries/s\n", push_median);
    printf("push ratio vs write+fsync+rename             %.2fx (goal >= 0.80x)\n",
           push_median / plain_median);
    printf("push ratio vs the same with fsync(dir)       %.2fx\n", push_median / synced_median);

    // A push lists the data directory to check the limits: its cost with a large backlog.
    qz_pqueue_purge(q);
    fill(q, bytes, 5000);
    const double backlog = push_rate(q, bytes, ops);
    printf("qz_pqueue_push, 5000 entries queued %7.0f entries/s (%.2fx of write+fsync+rename)\n",
           backlog, backlog / plain_median);

    int total = 0;
    qz_pqueue_purge(q);
    fill(q, bytes, 10000);
    const double claims = claim_rate(q, false, &total);
    printf("qz_pqueue_claim_batch (128 a batch)  %9.0f entries/s (%d claimed)\n", claims, total);
    qz_pqueue_purge(q);
    fill(q, bytes, 10000);
    const double delivered = claim_rate(q, true, &total);
    printf("claim + read + delete                %9.0f entries/s (%d claimed)\n", delivered, total);

    qz_pqueue_close(q);
    fs::remove_all(dir);
    return 0;
}
