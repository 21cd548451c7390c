#include "pqueue/pqueue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "support/temp_dir.h"

namespace {

using qztest::read_file;
using qztest::TempDir;
using qztest::TraceCapture;
using qztest::write_file;
namespace fs = std::filesystem;

struct QueueCloser {
    void operator()(qz_pqueue* q) const { qz_pqueue_close(q); }
};
using QueuePtr = std::unique_ptr<qz_pqueue, QueueCloser>;

struct EntryFree {
    void operator()(qz_pqueue_data* e) const { qz_pqueue_data_free(e); }
};
using EntryPtr = std::unique_ptr<qz_pqueue_data, EntryFree>;

// A claimed batch, owned: every entry and the array are freed with it.
struct Batch {
    std::vector<EntryPtr> entries;
    int rc = -1;
};

Batch claim(qz_pqueue* q, const char* prefixes, int count = 128) {
    Batch batch;
    qz_pqueue_data** raw = nullptr;
    batch.rc = qz_pqueue_claim_batch(q, prefixes, count, &raw);
    for (int i = 0; i < batch.rc; ++i) batch.entries.emplace_back(raw[i]);
    free(raw);
    return batch;
}

const char kUuid1[] = "0b7c3a2e-5f1d-11ef-8a6b-0242ac120002";
const char kUuid2[] = "1c8d4b3f-5f1d-11ef-8a6b-0242ac120002";
const char kUuid3[] = "2d9e5c40-5f1d-11ef-8a6b-0242ac120002";

std::string entry_name(char prefix, const char* uuid) {
    return prefix + std::string(uuid) + ".dat";
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> names_starting(const std::string& dir, const std::string& start) {
    std::vector<std::string> out;
    for (const std::string& n : names_in(dir))
        if (n.rfind(start, 0) == 0) out.push_back(n);
    return out;
}

void set_mtime(const std::string& path, time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW)) << path;
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(0, stat(path.c_str(), &st)) << path;
    return st.st_mode & 07777;
}

// The pid of a process that has ended and been reaped.
pid_t ended_pid() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

uint64_t stat_elements(qz_pqueue* q) { return __atomic_load_n(&q->elements, __ATOMIC_RELAXED); }
uint64_t stat_bytes(qz_pqueue* q) { return __atomic_load_n(&q->bytes, __ATOMIC_RELAXED); }

class Pqueue : public ::testing::Test {
  protected:
    QueuePtr open(int flags = O_CREAT, long maxelements = 10000, long maxbytes = 50000000,
                  int mode = 1) {
        return QueuePtr(
            qz_pqueue_open(dir_.path().c_str(), "VSA.pq", maxelements, maxbytes, flags, mode));
    }
    std::string root() const { return dir_.file("VSA.pq"); }
    std::string data() const { return root() + "/data"; }
    std::string data_file(const std::string& name) const { return data() + "/" + name; }
    int push(qz_pqueue* q, char prefix, const std::string& bytes) {
        return qz_pqueue_push(q, prefix, bytes.data(), bytes.size());
    }

    TempDir dir_;
};

// ---------------------------------------------------------------------------------------------
// Opening and the on-disk layout

TEST_F(Pqueue, CreatesTheExactLayout) {
    TraceCapture trace;
    QueuePtr q = open(O_CREAT, 10000, 50000000, 1);
    ASSERT_TRUE(q);
    EXPECT_EQ(root(), q->root);
    EXPECT_EQ(root() + "/data", q->datadir);
    EXPECT_EQ(root() + "/control", q->controlfile);
    EXPECT_EQ(-1, q->lockfd);
    EXPECT_EQ(10000, q->maxelements);
    EXPECT_EQ(50000000, q->maxbytes);
    EXPECT_EQ(1, q->mode);
    EXPECT_EQ(0u, stat_elements(q.get()));
    EXPECT_EQ((std::vector<std::string>{"control", "data"}), names_in(root()));
    EXPECT_TRUE(names_in(data()).empty());
    EXPECT_EQ("10000\n50000000\n1\n", read_file(root() + "/control"));
    EXPECT_EQ(0770u, mode_of(root()));
    EXPECT_EQ(0770u, mode_of(data()));
    EXPECT_EQ(0660u, mode_of(root() + "/control"));
    EXPECT_TRUE(trace.contains("Created " + root() + "/control"));
}

TEST_F(Pqueue, ExistingQueueKeepsTheLimitsOfItsControlFile) {
    ASSERT_TRUE(open(O_CREAT, 5, 100, 7));
    TraceCapture trace(5);
    QueuePtr q = open(0, 10, 1000, 1);
    ASSERT_TRUE(q);
    EXPECT_EQ(5, q->maxelements);
    EXPECT_EQ(100, q->maxbytes);
    EXPECT_EQ(7, q->mode);
    EXPECT_TRUE(trace.contains("Queue " + root() + " exists and is accessible"));
    EXPECT_TRUE(trace.contains("pqueue " + root() + " opened"));
    EXPECT_EQ("5\n100\n7\n", read_file(root() + "/control"));
}

TEST_F(Pqueue, MissingQueueWithoutCreateIsNotFound) {
    errno = 0;
    EXPECT_EQ(nullptr, open(0).get());
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(fs::exists(root()));
}

