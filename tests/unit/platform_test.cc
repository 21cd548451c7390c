#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/critical_section.h"
#include "platform/dynlib.h"
#include "platform/error_text.h"
#include "platform/file_io.h"
#include "platform/file_lock.h"
#include "platform/host.h"
#include "platform/memmap.h"
#include "platform/process.h"
#include "platform/semaphore.h"
#include "platform/thread.h"
#include "platform/uuid.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A semaphore name no other test run uses; removed from the system when the test ends.
class UniqueSemaphoreName {
  public:
    explicit UniqueSemaphoreName(const std::string& tag) {
        static std::atomic<int> counter{0};
        name_ = "qztest-" + tag + "-" + std::to_string(getpid()) + "-" +
                std::to_string(counter.fetch_add(1));
    }
    ~UniqueSemaphoreName() { QZsem_remove(name_.c_str()); }
    const char* c_str() const { return name_.c_str(); }

  private:
    std::string name_;
};

// ---------------------------------------------------------------------------------------------
// Critical sections

TEST(CriticalSection, OwnerReentersOtherThreadIsExcluded) {
    QZ_CRITICAL_SECTION cs;
    ASSERT_EQ(0, QZ_InitializeCriticalSection(&cs, 1024));
    QZ_EnterCriticalSection(&cs);
    EXPECT_EQ(1, QZ_TryEnterCriticalSection(&cs));  // re-entry by the owner

    int other_result = -1;
    std::thread([&] { other_result = QZ_TryEnterCriticalSection(&cs); }).join();
    EXPECT_EQ(0, other_result);

    QZ_LeaveCriticalSection(&cs);
    std::thread([&] { other_result = QZ_TryEnterCriticalSection(&cs); }).join();
    EXPECT_EQ(0, other_result) << "left once, entered twice: still owned";

    QZ_LeaveCriticalSection(&cs);
    std::thread([&] {
        other_result = QZ_TryEnterCriticalSection(&cs);
        if (other_result == 1) QZ_LeaveCriticalSection(&cs);
    }).join();
    EXPECT_EQ(1, other_result);
    QZ_DeleteCriticalSection(&cs);
}

TEST(CriticalSection, GuardSerialisesThreads) {
    QZ_CRITICAL_SECTION cs;
    ASSERT_EQ(0, QZ_InitializeCriticalSection(&cs, 0));
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                qz::CriticalSectionLock lock(&cs);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(40000, counter);
    QZ_DeleteCriticalSection(&cs);
}

// ---------------------------------------------------------------------------------------------
// Semaphores

TEST(Semaphore, SystemNameReplacesSeparatorsAndAddsSlash) {
    char out[64];
    ASSERT_EQ(0, QZsem_system_name("run/dir\\QZ_jobid", out, sizeof out));
    EXPECT_STREQ("/run_dir_QZ_jobid", out);
    EXPECT_EQ(-1, QZsem_system_name("abc", out, 4)) << "needs room for '/', the name and NUL";
    EXPECT_EQ(0, QZsem_system_name("abc", out, 5));
}

TEST(Semaphore, NameWithSlashesIsSharedUnderItsMappedName) {
    UniqueSemaphoreName base("slash");
    const std::string caller_name = std::string("dir/sub\\") + base.c_str();
    const std::string mapped = std::string("dir_sub_") + base.c_str();

    QZ_SEM_HANDLE created = QZsem_open(caller_name.c_str(), O_CREAT, 0600, 1, 1);
    ASSERT_NE(nullptr, created);
    EXPECT_TRUE(std::filesystem::exists("/dev/shm/sem." + mapped));

    // The underscore spelling is the same system semaphore: its count is shared.
    QZ_SEM_HANDLE same = QZsem_open(mapped.c_str(), 0, 0, 0, 1);
    ASSERT_NE(nullptr, same);
    EXPECT_EQ(0, QZsem_timedwait(created, -1));
    EXPECT_EQ(-1, QZsem_timedwait(same, -1));
    EXPECT_NE(0, QZsem_post(same));
    EXPECT_EQ(0, QZsem_timedwait(same, 0));
    EXPECT_NE(0, QZsem_post(created));

    QZsem_close(same);
    QZsem_close(created);
    EXPECT_EQ(0, QZsem_remove(caller_name.c_str()));
    EXPECT_FALSE(std::filesystem::exists("/dev/shm/sem." + mapped));
}

