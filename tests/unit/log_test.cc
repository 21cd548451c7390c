#include "log/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/semaphore.h"
#include "support/temp_dir.h"

namespace {

using qztest::read_file;
using qztest::TempDir;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Every test starts from a quiet, unconfigured trace and leaves it that way.
class TraceLog : public ::testing::Test {
protected:
    void SetUp() override {
        log_set_quiet(1);
        log_set_screentrace(0);
        path_ = dir_.file("trace.log");
    }
    void TearDown() override {
        log_set_lock(nullptr);
        log_set_udata(nullptr);
        QZOpenTraceFile(nullptr, 0, 0);
    }

    TempDir dir_;
    std::string path_;
};

TEST_F(TraceLog, LineFormatAndLevelFilter) {
    QZOpenTraceFile(path_.c_str(), QZ_LOG_INFO, 0);
    LOG_DEBUG("not written %d", 5);
    LOG_INFO("written %s", "here");
    LOG_ERROR("also written");
    auto lines = lines_of(read_file(path_));
    ASSERT_EQ(lines.size(), 2u);
    const std::regex format(
        R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] INFO  PID: +\d+ TID: +\d+ )"
        R"(qz-shared:TestBody\(\): written here$)");
    EXPECT_TRUE(std::regex_match(lines[0], format)) << lines[0];
    EXPECT_NE(lines[1].find("] ERROR PID:"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[1].find("log_test.cc"), std::string::npos) << "no source location below TRACE";
}

TEST_F(TraceLog, TraceLevelAppendsSourceLocation) {
    QZOpenTraceFile(path_.c_str(), QZ_LOG_TRACE, 0);
    LOG_TRACE("with location");
    int line = __LINE__ - 1;
    auto lines = lines_of(read_file(path_));
    ASSERT_EQ(lines.size(), 1u);
    std::string suffix = " (" + std::string(__FILE__) + ":" + std::to_string(line) + ")";
    ASSERT_GE(lines[0].size(), suffix.size());
    EXPECT_EQ(lines[0].substr(lines[0].size() - suffix.size()), suffix);
}

TEST_F(TraceLog, TimestampIsUtc) {
    QZOpenTraceFile(path_.c_str(), QZ_LOG_INFO, 0);
    time_t before = time(nullptr);
    LOG_INFO("clock");
    time_t after = time(nullptr);
    std::string line = read_file(path_);
    struct tm parsed = {};
    ASSERT_NE(strptime(line.c_str() + 1, "%Y-%m-%d %H:%M:%S", &parsed), nullptr);
    time_t stamped = timegm(&parsed);
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
}

TEST_F(TraceLog, OpenTraceFileConfiguration) {
    EXPECT_EQ(QZOpenTraceFile(path_.c_str(), -1, 0), 0);
    EXPECT_EQ(log_get_level(), QZ_LOG_ERROR);
    EXPECT_STREQ(log_get_filename(), path_.c_str());

    struct Case {
        const char* path;
        int level;
    };
    const Case kOff[] = {{"", 4}, {nullptr, 4}, {"x", 0}};
    for (const Case& c : kOff) {
        QZOpenTraceFile(path_.c_str(), QZ_LOG_INFO, 0);
        std::filesystem::remove(path_);
        EXPECT_EQ(QZOpenTraceFile(c.path, c.level, 0), 0);
        EXPECT_EQ(log_get_level(), 0);
        EXPECT_EQ(log_get_filename(), nullptr);
        // The switch-off line is written under the level in force before the call.
        EXPECT_NE(read_file(path_).find("No trace configured"), std::string::npos);
        LOG_FATAL("dropped");
        EXPECT_EQ(read_file(path_).find("dropped"), std::string::npos);
    }
}

TEST_F(TraceLog, LongMessageIsWrittenWhole) {
    QZOpenTraceFile(path_.c_str(), QZ_LOG_INFO, 0);
    std::string big(20000, 'x');
    LOG_INFO("<%s>", big.c_str());
    auto lines = lines_of(read_file(path_));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("<" + big + ">"), std::string::npos);
}

TEST_F(TraceLog, DeletedFileIsRecreated) {
    QZOpenTraceFile(path_.c_str(), QZ_LOG_INFO, 0);
    LOG_INFO("first");
    std::filesystem::remove(path_);
    LOG_INFO("second");
    auto lines = lines_of(read_file(path_));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("second"), std::string::npos);
}

std::vector<std::string> rotated_files(const std::string& dir, const std::string& base) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (name != base && name.rfind(base + "_", 0) == 0) out.push_back(entry.path().string());
    }
    return out;
}

TEST_F(TraceLog, RotatesAtExactlyTheLimit) {
    QZOpenTraceFile(path_.c_str(), QZ_LOG_INFO, 1);
    qztest::write_file(path_, std::string(999999, 'a'));
    LOG_INFO("below the limit");
    EXPECT_TRUE(rotated_files(dir_.path(), "trace.log").empty());

    qztest::write_file(path_, std::string(1000000, 'a'));
    LOG_INFO("starts a new file");
    auto rotated = rotated_files(dir_.path(), "trace.log");
    ASSERT_EQ(rotated.size(), 1u);
    EXPECT_TRUE(std::regex_match(rotated[0], std::regex(".*/trace\\.log_\\d{4}-\\d\\d-\\d\\d__\\d\\d-\\d\\d-\\d\\d\\.log")))
        << rotated[0];
    EXPECT_EQ(std::filesystem::file_size(rotated[0]), 1000000u);
    auto lines = lines_of(read_file(path_));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("starts a new file"), std::string::npos);
}