TEST_F(Pqueue, DamagedControlFileFallsBackToTheArgumentsAndIsRewritten) {
    struct Case {
        const char* content;  // nullptr: no control file at all
        bool accepted;
    };
    const Case kCases[] = {
        {nullptr, false},
        {"", false},
        {"abc\n100\n1\n", false},
        {"10\n", false},
        {"10\n20\n", false},
        {"-5\n100\n1\n", false},
        {"99999999999\n100\n1\n", false},
        {" 12\n100\n1\n", false},
        {"12x\n100\n1\n", false},
        {"12\n100\n1\n", true},
        {"12\r\n100\r\n1\r\n", true},  // written in Windows text mode
        {"12\n100\n-3", true},         // last line end missing
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.content ? c.content : "(missing)");
        fs::remove_all(root());
        ASSERT_TRUE(open(O_CREAT, 3, 30, 1));
        if (c.content)
            write_file(root() + "/control", c.content);
        else
            fs::remove(root() + "/control");
        TraceCapture trace;
        QueuePtr q = open(0, 40, 4000, 2);
        ASSERT_TRUE(q);
        if (c.accepted) {
            EXPECT_EQ(12, q->maxelements);
            EXPECT_EQ(100, q->maxbytes);
            EXPECT_FALSE(trace.contains("Failed to read controlfile"));
        } else {
            EXPECT_EQ(40, q->maxelements);
            EXPECT_EQ(4000, q->maxbytes);
            EXPECT_EQ(2, q->mode);
            EXPECT_TRUE(trace.contains("Failed to read controlfile"));
            EXPECT_TRUE(trace.contains("control file " + root() + "/control"));
            // Rewritten, so that the queue lock (and with it claiming) works again.
            EXPECT_EQ("40\n4000\n2\n", read_file(root() + "/control"));
            EXPECT_EQ(0, qz_pqueue_lock(q.get()));
            EXPECT_EQ(0, qz_pqueue_unlock(q.get()));
        }
        EXPECT_EQ((std::vector<std::string>{"control", "data"}), names_in(root()));
    }
}

TEST_F(Pqueue, MissingDataDirectoryOfAnExistingQueueIsCreatedAgain) {
    ASSERT_TRUE(open());
    fs::remove_all(data());
    QueuePtr q = open(0);
    ASSERT_TRUE(q);
    EXPECT_TRUE(fs::is_directory(data()));
    EXPECT_EQ(0, push(q.get(), 'E', "{}"));
}

TEST_F(Pqueue, RootThatIsNotADirectoryIsRefused) {
    write_file(root(), "not a queue");
    TraceCapture trace;
    EXPECT_EQ(nullptr, open(O_CREAT).get());
    EXPECT_TRUE(trace.contains(root() + " not writable - check permissions"));
    EXPECT_EQ("not a queue", read_file(root()));
}

TEST_F(Pqueue, DirectoryBelowARegularFileCannotHoldAQueue) {
    write_file(dir_.file("plain"), "x");
    TraceCapture trace;
    QueuePtr q(qz_pqueue_open(dir_.file("plain").c_str(), "VSA.pq", 10, 1000, O_CREAT, 1));
    EXPECT_EQ(nullptr, q.get());
    EXPECT_TRUE(trace.contains("Failed to create " + dir_.file("plain") + "/VSA.pq"));
}

TEST_F(Pqueue, InvalidOpenArgumentsAreRefused) {
    const std::string d = dir_.path();
    struct Case {
        const char* dir;
        const char* name;
        long maxelements, maxbytes;
    };
    const Case kCases[] = {
        {nullptr, "q", 1, 1},
        {d.c_str(), nullptr, 1, 1},
        {"", "q", 1, 1},
        {d.c_str(), "", 1, 1},
        {d.c_str(), "q", -1, 1},
        {d.c_str(), "q", 1, -1},
        {d.c_str(), "q", 1, static_cast<long>(INT32_MAX) + 1},
    };
    for (const Case& c : kCases) {
        TraceCapture trace;
        QueuePtr q(qz_pqueue_open(c.dir, c.name, c.maxelements, c.maxbytes, O_CREAT, 1));
        EXPECT_EQ(nullptr, q.get());
        EXPECT_TRUE(trace.contains("Invalid parameters"));
    }
    EXPECT_TRUE(names_in(d).empty());
}

TEST_F(Pqueue, EntryPathsNeverExceedTheLimit) {
    // Build a real directory whose queue root leaves room for exactly the longest entry path:
    // data/claimed_<20 digits>_<41-character entry name>.
    const size_t longest_suffix = 6 + 8 + 20 + 1 + 41;
    const size_t root_length = QZ_PQUEUE_MAX_PATH - longest_suffix;
    std::string parent = dir_.path();
    while (parent.size() + 1 + 200 + 1 + 4 < root_length) parent += "/" + std::string(200, 'd');
    const size_t name_length = root_length - parent.size() - 1;
    ASSERT_GT(name_length, 0u);
    fs::create_directories(parent);
    const std::string fits(name_length, 'q');
    const std::string too_long(name_length + 1, 'q');
    {
        TraceCapture trace;
        QueuePtr q(qz_pqueue_open(parent.c_str(), too_long.c_str(), 10, 1000, O_CREAT, 1));
        EXPECT_EQ(nullptr, q.get());
        EXPECT_TRUE(trace.contains("is too long"));
    }
    QueuePtr q(qz_pqueue_open(parent.c_str(), fits.c_str(), 10, 1000, O_CREAT, 1));
    ASSERT_TRUE(q);
    EXPECT_EQ(root_length, strlen(q->root));
    ASSERT_EQ(0, push(q.get(), 'E', "payload"));
    Batch batch = claim(q.get(), "E");
    ASSERT_EQ(1, batch.rc);
    EXPECT_LE(strlen(batch.entries[0]->path), static_cast<size_t>(QZ_PQUEUE_MAX_PATH));
    ASSERT_EQ(0, qz_pqueue_data_read(batch.entries[0].get()));
    EXPECT_STREQ("payload", batch.entries[0]->data);
}