TEST(Semaphore, OpenWithoutCreateFailsForMissingName) {
    UniqueSemaphoreName name("missing");
    EXPECT_EQ(nullptr, QZsem_open(name.c_str(), 0, 0, 1, 1));
    EXPECT_EQ(nullptr, QZsem_open(name.c_str(), O_RDWR, 0, 1, 1)) << "only O_CREAT creates";
}

TEST(Semaphore, OpenTracesHandleAndRefusesBadArguments) {
    qztest::TraceCapture trace(6);
    UniqueSemaphoreName name("trace");
    QZ_SEM_HANDLE sem = QZsem_open(name.c_str(), O_CREAT, 0, 0, 1);
    ASSERT_NE(nullptr, sem);
    EXPECT_TRUE(trace.contains("Exiting, rc=0x"));
    QZsem_close(sem);

    trace.clear();
    const std::string too_long(4096, 'n');
    EXPECT_EQ(nullptr, QZsem_open(too_long.c_str(), O_CREAT, 0, 1, 1));
    EXPECT_TRUE(trace.contains("ERROR"));
    EXPECT_TRUE(trace.contains("too long"));
    EXPECT_TRUE(trace.contains("Exiting, rc=(nil)"));

    trace.clear();
    UniqueSemaphoreName counts("counts");
    EXPECT_EQ(nullptr, QZsem_open(counts.c_str(), O_CREAT, 0, 2, 1));
    EXPECT_EQ(nullptr, QZsem_open(counts.c_str(), O_CREAT, 0, 0, 0));
    EXPECT_TRUE(trace.contains("Invalid semaphore counts"));
    EXPECT_EQ(nullptr, QZsem_open(nullptr, O_CREAT, 0, 1, 1));
}

TEST(Semaphore, NegativeTimeoutOnlyPolls) {
    UniqueSemaphoreName name("poll");
    QZ_SEM_HANDLE sem = QZsem_open(name.c_str(), O_CREAT, 0, 0, 1);
    ASSERT_NE(nullptr, sem);
    auto start = Clock::now();
    EXPECT_EQ(-1, QZsem_timedwait(sem, -1));
    EXPECT_EQ(-1, QZsem_timedwait(sem, -100000));
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_NE(0, QZsem_post(sem));
    EXPECT_EQ(0, QZsem_timedwait(sem, -1));
    QZsem_close(sem);
}

TEST(Semaphore, TimedWaitTimesOutThenObtainsAPostFromAnotherThread) {
    UniqueSemaphoreName name("timed");
    QZ_SEM_HANDLE sem = QZsem_open(name.c_str(), O_CREAT, 0, 0, 1);
    ASSERT_NE(nullptr, sem);
    auto start = Clock::now();
    EXPECT_EQ(-1, QZsem_timedwait(sem, 100));
    EXPECT_GE(elapsed_ms(start), 90);

    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        QZsem_post(sem);
    });
    EXPECT_EQ(0, QZsem_timedwait(sem, 10000));
    poster.join();
    QZsem_close(sem);
}

