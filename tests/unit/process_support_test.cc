#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/semaphore.h"
#include "platform/thread.h"
#include "process/heartbeat.h"
#include "process/monotonic_time.h"
#include "process/scan_timeout.h"
#include "support/temp_dir.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Time-out allowance

TEST(ScanTimeout, ArchiveTypesAreFoundFromManyThreadsAtFirstUse) {
    // Runs first in this binary so the one-time build of the list races here.
    std::atomic<int> found{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            if (isArchive("application/x-7z-compressed")) found.fetch_add(1);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(8, found.load());
}

TEST(ScanTimeout, ArchiveMatchIsExactAndCaseSensitive) {
    struct Case {
        const char* mime;
        bool archive;
    };
    const Case kCases[] = {
        {"application/gzip", true},
        {"application/zip", true},
        {"application/x-rar", true},
        {"application/vnd.ms-excel", true},
        {"application/x-zoo", true},
        {"application/sar", true},
        {"Application/Zip", false},
        {"application/x-ra", false},
        {"application/zip ", false},
        {"application/pdf", false},
        {"", false},
        {nullptr, false},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(c.archive, isArchive(c.mime)) << (c.mime ? c.mime : "(null)");
    }
}

TEST(ScanTimeout, AllowanceBySizeBandwidthTypeAndDoubling) {
    struct Case {
        uint64_t size;
        int bandwidth;
        const char* mime;
        int doubling;
        uint32_t expected;
    };
    const Case kCases[] = {
        {10000000, 8, "application/zip", 0, 20000},
        {10000000, 8, "text/plain", 0, 10000},
        {10000000, 8, nullptr, 0, 10000},
        {10000000, 0, "application/zip", 0, 0},
        {10000000, 0, "application/zip", 1, 0},
        {1000, 4, nullptr, 0, 2},           // 1000 / 500
        {1000, 1, nullptr, 0, 8},           // 1000 / 125
        {1000, 7, nullptr, 0, 1},           // 1000 / 875
        {10000000, 10, nullptr, 0, 10000},  // (10 / 8) * 1000 = 1000, not 1250
        {10000000, 15, nullptr, 0, 10000},
        {10000000, 16, nullptr, 0, 5000},
        {10000000, 8, nullptr, 1, 20000},
        {10000000, 8, "application/zip", 1, 40000},
        {10000000, 8, "Application/Zip", 0, 10000},
        {999, 8, "application/zip", 0, 0},
        {10000000, -8, nullptr, 0, 0},
        // Too large for 32 bits: the allowance stays at the maximum instead of wrapping.
        {UINT64_MAX, 1, nullptr, 0, UINT32_MAX},
        {uint64_t{3000000000} * 1000, 8, "application/zip", 1, UINT32_MAX},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(c.expected, qz_extra_timeout(c.size, c.bandwidth, c.mime, c.doubling))
            << "size " << c.size << " bandwidth " << c.bandwidth << " mime "
            << (c.mime ? c.mime : "(null)") << " doubling " << c.doubling;
    }
}

// ---------------------------------------------------------------------------------------------
// Monotonic time

TEST(MonotonicTime, RemainingAndExpiredAcrossThe32BitWrap) {
    struct Case {
        uint32_t start;
        uint32_t timeout;
        uint32_t now;
        uint32_t remaining;
        bool expired;
    };
    const Case kCases[] = {
        {1000, 500, 1000, 500, false},
        {1000, 500, 1499, 1, false},
        {1000, 500, 1500, 0, true},
        {1000, 500, 9000, 0, true},
        {0xFFFFFF00u, 1000, 0xFFFFFF00u, 1000, false},
        {0xFFFFFF00u, 1000, 0x00000010u, 728, false},  // 272 ms elapsed across the wrap
        {0xFFFFFF00u, 1000, 0x000002E7u, 1, false},
        {0xFFFFFF00u, 1000, 0x000002E8u, 0, true},
        {0xFFFFFF00u, 1000, 0x00100000u, 0, true},
        {0xFFFFFFFFu, 0, 0xFFFFFFFFu, 0, true},
        {5, 0xFFFFFFFFu, 3, 1, false},
        {5, 0xFFFFFFFFu, 4, 0, true},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(c.remaining, qz::remaining_time_ms_at(c.start, c.timeout, c.now))
            << std::hex << c.start << " + " << c.timeout << " at " << c.now;
        EXPECT_EQ(c.expired, qz::timeout_expired_at(c.start, c.timeout, c.now))
            << std::hex << c.start << " + " << c.timeout << " at " << c.now;
    }
}

TEST(MonotonicTime, LiveClockFunctionsAgree) {
    const uint64_t now = qz_current_time_ms();
    const uint32_t start = static_cast<uint32_t>(now);
    EXPECT_LT(qz_elapsed_time_ms(start), 60000u);
    const uint32_t remaining = qz_remaining_time_ms(start, 60000);
    EXPECT_GT(remaining, 0u);
    EXPECT_LE(remaining, 60000u);
    EXPECT_FALSE(qz_timeout_expired(start, 60000));
    EXPECT_TRUE(qz_timeout_expired(start, 0));
    // A start in the "future" of the low 32 bits reads as long ago, as it must after a wrap.
    EXPECT_TRUE(qz_timeout_expired(start + 100000u, 60000));
    EXPECT_GE(qz_current_time_ms(), now);
}

// ---------------------------------------------------------------------------------------------
// Heartbeat

class Heartbeat : public ::testing::Test {
  protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        name_ = "qztest-heartbeat-" + std::to_string(getpid()) + "-" +
                std::to_string(counter.fetch_add(1));
        sem_ = QZsem_open(name_.c_str(), O_CREAT, 0660, 1, 1);
        ASSERT_NE(nullptr, sem_);
    }
    void TearDown() override {
        QZsem_close(sem_);
        QZsem_remove(name_.c_str());
    }
    // The semaphore is free again (and stays so).
    bool semaphore_released() {
        if (QZsem_timedwait(sem_, -1) != 0) return false;
        QZsem_post(sem_);
        return true;
    }

    std::string name_;
    QZ_SEM_HANDLE sem_ = nullptr;
    const uint64_t own_ = QZ_GetProcessId();
};