TEST_F(Pqueue, TruncFlagEmptiesAnExistingQueue) {
    {
        QueuePtr q = open();
        ASSERT_EQ(0, push(q.get(), 'E', "one"));
        ASSERT_EQ(0, push(q.get(), 'L', "two"));
        Batch batch = claim(q.get(), "E");
        ASSERT_EQ(1, batch.rc);
    }
    TraceCapture trace(5);
    QueuePtr q = open(O_TRUNC);
    ASSERT_TRUE(q);
    EXPECT_TRUE(names_in(data()).empty());
    EXPECT_EQ(0u, stat_elements(q.get()));
    EXPECT_EQ(0u, stat_bytes(q.get()));
    EXPECT_TRUE(trace.contains("Flag O_TRUNC passed, truncating queue " + root()));
    EXPECT_EQ("10000\n50000000\n1\n", read_file(root() + "/control"));
}

// ---------------------------------------------------------------------------------------------
// Pushing

TEST_F(Pqueue, PushWritesExactlyTheBytesUnderAnEntryName) {
    QueuePtr q = open();
    const std::string bytes("{\"a\":1}\0binary\xff\n", 16);
    ASSERT_EQ(0, push(q.get(), 'E', bytes));
    const std::vector<std::string> names = names_in(data());
    ASSERT_EQ(1u, names.size());
    EXPECT_TRUE(std::regex_match(names[0], std::regex("E[0-9a-f]{8}-[0-9a-f]{4}-1[0-9a-f]{3}-"
                                                      "[0-9a-f]{4}-[0-9a-f]{12}\\.dat")))
        << names[0] << " (a time-based UUID)";
    EXPECT_EQ(bytes, read_file(data_file(names[0])));
    EXPECT_EQ(1u, stat_elements(q.get()));
    EXPECT_EQ(bytes.size(), stat_bytes(q.get()));
}

TEST_F(Pqueue, EveryPushGetsItsOwnEntry) {
    QueuePtr q = open();
    for (int i = 0; i < 50; ++i) ASSERT_EQ(0, push(q.get(), i % 2 ? 'E' : 'L', std::to_string(i)));
    EXPECT_EQ(50u, names_in(data()).size());
    EXPECT_EQ(25u, names_starting(data(), "E").size());
    EXPECT_TRUE(names_starting(data(), "temp_").empty());
    EXPECT_EQ(50u, stat_elements(q.get()));
}

TEST_F(Pqueue, InvalidPushesAreRefused) {
    QueuePtr q = open();
    struct Case {
        qz_pqueue* queue;
        char prefix;
        const char* data;
        size_t length;
    };
    const Case kCases[] = {
        {nullptr, 'E', "x", 1},  {q.get(), 'E', nullptr, 1}, {q.get(), 'E', "x", 0},
        {q.get(), '\0', "x", 1}, {q.get(), '/', "x", 1},
    };
    for (const Case& c : kCases) {
        TraceCapture trace;
        EXPECT_EQ(-1, qz_pqueue_push(c.queue, c.prefix, c.data, c.length));
        EXPECT_TRUE(trace.contains("Invalid parameters"));
    }
    EXPECT_TRUE(names_in(data()).empty());
}

TEST_F(Pqueue, FullQueueRefusesThePushWithAWarning) {
    struct Case {
        long maxelements, maxbytes;
        std::vector<size_t> accepted;
        size_t refused;
        const char* warning;
    };
    const Case kCases[] = {
        {2, 1000, {10, 10}, 10, "Queue full: 2 Elements (max 2), 20 bytes (max 1000)"},
        {100, 25, {10, 15}, 1, "Queue full: 2 Elements (max 100), 25 bytes (max 25)"},
        {100, 25, {}, 26, "Queue full: 0 Elements (max 100), 0 bytes (max 25)"},
        {0, 25, {}, 1, "Queue full: 0 Elements (max 0), 0 bytes (max 25)"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.warning);
        fs::remove_all(root());
        QueuePtr q = open(O_CREAT, c.maxelements, c.maxbytes);
        ASSERT_TRUE(q);
        for (size_t size : c.accepted) ASSERT_EQ(0, push(q.get(), 'L', std::string(size, 'a')));
        TraceCapture trace;
        EXPECT_EQ(-1, push(q.get(), 'L', std::string(c.refused, 'b')));
        EXPECT_TRUE(trace.contains("WARN ")) << trace.contents();
        EXPECT_TRUE(trace.contains(c.warning)) << trace.contents();
        EXPECT_EQ(c.accepted.size(), names_in(data()).size());
    }
}

TEST_F(Pqueue, EveryRegularFileCountsTowardsTheLimits) {
    QueuePtr q = open(O_CREAT, 3, 1000);
    write_file(data_file("temp_" + entry_name('E', kUuid1)), "12345");
    write_file(data_file("claimed_1_" + entry_name('E', kUuid2)), "123");
    fs::create_directory(data_file("subdir"));  // not a regular file
    ASSERT_EQ(0, push(q.get(), 'E', "12"));
    EXPECT_EQ(3u, stat_elements(q.get()));
    EXPECT_EQ(10u, stat_bytes(q.get()));
    TraceCapture trace;
    EXPECT_EQ(-1, push(q.get(), 'E', "x"));
    EXPECT_TRUE(trace.contains("Queue full: 3 Elements (max 3), 10 bytes (max 1000)"));
}

TEST_F(Pqueue, StatisticsOfALargeQueueCatchUpWithOtherWriters) {
    QueuePtr q = open(O_CREAT, 10000, 50000000);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(0, push(q.get(), 'E', "1234"));
    EXPECT_EQ(3u, stat_elements(q.get()));
    EXPECT_EQ(12u, stat_bytes(q.get()));
    // Another process queues two entries; a push a moment later counts them.
    write_file(data_file(entry_name('L', kUuid1)), "123456");
    write_file(data_file(entry_name('L', kUuid2)), "123456");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_EQ(0, push(q.get(), 'E', "1234"));
    EXPECT_EQ(6u, stat_elements(q.get()));
    EXPECT_EQ(28u, stat_bytes(q.get()));
}