TEST(Semaphore, PostAboveMaximumFails) {
    UniqueSemaphoreName name("max");
    QZ_SEM_HANDLE sem = QZsem_open(name.c_str(), O_CREAT, 0, 2, 2);
    ASSERT_NE(nullptr, sem);
    EXPECT_EQ(0, QZsem_post(sem));
    EXPECT_EQ(0, QZsem_timedwait(sem, 0));
    EXPECT_NE(0, QZsem_post(sem));
    EXPECT_EQ(0, QZsem_post(sem));
    // Exactly two counts are available.
    EXPECT_EQ(0, QZsem_timedwait(sem, 0));
    EXPECT_EQ(0, QZsem_timedwait(sem, 0));
    EXPECT_EQ(-1, QZsem_timedwait(sem, 0));
    QZsem_close(sem);
}

TEST(Semaphore, NullHandleFailsWithoutCrashing) {
    EXPECT_EQ(-1, QZsem_timedwait(nullptr, 10));
    EXPECT_EQ(0, QZsem_post(nullptr));
    QZsem_close(nullptr);
    EXPECT_EQ(-1, QZsem_remove(nullptr));
}

TEST(Semaphore, UnlinkIsANoOpThatTraces) {
    qztest::TraceCapture trace(5);
    EXPECT_EQ(0, QZsem_unlink());
    EXPECT_TRUE(trace.contains("Entering"));
    EXPECT_TRUE(trace.contains("rc=0"));
    EXPECT_TRUE(trace.contains("Exiting"));
}

// ---------------------------------------------------------------------------------------------
// Threads

TEST(Thread, RunsFunctionWithArgumentAndJoins) {
    std::atomic<int> value{0};
    QZ_THREAD_HANDLE handle = nullptr;
    ASSERT_EQ(
        0, QZ_CreateThread(
               &handle, [](void* arg) { static_cast<std::atomic<int>*>(arg)->store(42); }, &value));
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(0, QZ_JoinThread(handle));
    EXPECT_EQ(42, value.load());
}

TEST(Thread, NullArgumentsAreRefused) {
    QZ_THREAD_HANDLE handle = nullptr;
    EXPECT_EQ(-1, QZ_CreateThread(&handle, nullptr, nullptr));
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(-1, QZ_CreateThread(
                      nullptr, [](void*) {}, nullptr));
    EXPECT_EQ(-1, QZ_JoinThread(nullptr));
    EXPECT_EQ(-1, QZ_JoinThreadTimeout(nullptr, 10));
    EXPECT_EQ(-1, QZ_KillThread(nullptr));
    EXPECT_EQ(-1, QZ_KillThread(&handle));
}

TEST(Thread, TimedJoinReturnsWhenThreadEndsInTime) {
    QZ_THREAD_HANDLE handle = nullptr;
    ASSERT_EQ(0, QZ_CreateThread(
                     &handle, [](void*) { QZ_Sleep(50); }, nullptr));
    auto start = Clock::now();
    EXPECT_EQ(0, QZ_JoinThreadTimeout(handle, 1000));
    EXPECT_LT(elapsed_ms(start), 900);
}

TEST(Thread, TimedJoinTimesOutAndLeavesThreadJoinable) {
    std::atomic<bool> release{false};
    QZ_THREAD_HANDLE handle = nullptr;
    ASSERT_EQ(0, QZ_CreateThread(
                     &handle,
                     [](void* arg) {
                         auto* flag = static_cast<std::atomic<bool>*>(arg);
                         while (!flag->load()) QZ_Sleep(5);
                     },
                     &release));
    auto start = Clock::now();
    EXPECT_EQ(1, QZ_JoinThreadTimeout(handle, 100));
    EXPECT_GE(elapsed_ms(start), 90);
    EXPECT_EQ(1, QZ_JoinThreadTimeout(handle, 0));
    EXPECT_EQ(1, QZ_JoinThreadTimeout(handle, -5)) << "negative means a single check";

    release.store(true);
    EXPECT_EQ(0, QZ_JoinThreadTimeout(handle, 5000));
}