TEST_F(Heartbeat, RegistersOnceThenReportsPresent) {
    uint64_t table[4] = {};
    EXPECT_EQ(1, _StoreHeartbeat(table, 4, sem_));
    EXPECT_EQ(0, _StoreHeartbeat(table, 4, sem_));
    EXPECT_EQ(own_, table[0]);
    EXPECT_EQ(1, std::count(std::begin(table), std::end(table), own_));
    EXPECT_EQ(0u, table[1]);
    EXPECT_TRUE(semaphore_released());
}

TEST_F(Heartbeat, TakesFirstFreeSlotAfterOtherProcesses) {
    uint64_t table[4] = {111, 222, 0, 0};
    EXPECT_EQ(1, _StoreHeartbeat(table, 4, sem_));
    EXPECT_EQ(111u, table[0]);
    EXPECT_EQ(222u, table[1]);
    EXPECT_EQ(own_, table[2]);
    EXPECT_EQ(0u, table[3]);
}

TEST_F(Heartbeat, FullTableIsNeverWrittenPast) {
    qztest::TraceCapture trace(2);
    uint64_t table[3] = {111, 222, 0xC0FFEE};  // the last word is outside the 2-slot table
    EXPECT_EQ(-1, _StoreHeartbeat(table, 2, sem_));
    EXPECT_EQ(111u, table[0]);
    EXPECT_EQ(222u, table[1]);
    EXPECT_EQ(0xC0FFEEu, table[2]);
    EXPECT_TRUE(trace.contains("Heartbeat table full"));
    EXPECT_TRUE(semaphore_released());

    EXPECT_EQ(-1, _StoreHeartbeat(table, 0, sem_));
    EXPECT_EQ(-1, _StoreHeartbeat(nullptr, 4, sem_));
    EXPECT_TRUE(trace.contains("Invalid heartbeat table"));
}

TEST_F(Heartbeat, HeldSemaphoreSkipsRegistrationAfterThreeSeconds) {
    qztest::TraceCapture trace(2);
    ASSERT_EQ(0, QZsem_timedwait(sem_, 0));
    uint64_t table[2] = {};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, _StoreHeartbeat(table, 2, sem_));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2900));
    EXPECT_EQ(0u, table[0]);
    EXPECT_TRUE(trace.contains("Could not lock the heartbeat semaphore in 3000ms"));
    QZsem_post(sem_);
}

uint64_t slot_value(const std::string& content, size_t slot) {
    uint64_t value = 0;
    if (content.size() >= (slot + 1) * sizeof value) {
        std::memcpy(&value, content.data() + slot * sizeof value, sizeof value);
    }
    return value;
}

TEST_F(Heartbeat, ThreadRegistersProcessAndStopsPromptly) {
    qztest::TraceCapture trace(6);
    qztest::TempDir dir;
    const std::string path = dir.file("QZ_heartbeat_TST.dat");
    qztest::write_file(path, std::string(64, '\0'));
    qz_heartbeat_thread_params params{path.c_str(), sem_, 1};

    QZ_THREAD_HANDLE thread = nullptr;
    ASSERT_EQ(0, QZ_CreateThread(&thread, vsalib_SendHeartbeatThread, &params));
    bool registered = false;
    for (int i = 0; i < 300 && !registered; ++i) {
        registered = slot_value(qztest::read_file(path), 0) == own_;
        if (!registered) QZ_Sleep(10);
    }
    EXPECT_TRUE(registered);

    qz_heartbeat_set_running(&params, 0);
    EXPECT_EQ(0, QZ_JoinThreadTimeout(thread, 1000)) << "the stop flag is checked every 100 ms";
    EXPECT_EQ(0u, slot_value(qztest::read_file(path), 1)) << "registered once";
    EXPECT_TRUE(trace.contains("Entering: fname: " + path));
    EXPECT_TRUE(trace.contains("Exiting heartbeat thread"));
    EXPECT_TRUE(semaphore_released());
}

TEST_F(Heartbeat, ThreadEndsByItselfWhenFileCannotServe) {
    qztest::TraceCapture trace(2);
    qztest::TempDir dir;

    const std::string missing = dir.file("no/such/dir/heartbeat.dat");
    qz_heartbeat_thread_params unmappable{missing.c_str(), sem_, 1};
    QZ_THREAD_HANDLE thread = nullptr;
    ASSERT_EQ(0, QZ_CreateThread(&thread, vsalib_SendHeartbeatThread, &unmappable));
    EXPECT_EQ(0, QZ_JoinThreadTimeout(thread, 5000));
    EXPECT_TRUE(trace.contains("Error mapping " + missing + " to memory. Reason:"));

    const std::string empty = dir.file("empty.dat");
    qztest::write_file(empty, "");
    qz_heartbeat_thread_params no_view{empty.c_str(), sem_, 1};
    testing::internal::CaptureStderr();
    ASSERT_EQ(0, QZ_CreateThread(&thread, vsalib_SendHeartbeatThread, &no_view));
    EXPECT_EQ(0, QZ_JoinThreadTimeout(thread, 5000));
    const std::string stderr_text = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos,
              stderr_text.find("Failed to get address of shared memory block. Reason:"));
}

}  // namespace