TEST_F(Pqueue, FullDiskLeavesNoPartialEntry) {
    QueuePtr q = open();
    TraceCapture trace;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // With a file size limit writes stop part-way (EFBIG instead of SIGXFSZ), as on a full
        // disk.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            4096, 4096
        };
        setrlimit(RLIMIT_FSIZE, &limit);
        const std::string big(10000, 'B');
        const int big_rc = qz_pqueue_push(q.get(), 'E', big.data(), big.size());
        const int small_rc = qz_pqueue_push(q.get(), 'L', "small", 5);
        _exit(big_rc == -1 && small_rc == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_TRUE(trace.contains("Failed to write buffer to file " + data() + "/temp_E"));
    EXPECT_TRUE(trace.contains("File too large"));
    const std::vector<std::string> names = names_in(data());
    ASSERT_EQ(1u, names.size()) << "no temporary file stays behind";
    EXPECT_EQ('L', names[0][0]);
    Batch batch = claim(q.get(), "LE");
    ASSERT_EQ(1, batch.rc);
    ASSERT_EQ(0, qz_pqueue_data_read(batch.entries[0].get()));
    EXPECT_STREQ("small", batch.entries[0]->data);
}

TEST_F(Pqueue, UnwritableDataDirectoryFailsThePush) {
    QueuePtr q = open();
    ASSERT_EQ(0, push(q.get(), 'E', "before"));
    fs::rename(data(), root() + "/moved");
    write_file(data(), "a file where the directory was");
    TraceCapture trace;
    EXPECT_EQ(-1, push(q.get(), 'E', "lost"));
    EXPECT_TRUE(trace.contains("Failed to write buffer to file " + data() + "/temp_E"));
    EXPECT_TRUE(trace.contains("Not a directory"));
    Batch batch = claim(q.get(), "E");
    EXPECT_EQ(-1, batch.rc);
    EXPECT_EQ(nullptr, qz_pqueue_pop(q.get(), 'E'));
}

// ---------------------------------------------------------------------------------------------
// Claiming and putting back

TEST_F(Pqueue, ClaimRenamesToTheClaimedNameOfThisProcess) {
    QueuePtr q = open();
    ASSERT_EQ(0, push(q.get(), 'E', "event"));
    ASSERT_EQ(0, push(q.get(), 'L', "log"));
    ASSERT_EQ(0, push(q.get(), 'X', "other type"));
    const std::vector<std::string> before = names_in(data());
    ASSERT_EQ(3u, stat_elements(q.get()));

    Batch batch = claim(q.get(), "LE");
    ASSERT_EQ(2, batch.rc);
    const std::string pid = std::to_string(getpid());
    std::set<char> prefixes;
    for (const EntryPtr& e : batch.entries) {
        const std::string original = fs::path(e->origpath).filename();
        EXPECT_EQ(data_file(original), e->origpath);
        EXPECT_EQ(data_file("claimed_" + pid + "_" + original), e->path);
        EXPECT_EQ(original[0], e->prefix);
        EXPECT_EQ(nullptr, e->data);
        EXPECT_FALSE(fs::exists(e->origpath));
        ASSERT_EQ(0, qz_pqueue_data_read(e.get()));
        EXPECT_EQ(e->prefix == 'E' ? "event" : "log", std::string(e->data));
        EXPECT_EQ(e->prefix == 'E' ? 5u : 3u, e->size);
        EXPECT_EQ('\0', e->data[e->size]);
        prefixes.insert(e->prefix);
    }
    EXPECT_EQ((std::set<char>{'E', 'L'}), prefixes);
    EXPECT_EQ(1u, stat_elements(q.get()));
    EXPECT_EQ(2u, names_starting(data(), "claimed_").size());

    Batch other = claim(q.get(), "X");
    ASSERT_EQ(1, other.rc);
    EXPECT_EQ('X', other.entries[0]->prefix);
    EXPECT_EQ(0, claim(q.get(), "LEX").rc);
}

TEST_F(Pqueue, ClaimTakesAtMostCountAndNothingFromAnEmptyQueue) {
    QueuePtr q = open();
    qz_pqueue_data** raw = reinterpret_cast<qz_pqueue_data**>(0x1);
    EXPECT_EQ(0, qz_pqueue_claim_batch(q.get(), "LE", 128, &raw));
    EXPECT_EQ(nullptr, raw);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(0, push(q.get(), 'E', "e" + std::to_string(i)));
    EXPECT_EQ(2, claim(q.get(), "E", 2).rc);
    EXPECT_EQ(0, claim(q.get(), "L").rc);
    EXPECT_EQ(3, claim(q.get(), "E", 128).rc);
    EXPECT_EQ(0u, stat_elements(q.get())) << "never below zero";
    EXPECT_EQ(0, claim(q.get(), "E").rc);
    EXPECT_EQ(0u, stat_elements(q.get()));
}

TEST_F(Pqueue, InvalidClaimsAreRefused) {
    QueuePtr q = open();
    qz_pqueue_data** raw = nullptr;
    TraceCapture trace;
    EXPECT_EQ(-1, qz_pqueue_claim_batch(nullptr, "LE", 1, &raw));
    EXPECT_EQ(-1, qz_pqueue_claim_batch(q.get(), nullptr, 1, &raw));
    EXPECT_EQ(-1, qz_pqueue_claim_batch(q.get(), "LE", 0, &raw));
    EXPECT_EQ(-1, qz_pqueue_claim_batch(q.get(), "LE", -1, &raw));
    EXPECT_EQ(-1, qz_pqueue_claim_batch(q.get(), "LE", 1, nullptr));
    EXPECT_EQ(nullptr, raw);
    EXPECT_TRUE(trace.contains("Invalid parameters"));
}