TEST(Thread, KillCancelsABlockedThreadAndClearsHandle) {
    QZ_THREAD_HANDLE handle = nullptr;
    // pause() directly: ASan keeps stale stack poison of frames that a cancellation unwinds,
    // and reports it falsely when the thread is torn down.
    ASSERT_EQ(0, QZ_CreateThread(
                     &handle,
                     [](void*) {
                         for (;;) pause();
                     },
                     nullptr));
    EXPECT_EQ(0, QZ_KillThread(&handle));
    EXPECT_EQ(nullptr, handle);
}

TEST(Thread, NameIsTruncatedTo15Characters) {
    std::string name;
    std::thread([&] {
        QZ_SetThreadName("qz-a-very-long-thread-name");
        name = qztest::read_file("/proc/thread-self/comm");
    }).join();
    EXPECT_EQ("qz-a-very-long-\n", name);
}

TEST(Thread, IdsIdentifyThreadAndProcess) {
    EXPECT_EQ(static_cast<uint64_t>(getpid()), QZ_GetProcessId());
    uint64_t main_id = QZ_GetThreadId();
    uint64_t other_id = 0;
    std::thread([&] { other_id = QZ_GetThreadId(); }).join();
    EXPECT_NE(0u, other_id);
    EXPECT_NE(main_id, other_id);
}

TEST(Clock, MonotonicMillisecondsAdvanceWithSleep) {
    uint64_t before = qz_monotonic_ms();
    QZ_Sleep(20);
    EXPECT_GE(qz_monotonic_ms() - before, 20u);
}

// ---------------------------------------------------------------------------------------------
// File mapping

class Memmap : public ::testing::Test {
  protected:
    qztest::TempDir dir_;
};

