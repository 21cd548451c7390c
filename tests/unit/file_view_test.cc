// The read-only file view that scans read files through: whole regular files mapped in place,
// everything else refused with the system's reason and without blocking, and a file truncated
// under a live view read as zeros and reported, instead of killing the process with SIGBUS,
// while a SIGBUS outside every view still ends the process as before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_view.h"
#include "support/temp_dir.h"

namespace {

using qztest::TempDir;

struct ViewClose {
    void operator()(qz_file_view* view) const { qz_file_view_close(view); }
};
using ViewPtr = std::unique_ptr<qz_file_view, ViewClose>;

ViewPtr open_view(const std::string& path, std::string* reason = nullptr) {
    char text[256] = "unchanged";
    qz_file_view* view = reinterpret_cast<qz_file_view*>(0x1);
    const int rc = qz_file_view_open(path.c_str(), &view, text, sizeof text);
    if (reason != nullptr) *reason = text;
    EXPECT_EQ(rc == 0, view != nullptr) << path;
    return ViewPtr(rc == 0 ? view : nullptr);
}

std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
    return bytes;
}

TEST(FileView, MapsTheWholeFileReadOnly) {
    TempDir dir;
    const std::string path = dir.file("object.bin");
    const std::string bytes = pattern(3 * 4096 + 17);
    qztest::write_file(path, bytes);
    ViewPtr view = open_view(path);
    ASSERT_TRUE(view);
    ASSERT_EQ(qz_file_view_length(view.get()), bytes.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(qz_file_view_data(view.get())), bytes.size()),
              bytes);
    EXPECT_EQ(qz_file_view_shrunk(view.get()), 0);
    // Growing is not shrinking: the bytes scanned are all still there.
    int fd = open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "tail", 4), 4);
    close(fd);
    EXPECT_EQ(qz_file_view_shrunk(view.get()), 0);
}

TEST(FileView, EmptyFileHasNoMapping) {
    TempDir dir;
    const std::string path = dir.file("empty");
    qztest::write_file(path, "");
    ViewPtr view = open_view(path);
    ASSERT_TRUE(view);
    EXPECT_EQ(qz_file_view_length(view.get()), 0u);
    EXPECT_EQ(qz_file_view_data(view.get()), nullptr);
    EXPECT_EQ(qz_file_view_shrunk(view.get()), 0);
}

TEST(FileView, RefusesWhatIsNotARegularFileWithoutBlockingOrCreatingIt) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        const char* reason;
    };
    const Case kCases[] = {
        {dir.path(), "Is a directory"},
        {fifo, "No such device"},  // opened without a writer, which would block a plain open
        {dir.file("missing"), "No such file or directory"},
        {"", "No such file or directory"},
    };
    for (const Case& c : kCases) {
        std::string reason;
        EXPECT_FALSE(open_view(c.path, &reason)) << c.path;
        EXPECT_EQ(reason, c.reason) << c.path;
    }
    EXPECT_NE(access(dir.file("missing").c_str(), F_OK), 0) << "a view never creates its file";
    EXPECT_EQ(qz_file_view_open("x", nullptr, nullptr, 0), -1);
}

// Reads every byte through a volatile pointer, as a transfer of the payload would.
uint64_t checksum(const uint8_t* data, uint64_t length) {
    const volatile uint8_t* bytes = data;
    uint64_t sum = 0;
    for (uint64_t i = 0; i < length; ++i) sum += bytes[i];
    return sum;
}

TEST(FileView, TruncatedUnderTheViewReadsZerosAndReportsIt) {
    TempDir dir;
    const std::string path = dir.file("shrinking.bin");
    const size_t size = 64 * 4096;
    qztest::write_file(path, std::string(size, '\x01'));
    ViewPtr view = open_view(path);
    ASSERT_TRUE(view);
    const uint8_t* data = qz_file_view_data(view.get());
    ASSERT_EQ(checksum(data, size), size);
    ASSERT_EQ(truncate(path.c_str(), 10 * 4096 + 100), 0);
    // Past the new end the pages are gone; without the handler this read ends the process.
    EXPECT_EQ(checksum(data, size), 10 * 4096 + 100);
    EXPECT_EQ(qz_file_view_shrunk(view.get()), 1);
    // A second view of the same file is independent of the first one's repair.
    ViewPtr second = open_view(path);
    ASSERT_TRUE(second);
    EXPECT_EQ(qz_file_view_length(second.get()), 10 * 4096 + 100u);
    EXPECT_EQ(qz_file_view_shrunk(second.get()), 0);
}

TEST(FileView, ShrinkingWithinTheLastPageIsReportedWithoutAFault) {
    TempDir dir;
    const std::string path = dir.file("short.bin");
    qztest::write_file(path, std::string(1000, 'z'));
    ViewPtr view = open_view(path);
    ASSERT_TRUE(view);
    ASSERT_EQ(truncate(path.c_str(), 10), 0);
    EXPECT_EQ(checksum(qz_file_view_data(view.get()), 1000), 10u * 'z');
    EXPECT_EQ(qz_file_view_shrunk(view.get()), 1);
}

TEST(FileView, ManyThreadsTruncatedAtOnceAllSurvive) {
    TempDir dir;
    constexpr int kThreads = 8;
    std::atomic<int> shrunk{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string path = dir.file("f" + std::to_string(t));
            qztest::write_file(path, std::string(32 * 4096, '\x02'));
            ViewPtr view = open_view(path);
            if (!view) return;
            checksum(qz_file_view_data(view.get()), 32 * 4096);
            if (truncate(path.c_str(), 4096 * t) != 0) return;
            if (checksum(qz_file_view_data(view.get()), 32 * 4096) == 2u * 4096 * t &&
                qz_file_view_shrunk(view.get()) == 1)
                ++shrunk;
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(shrunk.load(), kThreads);
}

// A fault in a mapping that is no view of ours goes to the previous handler (here the default
// action), so the handler hides no other bug of the process.
TEST(FileViewDeathTest, BusErrorOutsideEveryViewStillEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    const std::string path = dir.file("foreign.bin");
    qztest::write_file(path, std::string(8 * 4096, 'f'));
    ASSERT_TRUE(open_view(path)) << "installs the handler";
    EXPECT_EXIT(
        {
            int fd = open(path.c_str(), O_RDONLY);
            void* map = mmap(nullptr, 8 * 4096, PROT_READ, MAP_SHARED, fd, 0);
            if (map == MAP_FAILED || truncate(path.c_str(), 0) != 0) _exit(3);
            checksum(static_cast<const uint8_t*>(map), 8 * 4096);
            _exit(0);
        },
        // Under a sanitizer the previous handler is the sanitizer's, which reports and exits,
        // or aborts when told to (abort_on_error).
        [](int status) {
            return (WIFSIGNALED(status) &&
                    (WTERMSIG(status) == SIGBUS || WTERMSIG(status) == SIGABRT)) ||
                   (WIFEXITED(status) && WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3);
        },
        "");
}

}  // namespace