TEST_F(Pqueue, GarbageIsNeverClaimedAndNeverBlocksRealEntries) {
    QueuePtr q = open();
    // Many foreign names that begin with a type character, listed before or after the real one.
    for (int i = 0; i < 200; ++i) write_file(data_file("Egarbage" + std::to_string(i)), "x");
    write_file(data_file("notes.txt"), "admin notes");
    write_file(data_file("E" + std::string(kUuid1) + ".tmp"), "wrong suffix");
    write_file(data_file("Enot-a-uuid-at-all-but-thirty-six-ch.dat"), "bad uuid");
    fs::create_directory(data_file(entry_name('E', kUuid1)));
    write_file(dir_.file("secret"), "must not leave the host");
    fs::create_symlink(dir_.file("secret"), data_file(entry_name('E', kUuid2)));
    write_file(data_file("temp_" + entry_name('E', kUuid3)), "half writ");
    write_file(data_file("claimed_99999999_" + entry_name('L', kUuid3)), "claimed elsewhere");
    ASSERT_EQ(0, push(q.get(), 'E', "real"));

    Batch batch = claim(q.get(), "LE", 1);
    ASSERT_EQ(1, batch.rc);
    ASSERT_EQ(0, qz_pqueue_data_read(batch.entries[0].get()));
    EXPECT_STREQ("real", batch.entries[0]->data);
    EXPECT_EQ(0, claim(q.get(), "LE").rc);
    EXPECT_EQ("half writ", read_file(data_file("temp_" + entry_name('E', kUuid3))));
}

TEST_F(Pqueue, DamagedEntriesAreHandedOutAsTheyAre) {
    // A name of the entry form is an entry: an empty or cut file is given to the consumer, whose
    // task is to drop what it cannot use; the entries behind it are not held up.
    QueuePtr q = open();
    write_file(data_file(entry_name('E', kUuid1)), "");
    write_file(data_file(entry_name('L', kUuid2)), "{\"LogVersion\":1,\"Times");
    ASSERT_EQ(0, push(q.get(), 'E', "{\"ok\":true}"));
    Batch batch = claim(q.get(), "LE");
    ASSERT_EQ(3, batch.rc);
    std::multiset<std::string> contents;
    for (const EntryPtr& e : batch.entries) {
        ASSERT_EQ(0, qz_pqueue_data_read(e.get()));
        ASSERT_NE(nullptr, e->data);
        EXPECT_EQ(strlen(e->data), e->size);
        contents.insert(e->data);
    }
    EXPECT_EQ((std::multiset<std::string>{"", "{\"LogVersion\":1,\"Times", "{\"ok\":true}"}),
              contents);
}

TEST_F(Pqueue, OpeningReportsGarbageWithWarnings) {
    ASSERT_TRUE(open());
    write_file(data_file("notes.txt"), "x");
    write_file(data_file(entry_name('E', kUuid1)), "");
    write_file(data_file(entry_name('Q', kUuid2)), "unknown type");
    write_file(data_file("claimed_x_" + entry_name('E', kUuid3)), "bad claim");
    TraceCapture trace(3);
    QueuePtr q = open(0);
    ASSERT_TRUE(q);
    EXPECT_TRUE(trace.contains("Ignoring foreign file notes.txt in " + data()));
    EXPECT_TRUE(trace.contains("Queue entry " + entry_name('E', kUuid1) + " is empty"));
    EXPECT_TRUE(trace.contains("Queue entry " + entry_name('Q', kUuid2) + " has an unknown type"));
    EXPECT_TRUE(trace.contains("Cannot parse claim filename 'claimed_x_" + entry_name('E', kUuid3) +
                               "'; leaving in place"));
    EXPECT_EQ(4u, names_in(data()).size()) << "garbage is reported, not deleted";
}

TEST_F(Pqueue, PutBackRestoresTheEntryAndNeverOverwrites) {
    QueuePtr q = open();
    ASSERT_EQ(0, push(q.get(), 'L', "first"));
    Batch batch = claim(q.get(), "L");
    ASSERT_EQ(1, batch.rc);
    qz_pqueue_data* e = batch.entries[0].get();
    EXPECT_EQ(0, qz_pqueue_put_back(e));
    EXPECT_EQ("first", read_file(e->origpath));
    EXPECT_FALSE(fs::exists(e->path));

    Batch again = claim(q.get(), "L");
    ASSERT_EQ(1, again.rc);
    qz_pqueue_data* second = again.entries[0].get();
    write_file(second->origpath, "someone else's");
    TraceCapture trace;
    EXPECT_EQ(-1, qz_pqueue_put_back(second));
    EXPECT_TRUE(trace.contains(std::string("Failed to put back ") + second->path));
    EXPECT_EQ("someone else's", read_file(second->origpath));
    EXPECT_EQ("first", read_file(second->path));

    EXPECT_EQ(-1, qz_pqueue_put_back(nullptr));
    EntryPtr popped(qz_pqueue_pop(q.get(), 'L'));
    ASSERT_TRUE(popped);
    EXPECT_EQ(nullptr, popped->origpath);
    EXPECT_EQ(-1, qz_pqueue_put_back(popped.get())) << "a popped entry was never claimed";
}

// ---------------------------------------------------------------------------------------------
// Stale claims and recovery