TEST_F(Memmap, MissingFileIsCreatedZeroFilledWithGroupAccess) {
    qztest::TraceCapture trace(6);
    const std::string path = dir_.file("new.dat");
    MEMMAP_HANDLE map = nullptr;
    ASSERT_EQ(0, memmap(path.c_str(), 3000, &map, QZ_MEMMAP_READWRITE));
    ASSERT_NE(nullptr, map);
    EXPECT_EQ(3000u, memGetLength(map));
    const unsigned char* view = static_cast<const unsigned char*>(memGetAddr(map));
    ASSERT_NE(nullptr, view);
    for (size_t i = 0; i < 3000; ++i) ASSERT_EQ(0, view[i]) << "byte " << i;
    memunmap(map);

    struct stat st {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(3000, st.st_size);
    EXPECT_EQ(0660u, st.st_mode & 0777u);
    EXPECT_EQ(std::string(3000, '\0'), qztest::read_file(path));
    EXPECT_TRUE(trace.contains("Exiting: rc = 0"));
}

TEST_F(Memmap, ExistingFileIsMappedWholeWhateverSizeIsGiven) {
    qztest::TraceCapture trace(6);
    const std::string path = dir_.file("existing.dat");
    qztest::write_file(path, "hello mapping");
    MEMMAP_HANDLE map = nullptr;
    ASSERT_EQ(0, memmap(path.c_str(), 999, &map, QZ_MEMMAP_READ));
    EXPECT_EQ(13u, memGetLength(map));
    EXPECT_EQ("hello mapping",
              std::string(static_cast<const char*>(memGetAddr(map)), memGetLength(map)));
    memunmap(map);
    EXPECT_TRUE(trace.contains("File exists " + path + " and is 13 bytes in size"));
    EXPECT_EQ(13u, std::filesystem::file_size(path));
}

TEST_F(Memmap, ZeroLengthFileGivesHandleWithoutView) {
    for (bool create : {false, true}) {
        const std::string path = dir_.file(create ? "created-empty.dat" : "empty.dat");
        if (!create) qztest::write_file(path, "");
        MEMMAP_HANDLE map = nullptr;
        ASSERT_EQ(0, memmap(path.c_str(), 0, &map, QZ_MEMMAP_READWRITE)) << path;
        ASSERT_NE(nullptr, map);
        EXPECT_EQ(0u, memGetLength(map));
        EXPECT_EQ(nullptr, memGetAddr(map));
        EXPECT_EQ(0, memflush(map));
        memunmap(map);
        EXPECT_TRUE(std::filesystem::exists(path));
    }
}

TEST_F(Memmap, ReadWriteViewIsSharedAndPersistsAfterFlush) {
    const std::string path = dir_.file("rw.dat");
    MEMMAP_HANDLE writer = nullptr;
    MEMMAP_HANDLE reader = nullptr;
    ASSERT_EQ(0, memmap(path.c_str(), 64, &writer, QZ_MEMMAP_READWRITE));
    ASSERT_EQ(0, memmap(path.c_str(), 0, &reader, QZ_MEMMAP_READ));
    std::memcpy(memGetAddr(writer), "persist", 7);
    EXPECT_EQ(0, std::memcmp(memGetAddr(reader), "persist", 7)) << "views share the pages";
    EXPECT_EQ(0, memflush(writer));
    memunmap(writer);
    memunmap(reader);
    std::string content = qztest::read_file(path);
    ASSERT_EQ(64u, content.size());
    EXPECT_EQ("persist", content.substr(0, 7));
    EXPECT_EQ(std::string(57, '\0'), content.substr(7));
}

TEST_F(Memmap, FailuresReturnMinusThreeWithTheirTrace) {
    qztest::TraceCapture trace(5);
    MEMMAP_HANDLE map = reinterpret_cast<MEMMAP_HANDLE>(0x1);

    EXPECT_EQ(-3, memmap(dir_.file("no/such/dir/x.dat").c_str(), 10, &map, QZ_MEMMAP_READ));
    EXPECT_EQ(nullptr, map);
    EXPECT_TRUE(trace.contains("memmap(): Could not create the file"));

    // A path below a regular file: stat fails with ENOTDIR, so the file counts as present.
    const std::string plain = dir_.file("plain");
    qztest::write_file(plain, "x");
    EXPECT_EQ(-3, memmap((plain + "/child").c_str(), 10, &map, QZ_MEMMAP_READ));
    EXPECT_TRUE(trace.contains("memmap(): open failed: (20) Not a directory"));

    // A directory opens but cannot be mapped (where it reports a size to map at all).
    struct stat st {};
    ASSERT_EQ(0, stat(dir_.path().c_str(), &st));
    if (st.st_size > 0) {
        EXPECT_EQ(-3, memmap(dir_.path().c_str(), 0, &map, QZ_MEMMAP_READ));
        EXPECT_TRUE(trace.contains("memmap(): mmap failed"));
    }

    EXPECT_EQ(-3, memmap(nullptr, 10, &map, QZ_MEMMAP_READ));
    EXPECT_EQ(-3, memmap(dir_.file("y.dat").c_str(), 10, nullptr, QZ_MEMMAP_READ));
    EXPECT_EQ(-1, memflush(nullptr));
    EXPECT_EQ(nullptr, memGetAddr(nullptr));
    EXPECT_EQ(0u, memGetLength(nullptr));
    memunmap(nullptr);
}

TEST_F(Memmap, FailedZeroFillLeavesNoShortFile) {
    qztest::TraceCapture trace(5);
    const std::string path = dir_.file("big.dat");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A file size limit makes the zero-fill fail part-way (EFBIG instead of SIGXFSZ).
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            2048, 2048
        };
        setrlimit(RLIMIT_FSIZE, &limit);
        MEMMAP_HANDLE map = nullptr;
        int rc = memmap(path.c_str(), 10000, &map, QZ_MEMMAP_READWRITE);
        _exit(rc == -3 && map == nullptr ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(trace.contains("memmap(): Could not write to file"));
}

// ---------------------------------------------------------------------------------------------
// File locks and renames

TEST(FileLock, SecondDescriptorInSameProcessIsExcluded) {
    qztest::TempDir dir;
    const std::string path = dir.file("control.lock");
    int first = open(path.c_str(), O_RDWR | O_CREAT, 0600);
    int second = open(path.c_str(), O_RDWR);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);

    ASSERT_EQ(0, qz_file_lock_exclusive(first, 0));
    EXPECT_EQ(-1, qz_file_lock_exclusive(second, 0));

    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        if (qz_file_lock_exclusive(second, 1) == 0) acquired.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(acquired.load());
    EXPECT_EQ(0, qz_file_unlock(first));
    waiter.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(-1, qz_file_lock_exclusive(first, 0));
    EXPECT_EQ(0, qz_file_unlock(second));
    EXPECT_EQ(0, qz_file_lock_exclusive(first, 0));

    close(first);
    close(second);
    EXPECT_EQ(-1, qz_file_lock_exclusive(-1, 0));
    EXPECT_EQ(-1, qz_file_unlock(-1));
}