TEST_F(TraceLog, RotationNeverReplacesAnExistingTarget) {
    QZOpenTraceFile(path_.c_str(), QZ_LOG_INFO, 1);
    // Occupy the rotation names of the next few seconds, as a rotation within the same second would.
    time_t now = time(nullptr);
    for (int i = 0; i < 3; ++i) {
        time_t t = now + i;
        struct tm local;
        localtime_r(&t, &local);
        char stamp[80];
        strftime(stamp, sizeof(stamp), "%F__%H-%M-%S", &local);
        qztest::write_file(path_ + "_" + stamp + ".log", "older rotation\n");
    }
    qztest::write_file(path_, std::string(1000000, 'a'));
    LOG_INFO("kept in the unrotated file");
    std::string text = read_file(path_);
    EXPECT_EQ(text.size() > 1000000u, true);
    auto lines = lines_of(text.substr(1000000));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("ERROR PID:"), std::string::npos);
    EXPECT_NE(lines[0].find("Failed to rotate log file " + path_), std::string::npos);
    EXPECT_NE(lines[1].find("kept in the unrotated file"), std::string::npos);
    for (const auto& file : rotated_files(dir_.path(), "trace.log"))
        EXPECT_EQ(read_file(file), "older rotation\n");
}

int refuse_lock(void*, int action) { return action == 1 ? -1 : 0; }

TEST_F(TraceLog, RefusedLockDropsTheLineWithAWarning) {
    QZOpenTraceFile(path_.c_str(), QZ_LOG_INFO, 0);
    LOG_INFO("before");
    std::string before = read_file(path_);
    log_set_lock(refuse_lock);
    testing::internal::CaptureStderr();
    LOG_INFO("lost");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "vendrix Anti-Virus: Debug-trace semaphore timeout. Trace line was possibly lost!\r\n");
    EXPECT_EQ(read_file(path_), before);
}

TEST_F(TraceLog, LogLockRejectsBadArguments) {
    QZOpenTraceFile(path_.c_str(), QZ_LOG_INFO, 0);
    EXPECT_EQ(QZLogLock(nullptr, 1), -1);
    int dummy = 0;
    EXPECT_EQ(QZLogLock(&dummy, 7), -1);
    std::string text = read_file(path_);
    EXPECT_NE(text.find("Invalid semaphore handle"), std::string::npos);
    EXPECT_NE(text.find("Invalid action parameter value"), std::string::npos);
}

TEST_F(TraceLog, ConsoleEchoWhenScreentraceIsOn) {
    QZOpenTraceFile(path_.c_str(), QZ_LOG_INFO, 0);
    log_set_screentrace(1);
    testing::internal::CaptureStderr();
    LOG_WARN("on screen");
    std::string err = testing::internal::GetCapturedStderr();
    log_set_screentrace(0);
    EXPECT_NE(err.find("\033[33mWARN  PID:"), std::string::npos) << err;
    EXPECT_NE(err.find("on screen \033[90m("), std::string::npos) << err;
    EXPECT_NE(err.find(")\033[0m \n"), std::string::npos) << err;
    EXPECT_NE(read_file(path_).find("on screen"), std::string::npos);
}

// With the semaphore lock installed, lines from several threads still all arrive, and closing the
// trace takes the lock away again, silences the console and leaves the file configured.
TEST_F(TraceLog, SemaphoreLockSerialisesAndCloseRemovesIt) {
    std::string name = "qztest-tracelock-" + std::to_string(getpid());
    QZ_SEM_HANDLE sem = QZsem_open(name.c_str(), O_CREAT, 0660, 1, 1);
    ASSERT_NE(sem, nullptr);
    QZOpenTraceFile(path_.c_str(), QZ_LOG_INFO, 0);
    log_set_udata(sem);
    log_set_lock(QZLogLock);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i) LOG_INFO("locked line %d", i);
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(lines_of(read_file(path_)).size(), 800u);

    QZCloseTraceFile();  // releases and closes the semaphore handle
    EXPECT_EQ(log_get_udata(), nullptr);
    EXPECT_STREQ(log_get_filename(), path_.c_str());
    LOG_INFO("after close");
    EXPECT_EQ(lines_of(read_file(path_)).size(), 801u);
    QZsem_remove(name.c_str());
}

// Many threads trace while the file rotates underneath them: afterwards every line, in the current
// and in every rotated file, must parse, and each thread's lines must all be there exactly once.
TEST_F(TraceLog, ConcurrentLinesAreWholeAndNoneIsLostAcrossRotation) {
    constexpr int kThreads = 8;
    constexpr int kLines = 4000;
    QZOpenTraceFile(path_.c_str(), QZ_LOG_INFO, 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                LOG_INFO("thread %d line %d padding %s", t, i,
                         "................................................................");
        });
    }
    for (auto& th : threads) th.join();

    std::vector<std::string> files = rotated_files(dir_.path(), "trace.log");
    EXPECT_FALSE(files.empty()) << "about 3 MB of lines should have rotated at least once";
    files.push_back(path_);
    const std::regex format(
        R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] (INFO |ERROR) PID: +\d+ TID: +\d+ qz-shared:(.*)$)");
    const std::regex payload(R"(^operator\(\)\(\): thread (\d+) line (\d+) padding \.{64}$)");
    std::set<std::pair<int, int>> seen;
    size_t duplicates = 0;
    for (const auto& file : files) {
        for (const auto& line : lines_of(read_file(file))) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, format)) << "torn line: " << line;
            std::string rest = m[2];
            if (rest.find("Failed to rotate log file") != std::string::npos) continue;
            std::smatch p;
            ASSERT_TRUE(std::regex_match(rest, p, payload)) << "torn line: " << line;
            if (!seen.emplace(std::stoi(p[1]), std::stoi(p[2])).second) ++duplicates;
        }
    }
    EXPECT_EQ(duplicates, 0u);
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

}  // namespace