TEST_F(Pqueue, ClaimsOfEndedProcessesComeBackOnOpen) {
    ASSERT_TRUE(open());
    const std::string dead = std::to_string(ended_pid());
    write_file(data_file("claimed_" + dead + "_" + entry_name('E', kUuid1)), "e1");
    write_file(data_file("claimed_" + dead + "_" + entry_name('L', kUuid2)), "l2");
    write_file(data_file("claimed_1_" + entry_name('E', kUuid3)), "held by a live process");
    TraceCapture trace;
    QueuePtr q = open(0);
    ASSERT_TRUE(q);
    EXPECT_EQ("e1", read_file(data_file(entry_name('E', kUuid1))));
    EXPECT_EQ("l2", read_file(data_file(entry_name('L', kUuid2))));
    EXPECT_TRUE(fs::exists(data_file("claimed_1_" + entry_name('E', kUuid3))));
    EXPECT_TRUE(trace.contains("Re-entered 2 stale claimed queue entries into the dispatch pool"));
    EXPECT_TRUE(trace.contains("Reclaimed stale claimed entry " + data() + "/claimed_" + dead));
}

TEST_F(Pqueue, ReclaimPutsBackClaimsOfEndedProcessesAndAgedClaims) {
    QueuePtr q = open();
    ASSERT_EQ(0, push(q.get(), 'E', "mine"));
    Batch mine = claim(q.get(), "E");  // this process now holds a live claim
    ASSERT_EQ(1, mine.rc);
    const time_t now = time(nullptr);
    const std::string dead = std::to_string(ended_pid());
    const std::string live = std::to_string(getppid());
    const std::string dead_claim = "claimed_" + dead + "_" + entry_name('L', kUuid1);
    const std::string live_fresh = "claimed_" + live + "_" + entry_name('E', kUuid2);
    const std::string live_aged = "claimed_" + live + "_" + entry_name('E', kUuid3);
    write_file(data_file(dead_claim), "dead");
    write_file(data_file(live_fresh), "fresh");
    write_file(data_file(live_aged), "aged");
    set_mtime(data_file(live_aged), now - 7200);

    TraceCapture trace;
    EXPECT_EQ(2, qz_pqueue_reclaim_stale_claims(q.get(), 3600));
    EXPECT_EQ("dead", read_file(data_file(entry_name('L', kUuid1))));
    EXPECT_EQ("aged", read_file(data_file(entry_name('E', kUuid3))));
    EXPECT_TRUE(fs::exists(data_file(live_fresh)));
    EXPECT_TRUE(fs::exists(mine.entries[0]->path)) << "a fresh claim of a live process stays";
    EXPECT_TRUE(trace.contains("Re-entered 2 stale claimed queue entries into the dispatch pool"));

    trace.clear();
    EXPECT_EQ(2, qz_pqueue_reclaim_stale_claims(q.get(), 0)) << "every claim is old enough";
    EXPECT_TRUE(fs::exists(mine.entries[0]->origpath));
    EXPECT_TRUE(names_starting(data(), "claimed_").empty());
    EXPECT_EQ(0, qz_pqueue_reclaim_stale_claims(q.get(), 0));
    EXPECT_EQ(-1, qz_pqueue_reclaim_stale_claims(q.get(), -1));
    EXPECT_EQ(-1, qz_pqueue_reclaim_stale_claims(nullptr, 3600));
}

TEST_F(Pqueue, ReclaimOfOneEntryAndOfATakenNameIsReported) {
    QueuePtr q = open();
    const std::string dead = std::to_string(ended_pid());
    write_file(data_file("claimed_" + dead + "_" + entry_name('E', kUuid1)), "one");
    {
        TraceCapture trace;
        EXPECT_EQ(1, qz_pqueue_reclaim_stale_claims(q.get(), 3600));
        EXPECT_TRUE(
            trace.contains("Re-entered 1 stale claimed queue entry into the dispatch pool"));
    }
    // The original name is taken: the claim stays where it is, nothing is overwritten.
    write_file(data_file("claimed_" + dead + "_" + entry_name('E', kUuid1)), "duplicate");
    TraceCapture trace;
    EXPECT_EQ(0, qz_pqueue_reclaim_stale_claims(q.get(), 3600));
    EXPECT_TRUE(trace.contains("Failed to reclaim stale claimed entry '" + data() + "/claimed_"));
    EXPECT_EQ("one", read_file(data_file(entry_name('E', kUuid1))));
    EXPECT_EQ("duplicate", read_file(data_file("claimed_" + dead + "_" + entry_name('E', kUuid1))));
}

TEST_F(Pqueue, ReclaimSkipsWhileTheQueueIsBusy) {
    QueuePtr q = open();
    QueuePtr other = open(0);
    const std::string dead = std::to_string(ended_pid());
    write_file(data_file("claimed_" + dead + "_" + entry_name('E', kUuid1)), "x");
    ASSERT_EQ(0, qz_pqueue_lock(other.get()));
    TraceCapture trace;
    EXPECT_EQ(0, qz_pqueue_reclaim_stale_claims(q.get(), 3600));
    EXPECT_TRUE(trace.contains("Queue busy; skipping stale-claim reclaim sweep"));
    EXPECT_EQ(0, qz_pqueue_unlock(other.get()));
    EXPECT_EQ(1, qz_pqueue_reclaim_stale_claims(q.get(), 3600));
    // The holder of the lock may sweep as well.
    write_file(data_file("claimed_" + dead + "_" + entry_name('E', kUuid2)), "y");
    ASSERT_EQ(0, qz_pqueue_lock(q.get()));
    EXPECT_EQ(1, qz_pqueue_reclaim_stale_claims(q.get(), 3600));
    EXPECT_EQ(0, qz_pqueue_unlock(q.get()));
}