TEST(FileLock, RenameNoReplaceRefusesExistingTarget) {
    qztest::TempDir dir;
    const std::string from = dir.file("from");
    const std::string to = dir.file("to");
    qztest::write_file(from, "new");
    qztest::write_file(to, "old");

    errno = 0;
    EXPECT_EQ(-1, qz_rename_noreplace(from.c_str(), to.c_str()));
    EXPECT_EQ(EEXIST, errno);
    EXPECT_EQ("new", qztest::read_file(from));
    EXPECT_EQ("old", qztest::read_file(to));

    std::filesystem::remove(to);
    EXPECT_EQ(0, qz_rename_noreplace(from.c_str(), to.c_str()));
    EXPECT_FALSE(std::filesystem::exists(from));
    EXPECT_EQ("new", qztest::read_file(to));

    errno = 0;
    EXPECT_EQ(-1, qz_rename_noreplace(from.c_str(), dir.file("other").c_str()));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(-1, qz_rename_noreplace(nullptr, to.c_str()));
}

TEST(FileLock, FsyncDirectory) {
    qztest::TempDir dir;
    EXPECT_EQ(0, qz_fsync_dir(dir.path().c_str()));
    EXPECT_EQ(-1, qz_fsync_dir(dir.file("missing").c_str()));
    qztest::write_file(dir.file("file"), "x");
    EXPECT_EQ(-1, qz_fsync_dir(dir.file("file").c_str())) << "not a directory";
    EXPECT_EQ(-1, qz_fsync_dir(nullptr));
}

// ---------------------------------------------------------------------------------------------
// UUIDs

void expect_canonical(const std::string& text, char version) {
    ASSERT_EQ(36u, text.size()) << text;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ('-', text[i]) << text;
        } else {
            EXPECT_TRUE(std::strchr("0123456789abcdef", text[i]) != nullptr) << text;
        }
    }
    EXPECT_EQ(version, text[14]) << text;
    EXPECT_TRUE(std::strchr("89ab", text[19]) != nullptr) << text;
}

TEST(Uuid, RandomAndTimeBasedAreCanonicalLowerCaseAndUnique) {
    struct Case {
        int (*generate)(qz_uuid_t);
        char version;
    };
    const Case kCases[] = {{qz_uuid_generate_random, '4'}, {qz_uuid_generate_time_safe, '1'}};
    for (const Case& c : kCases) {
        std::set<std::string> seen;
        for (int i = 0; i < 1000; ++i) {
            qz_uuid_t uuid;
            ASSERT_EQ(0, c.generate(uuid));
            char text[37];
            ASSERT_EQ(0, qz_uuid_unparse_lower(uuid, text));
            ASSERT_EQ('\0', text[36]);
            if (i < 5) expect_canonical(text, c.version);
            seen.insert(text);
        }
        EXPECT_EQ(1000u, seen.size()) << "version " << c.version;
    }
}

// ---------------------------------------------------------------------------------------------
// Dynamic libraries

void function_in_test_binary() {}