TEST_F(Pqueue, AbandonedTemporaryFilesAreRemovedAndFreshOnesLeftAlone) {
    QueuePtr q = open();
    const std::string abandoned = data_file("temp_" + entry_name('E', kUuid1));
    const std::string fresh = data_file("temp_" + entry_name('E', kUuid2));
    write_file(abandoned, "half");
    write_file(fresh, "being written");
    set_mtime(abandoned, time(nullptr) - 601);
    TraceCapture trace;
    EXPECT_EQ(0, qz_pqueue_reclaim_stale_claims(q.get(), 3600));
    EXPECT_FALSE(fs::exists(abandoned));
    EXPECT_TRUE(fs::exists(fresh));
    EXPECT_TRUE(trace.contains("Removed abandoned temporary file " + abandoned));
}

// ---------------------------------------------------------------------------------------------
// Popping, reading, purging

TEST_F(Pqueue, PopReturnsTheOldestEntryOfTheTypeAndLeavesTheFile) {
    QueuePtr q = open();
    const time_t now = time(nullptr);
    write_file(data_file(entry_name('E', kUuid1)), "newer");
    write_file(data_file(entry_name('E', kUuid2)), "oldest");
    write_file(data_file(entry_name('E', kUuid3)), "from the future");
    write_file(data_file(entry_name('L', kUuid3)), "a log, older still");
    write_file(data_file("temp_" + entry_name('E', kUuid3)), "never");
    set_mtime(data_file(entry_name('E', kUuid1)), now - 10);
    set_mtime(data_file(entry_name('E', kUuid2)), now - 20);
    set_mtime(data_file(entry_name('E', kUuid3)), now + 3600);
    set_mtime(data_file(entry_name('L', kUuid3)), now - 30);
    set_mtime(data_file("temp_" + entry_name('E', kUuid3)), now - 40);

    EntryPtr e(qz_pqueue_pop(q.get(), 'E'));
    ASSERT_TRUE(e);
    EXPECT_EQ(data_file(entry_name('E', kUuid2)), e->path);
    EXPECT_EQ(nullptr, e->origpath);
    EXPECT_EQ('E', e->prefix);
    EXPECT_STREQ("oldest", e->data);
    EXPECT_EQ(6u, e->size);
    EXPECT_TRUE(fs::exists(e->path));
    EXPECT_EQ(5u, stat_elements(q.get()));

    EntryPtr l(qz_pqueue_pop(q.get(), 'L'));
    ASSERT_TRUE(l);
    EXPECT_STREQ("a log, older still", l->data);

    TraceCapture trace;
    EXPECT_EQ(nullptr, qz_pqueue_pop(q.get(), 'X'));
    EXPECT_TRUE(trace.contains("Invalid prefix filter"));
    EXPECT_EQ(nullptr, qz_pqueue_pop(nullptr, 'E'));
    fs::remove_all(data());
    fs::create_directory(data());
    EXPECT_EQ(nullptr, qz_pqueue_pop(q.get(), 'E'));
}

TEST_F(Pqueue, ReadingFailuresAreReported) {
    QueuePtr q = open();
    TraceCapture trace;
    EXPECT_EQ(-1, qz_pqueue_data_read(nullptr));
    EXPECT_EQ(-1, qz_pqueue_data_free(nullptr));

    auto* missing = static_cast<qz_pqueue_data*>(calloc(1, sizeof(qz_pqueue_data)));
    missing->path = strdup(data_file("gone.dat").c_str());
    EntryPtr owner(missing);
    EXPECT_EQ(-1, qz_pqueue_data_read(missing));
    EXPECT_TRUE(trace.contains("Failed to get size of " + data_file("gone.dat")));
    EXPECT_EQ(nullptr, missing->data);
    EXPECT_EQ(0u, missing->size);

    // A link in the queue is not followed.
    write_file(dir_.file("secret"), "secret");
    fs::create_symlink(dir_.file("secret"), data_file("link.dat"));
    free(missing->path);
    missing->path = strdup(data_file("link.dat").c_str());
    EXPECT_EQ(-1, qz_pqueue_data_read(missing));
    EXPECT_EQ(nullptr, missing->data);

    fs::create_directory(data_file("dir.dat"));
    free(missing->path);
    missing->path = strdup(data_file("dir.dat").c_str());
    EXPECT_EQ(-1, qz_pqueue_data_read(missing));
    EXPECT_TRUE(trace.contains("not a regular file"));
}

TEST_F(Pqueue, PurgeEmptiesTheDataDirectoryAndKeepsTheControlFile) {
    QueuePtr q = open(O_CREAT, 100, 5000, 1);
    ASSERT_EQ(0, push(q.get(), 'E', "one"));
    ASSERT_EQ(0, push(q.get(), 'L', "two"));
    Batch batch = claim(q.get(), "E");
    write_file(data_file("temp_" + entry_name('E', kUuid1)), "t");
    fs::create_directories(data_file("foreign/dir"));
    EXPECT_EQ(0, qz_pqueue_purge(q.get()));
    EXPECT_TRUE(names_in(data()).empty());
    EXPECT_EQ(0u, stat_elements(q.get()));
    EXPECT_EQ(0u, stat_bytes(q.get()));
    EXPECT_EQ("100\n5000\n1\n", read_file(root() + "/control"));
    EXPECT_EQ(0, push(q.get(), 'E', "after"));
    EXPECT_EQ(1u, stat_elements(q.get()));

    // A damaged control file is written again.
    write_file(root() + "/control", "garbage");
    EXPECT_EQ(0, qz_pqueue_purge(q.get()));
    EXPECT_EQ("100\n5000\n1\n", read_file(root() + "/control"));
    EXPECT_EQ(-1, qz_pqueue_purge(nullptr));
}