TEST(Dynlib, OpenFailureTellsWhy) {
    EXPECT_EQ(nullptr, qz_dl_open("/nonexistent/dir/libqzmissing.so"));
    EXPECT_NE(nullptr, std::strstr(qz_dl_error(), "libqzmissing.so")) << qz_dl_error();
    EXPECT_EQ(nullptr, qz_dl_open(nullptr));
    EXPECT_EQ(-1, qz_dl_close(nullptr));

    std::string fresh;
    std::thread([&] { fresh = qz_dl_error(); }).join();
    EXPECT_EQ("unknown loader error", fresh) << "the reason is kept per thread";
}

TEST(Dynlib, ResolvesSymbolsAndReportsMissingOnes) {
    void* libc = qz_dl_open("libc.so.6");
    ASSERT_NE(nullptr, libc) << qz_dl_error();
    EXPECT_NE(nullptr, qz_dl_symbol(libc, "strlen"));
    EXPECT_EQ(nullptr, qz_dl_symbol(libc, "qz_no_such_symbol"));
    EXPECT_NE(nullptr, std::strstr(qz_dl_error(), "qz_no_such_symbol")) << qz_dl_error();
    EXPECT_EQ(nullptr, qz_dl_symbol(nullptr, "strlen"));
    EXPECT_EQ(0, qz_dl_close(libc));
}

TEST(Dynlib, ModulePathOfFunctions) {
    char path[4096];
    ASSERT_EQ(0, qz_module_path(reinterpret_cast<const void*>(&function_in_test_binary), path,
                                sizeof path));
    EXPECT_EQ(std::filesystem::canonical("/proc/self/exe").string(), path);

    // Resolved through the library itself: sanitizers interpose their own strlen.
    void* libc = qz_dl_open("libc.so.6");
    ASSERT_NE(nullptr, libc);
    const void* libc_strlen = qz_dl_symbol(libc, "strlen");
    ASSERT_EQ(0, qz_module_path(libc_strlen, path, sizeof path));
    EXPECT_EQ('/', path[0]);
    EXPECT_NE(nullptr, std::strstr(path, "libc")) << path;
    qz_dl_close(libc);

    EXPECT_EQ(-1, qz_module_path(reinterpret_cast<const void*>(&function_in_test_binary), path, 4));
    EXPECT_EQ(-1, qz_module_path(nullptr, path, sizeof path));
}

// ---------------------------------------------------------------------------------------------
// Error texts and host

TEST(ErrorText, SystemTextsInOneProcessWideBuffer) {
    struct Case {
        int code;
        const char* text;
    };
    const Case kCases[] = {
        {ENOENT, "No such file or directory"}, {EACCES, "Permission denied"}, {0, "Success"},
        {99999, "Unknown error 99999"},        {-1, "Unknown error -1"},
    };
    for (const Case& c : kCases) EXPECT_STREQ(c.text, QZstrerror(c.code)) << c.code;
    const char* first = QZstrerror(ENOENT);
    const char* second = QZstrerror(EACCES);
    EXPECT_EQ(first, second);
    EXPECT_STREQ("Permission denied", first);

    errno = EBADF;
    EXPECT_EQ(EBADF, QZ_GetLastError());
}

TEST(Host, HostNameMatchesKernel) {
    utsname uts{};
    ASSERT_EQ(0, uname(&uts));
    char name[256];
    ASSERT_EQ(0, qz_gethostname(name, sizeof name));
    EXPECT_STREQ(uts.nodename, name);
    char tiny[1] = {'x'};
    qz_gethostname(tiny, sizeof tiny);
    EXPECT_EQ('\0', tiny[0]);
    EXPECT_EQ(-1, qz_gethostname(nullptr, 10));
}