TEST_F(Pqueue, PurgeWaitsBrieflyForTheLockAndWorksUnderItsOwnHold) {
    QueuePtr q = open();
    QueuePtr other = open(0);
    ASSERT_EQ(0, push(q.get(), 'E', "x"));
    std::atomic<int> held{1};  // 1 until the holder has tried
    std::thread holder([&] {
        held = qz_pqueue_lock(other.get());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        qz_pqueue_unlock(other.get());
    });
    while (held == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(0, held.load());
    EXPECT_EQ(0, qz_pqueue_purge(q.get()));
    holder.join();
    EXPECT_TRUE(names_in(data()).empty());

    ASSERT_EQ(0, push(q.get(), 'E', "y"));
    ASSERT_EQ(0, qz_pqueue_lock(q.get()));
    EXPECT_EQ(0, qz_pqueue_purge(q.get()));
    EXPECT_GE(q->lockfd, 0) << "the caller's hold survives";
    EXPECT_EQ(0, qz_pqueue_unlock(q.get()));
    EXPECT_TRUE(names_in(data()).empty());
}

// ---------------------------------------------------------------------------------------------
// The queue lock

TEST_F(Pqueue, LockExcludesOtherObjectsAndOtherThreadsWithoutWaiting) {
    QueuePtr q = open();
    QueuePtr other = open(0);
    ASSERT_EQ(0, qz_pqueue_lock(q.get()));
    EXPECT_GE(q->lockfd, 0);
    EXPECT_EQ(-1, qz_pqueue_lock(other.get()));
    EXPECT_EQ(-1, other->lockfd);
    EXPECT_EQ(-1, qz_pqueue_lock(q.get())) << "not re-entrant";
    int from_thread = 0, unlock_from_thread = 0;
    std::thread t([&] {
        from_thread = qz_pqueue_lock(q.get());
        unlock_from_thread = qz_pqueue_unlock(q.get());
    });
    t.join();
    EXPECT_EQ(-1, from_thread);
    EXPECT_EQ(-1, unlock_from_thread);
    EXPECT_EQ(0, qz_pqueue_unlock(q.get()));
    EXPECT_EQ(-1, q->lockfd);
    EXPECT_EQ(0, qz_pqueue_lock(other.get()));
    EXPECT_EQ(0, qz_pqueue_unlock(other.get()));
}

TEST_F(Pqueue, LockMisuseIsRefused) {
    QueuePtr q = open();
    TraceCapture trace;
    EXPECT_EQ(-1, qz_pqueue_unlock(q.get()));
    EXPECT_TRUE(trace.contains("Queue " + root() + " is not locked"));
    EXPECT_EQ(-1, qz_pqueue_lock(nullptr));
    EXPECT_EQ(-1, qz_pqueue_unlock(nullptr));
    EXPECT_EQ(-1, qz_pqueue_close(nullptr));
    fs::remove(root() + "/control");
    EXPECT_EQ(-1, qz_pqueue_lock(q.get()));
    EXPECT_TRUE(trace.contains("Failed to open " + root() + "/control"));
}

TEST_F(Pqueue, CloseReleasesTheCallersLockButNotAnotherThreads) {
    QueuePtr other = open();
    qz_pqueue* q = qz_pqueue_open(dir_.path().c_str(), "VSA.pq", 1, 1, 0, 1);
    ASSERT_NE(nullptr, q);
    ASSERT_EQ(0, qz_pqueue_lock(q));
    EXPECT_EQ(0, qz_pqueue_close(q));
    EXPECT_EQ(0, qz_pqueue_lock(other.get())) << "closing released the lock";

    std::atomic<int> close_rc{0};
    std::thread t([&] { close_rc = qz_pqueue_close(other.get()); });
    t.join();
    EXPECT_EQ(-1, close_rc.load());
    EXPECT_EQ(0, qz_pqueue_unlock(other.get()));
}

// ---------------------------------------------------------------------------------------------
// Threads: scan threads push while one dispatcher thread claims, as in a host process.

TEST_F(Pqueue, ConcurrentPushersAndOneClaimerLoseAndDuplicateNothing) {
    QueuePtr q = open();
    constexpr int kPushers = 4, kPerPusher = 60;
    std::atomic<int> pushed{0}, failed{0};
    std::atomic<bool> pushing{true};
    std::map<std::string, int> received;
    std::thread claimer([&] {
        for (;;) {
            const bool last_pass = !pushing.load();
            if (qz_pqueue_lock(q.get()) != 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            qz_pqueue_data** raw = nullptr;
            const int n = qz_pqueue_claim_batch(q.get(), "LE", 16, &raw);
            qz_pqueue_unlock(q.get());
            for (int i = 0; i < n; ++i) {
                if (qz_pqueue_data_read(raw[i]) == 0) ++received[raw[i]->data];
                unlink(raw[i]->path);
                qz_pqueue_data_free(raw[i]);
            }
            free(raw);
            if (n <= 0 && last_pass) break;
        }
    });
    std::vector<std::thread> pushers;
    for (int t = 0; t < kPushers; ++t) {
        pushers.emplace_back([&, t] {
            for (int i = 0; i < kPerPusher; ++i) {
                const std::string text = "t" + std::to_string(t) + "-" + std::to_string(i);
                if (qz_pqueue_push(q.get(), i % 2 ? 'E' : 'L', text.data(), text.size()) == 0)
                    ++pushed;
                else
                    ++failed;
            }
        });
    }
    for (std::thread& t : pushers) t.join();
    pushing = false;
    claimer.join();
    EXPECT_EQ(0, failed.load());
    EXPECT_EQ(kPushers * kPerPusher, pushed.load());
    EXPECT_EQ(static_cast<size_t>(kPushers * kPerPusher), received.size());
    for (const auto& [text, count] : received) EXPECT_EQ(1, count) << text;
    EXPECT_TRUE(names_in(data()).empty());
}

}  // namespace