TEST(Host, NetworkStartIsReportedOncePerProcess) {
    std::atomic<int> first_calls{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            if (qz_winsock_init() == 0) first_calls.fetch_add(1);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(1, first_calls.load());
    EXPECT_EQ(1, qz_winsock_init());
}

// ---------------------------------------------------------------------------------------------
// Waiting for processes

pid_t spawn_child(int exit_code, int sleep_ms) {
    pid_t child = fork();
    if (child == 0) {
        if (sleep_ms > 0) usleep(static_cast<useconds_t>(sleep_ms) * 1000);
        _exit(exit_code);
    }
    return child;
}

TEST(WaitPid, ChildExitCodeIsReturned) {
    pid_t child = spawn_child(3, 20);
    ASSERT_GT(child, 0);
    int status = -1;
    EXPECT_EQ(child, waitpid_timed(child, &status, 10000));
    EXPECT_EQ(3, status);
    EXPECT_EQ(-1, waitpid_timed(child, &status, 0)) << "reaped: the process is gone";
}

TEST(WaitPid, TimeOutLeavesRunningChild) {
    pid_t child = spawn_child(0, 60000);
    ASSERT_GT(child, 0);
    int status = -1;
    EXPECT_EQ(0, waitpid_timed(child, &status, 0));
    auto start = Clock::now();
    EXPECT_EQ(0, waitpid_timed(child, &status, 100));
    EXPECT_GE(elapsed_ms(start), 90);
    EXPECT_EQ(-1, status);

    kill(child, SIGKILL);
    EXPECT_EQ(child, waitpid_timed(child, nullptr, -1));
}

TEST(WaitPid, SignalledChildReportsSignalExitCode) {
    pid_t child = spawn_child(0, 60000);
    ASSERT_GT(child, 0);
    kill(child, SIGTERM);
    int status = -1;
    EXPECT_EQ(child, waitpid_timed(child, &status, 10000));
    EXPECT_EQ(128 + SIGTERM, status);
}

TEST(WaitPid, NonexistentProcessFails) {
    pid_t child = spawn_child(0, 0);
    ASSERT_GT(child, 0);
    ASSERT_EQ(child, waitpid(child, nullptr, 0));
    EXPECT_EQ(-1, waitpid_timed(child, nullptr, 100));
    EXPECT_EQ(-1, waitpid_timed(0, nullptr, 100));
    EXPECT_EQ(-1, waitpid_timed(-5, nullptr, 100));
    EXPECT_EQ(-1, waitpid_timed(int64_t{INT_MAX} + 1, nullptr, 100));
}

TEST(WaitPid, NonChildIsSeenEnding) {
    // The grandchild is re-parented when its parent exits, so it is not our child. It lives until
    // the test closes the release pipe.
    int pid_pipe[2];
    int release_pipe[2];
    ASSERT_EQ(0, pipe(pid_pipe));
    ASSERT_EQ(0, pipe(release_pipe));
    pid_t middle = fork();
    ASSERT_GE(middle, 0);
    if (middle == 0) {
        pid_t grandchild = fork();
        if (grandchild == 0) {
            close(release_pipe[1]);
            close(pid_pipe[0]);
            close(pid_pipe[1]);
            char byte;
            (void)!read(release_pipe[0], &byte, 1);
            _exit(5);
        }
        (void)!write(pid_pipe[1], &grandchild, sizeof grandchild);
        _exit(0);
    }
    close(pid_pipe[1]);
    close(release_pipe[0]);
    pid_t grandchild = 0;
    ASSERT_EQ(static_cast<ssize_t>(sizeof grandchild),
              read(pid_pipe[0], &grandchild, sizeof grandchild));
    close(pid_pipe[0]);
    ASSERT_EQ(middle, waitpid(middle, nullptr, 0));
    ASSERT_GT(grandchild, 0);

    int status = -7;
    EXPECT_EQ(0, waitpid_timed(grandchild, &status, 0));
    close(release_pipe[1]);
    EXPECT_EQ(grandchild, waitpid_timed(grandchild, &status, 10000));
    EXPECT_EQ(-7, status) << "a non-child's exit status is not ours to collect";
}

}  // namespace
