#include "util/path_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
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

struct FreeString {
    void operator()(char* s) const { free(s); }
};
using OwnedString = std::unique_ptr<char, FreeString>;

mode_t mode_of(const std::string& path) {
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

void set_mtime(const std::string& path, time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void make_sparse_file(const std::string& path, off_t size) {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

std::vector<std::string> entries_of(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A path of exactly `length` characters below dir (that need not exist).
std::string path_of_length(const std::string& dir, size_t length) {
    std::string path = dir + "/";
    while (path.size() < length) path += (path.size() % 200 == 0) ? '/' : 'n';
    path.back() = 'x';
    return path;
}

TEST(PathChecks, TellKindsOfPathsApart) {
    TempDir dir;
    write_file(dir.file("file"), "x");
    mkdir(dir.file("dir").c_str(), 0755);
    symlink(dir.file("file").c_str(), dir.file("link").c_str());
    symlink(dir.file("gone").c_str(), dir.file("dangling").c_str());
    struct Case {
        std::string path;
        int is_file, is_dir, is_regular;
    };
    const Case kCases[] = {
        {dir.file("file"), 1, 0, 1},    {dir.file("dir"), 1, 1, 0},
        {dir.file("link"), 1, 0, 1},    {dir.file("dangling"), 0, 0, 0},
        {dir.file("missing"), 0, 0, 0}, {"", 0, 0, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(qzhlp_IsFile(c.path.c_str()), c.is_file);
        EXPECT_EQ(qzhlp_IsDir(c.path.c_str()), c.is_dir);
        EXPECT_EQ(qzhlp_IsRegularFile(c.path.c_str()), c.is_regular);
    }
    EXPECT_EQ(qzhlp_IsFile(nullptr), 0);
    EXPECT_EQ(qzhlp_IsDir(nullptr), 0);
    EXPECT_EQ(qzhlp_IsRegularFile(nullptr), 0);
    EXPECT_EQ(qzhlp_IsRegularFileD(dir.path().c_str(), "file"), 1);
    EXPECT_EQ(qzhlp_IsRegularFileD(dir.path().c_str(), "dir"), 0);
    EXPECT_EQ(qzhlp_IsRegularFileD(nullptr, "file"), 0);
    EXPECT_EQ(qzhlp_IsWritable(dir.file("file").c_str()), 1);
    EXPECT_EQ(qzhlp_IsWritable(dir.file("missing").c_str()), 0);
    EXPECT_EQ(qzhlp_IsWritable(nullptr), 0);
    if (geteuid() != 0) {
        chmod(dir.file("file").c_str(), 0444);
        EXPECT_EQ(qzhlp_IsWritable(dir.file("file").c_str()), 0);
    }
}

TEST(PathChecks, JoinedPathBeyondTheLimitIsRefused) {
    TempDir dir;
    TraceCapture trace(QZ_LOG_ERROR);
    std::string name(QZHLP_MAX_PATH - dir.path().size(), 'n');  // one character too many
    EXPECT_EQ(qzhlp_IsRegularFileD(dir.path().c_str(), name.c_str()), 0);
    EXPECT_TRUE(trace.contains("Path too long"));
    trace.clear();
    name.pop_back();  // exactly the limit: looked up, simply not there
    EXPECT_EQ(qzhlp_IsRegularFileD(dir.path().c_str(), name.c_str()), 0);
    EXPECT_FALSE(trace.contains("Path too long"));
}

TEST(FileSize, TrimsTheNameAndReportsFailures) {
    TempDir dir;
    TraceCapture trace(QZ_LOG_ERROR);
    write_file(dir.file("five"), "12345");
    std::string padded = "  \t" + dir.file("five") + " \n";
    EXPECT_EQ(qzhlp_GetFileSize(padded.c_str()), 5);
    EXPECT_EQ(qzhlp_GetFileSize64(padded.c_str()), 5);
    write_file(dir.file("empty"), "");
    EXPECT_EQ(qzhlp_GetFileSize(dir.file("empty").c_str()), 0);

    struct Case {
        const char* name;
        const char* path;
        const char* trace;
    };
    std::string missing = dir.file("missing");
    const Case kCases[] = {
        {"NULL", nullptr, "Invalid arguments"},
        {"blank", " \t ", "Invalid filename (empty)"},
        {"missing", missing.c_str(), "Can't stat file \""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        trace.clear();
        EXPECT_EQ(qzhlp_GetFileSize(c.path), -1);
        EXPECT_EQ(qzhlp_GetFileSize64(c.path), -1);
        EXPECT_TRUE(trace.contains(c.trace)) << trace.contents();
    }
}

TEST(FileSize, SizesFrom2GiBNeedThe64BitVariant) {
    TempDir dir;
    TraceCapture trace(QZ_LOG_ERROR);
    std::string largest = dir.file("largest");
    make_sparse_file(largest, INT32_MAX);
    EXPECT_EQ(qzhlp_GetFileSize(largest.c_str()), INT32_MAX);

    std::string big = dir.file("big");
    make_sparse_file(big, 3LL << 30);
    EXPECT_EQ(qzhlp_GetFileSize(big.c_str()), -1);
    EXPECT_TRUE(trace.contains("Invalid fize size (3221225472) for file " + big));
    EXPECT_EQ(qzhlp_GetFileSize64(big.c_str()), 3LL << 30);
}

TEST(ModificationTimes, FileAndNewestEntryOfADirectory) {
    TempDir dir;
    TraceCapture trace(QZ_LOG_ERROR);
    mkdir(dir.file("d").c_str(), 0755);
    write_file(dir.file("d/a"), "a");
    write_file(dir.file("d/b"), "b");
    set_mtime(dir.file("d/a"), 1000000);
    set_mtime(dir.file("d/b"), 3000000);
    set_mtime(dir.file("d"), 2000000);
    EXPECT_EQ(qzhlp_get_file_mtime(dir.file("d").c_str(), "a"), 1000000);
    EXPECT_EQ(qzhlp_get_dir_mtime(dir.file("d").c_str()), 3000000);
    set_mtime(dir.file("d/b"), 1500000);
    set_mtime(dir.file("d"), 2000000);
    EXPECT_EQ(qzhlp_get_dir_mtime(dir.file("d").c_str()), 2000000);

    EXPECT_EQ(qzhlp_get_file_mtime(dir.path().c_str(), "missing"), -1);
    EXPECT_TRUE(trace.contains("Could not stat"));
    EXPECT_EQ(qzhlp_get_dir_mtime(dir.file("missing").c_str()), -1);
    EXPECT_EQ(qzhlp_get_file_mtime(nullptr, "a"), -1);

    // The joined path may hold 4094 characters, not 4095.
    trace.clear();
    std::string name(QZHLP_MAX_PATH - 1 - dir.path().size(), 'n');
    EXPECT_EQ(qzhlp_get_file_mtime(dir.path().c_str(), name.c_str()), -1);
    EXPECT_TRUE(trace.contains("Path too long"));
    trace.clear();
    name.pop_back();
    EXPECT_EQ(qzhlp_get_file_mtime(dir.path().c_str(), name.c_str()), -1);
    EXPECT_FALSE(trace.contains("Path too long"));
}

TEST(CreateDir, CreatesAndSetsTheModeWhenAsked) {
    TempDir dir;
    TraceCapture trace(QZ_LOG_ERROR);
    std::string plain = dir.file("plain");
    EXPECT_EQ(qzhlp_create_dir(plain.c_str(), 0, 0), 0);
    EXPECT_EQ(qzhlp_IsDir(plain.c_str()), 1);
    EXPECT_EQ(qzhlp_create_dir(plain.c_str(), 0, 0), 0);  // already there
    EXPECT_EQ(qzhlp_create_dir(plain.c_str(), 1, 0700), 0);
    EXPECT_EQ(mode_of(plain), 0700u);

    std::string exact = dir.file("exact");
    EXPECT_EQ(qzhlp_create_dir(exact.c_str(), 1, 0775), 0);
    EXPECT_EQ(mode_of(exact), 0775u);  // not narrowed by the umask

    write_file(dir.file("file"), "x");
    EXPECT_EQ(qzhlp_create_dir(dir.file("file").c_str(), 0, 0), -1);
    EXPECT_TRUE(trace.contains("Failed to create directory " + dir.file("file")));
    EXPECT_EQ(qzhlp_create_dir(dir.file("no/parent").c_str(), 0, 0), -1);
    EXPECT_EQ(qzhlp_create_dir(nullptr, 0, 0), -1);
}

TEST(CreateDir, PathCreatesParentsAndLeavesExistingOnesAlone) {
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    std::string deep = dir.file("a/b//c");
    EXPECT_EQ(qzhlp_create_dir_path(deep.c_str(), 1, 0700), 0);
    EXPECT_EQ(qzhlp_IsDir(dir.file("a/b/c").c_str()), 1);
    EXPECT_EQ(mode_of(dir.file("a")), 0700u);
    EXPECT_EQ(mode_of(dir.file("a/b/c")), 0700u);
    EXPECT_EQ(mode_of(dir.path()), 0755u);  // an existing parent keeps its mode
    EXPECT_EQ(qzhlp_create_dir_path(deep.c_str(), 0, 0), 0);

    TraceCapture trace(QZ_LOG_ERROR);
    std::string too_long = path_of_length(dir.path(), QZHLP_MAX_PATH + 1);
    EXPECT_EQ(qzhlp_create_dir_path(too_long.c_str(), 0, 0), -1);
    EXPECT_TRUE(trace.contains("Path too long"));
}

TEST(MkdirHier, CreatesEveryComponent) {
    TempDir dir;
    TraceCapture trace(QZ_LOG_ERROR);
    EXPECT_EQ(qzhlp_mkdirhier(dir.file("x//y/z/").c_str()), 1);
    EXPECT_EQ(qzhlp_IsDir(dir.file("x/y/z").c_str()), 1);
    EXPECT_EQ(qzhlp_mkdirhier(dir.file("x/y/z").c_str()), 1);
    EXPECT_EQ(qzhlp_mkdirhier("/"), 1);
    EXPECT_EQ(qzhlp_mkdirhier(nullptr), 0);
    EXPECT_EQ(qzhlp_mkdirhier(""), 0);
    write_file(dir.file("x/file"), "x");
    EXPECT_EQ(qzhlp_mkdirhier(dir.file("x/file/sub").c_str()), 0);
    EXPECT_EQ(qzhlp_mkdirhier(path_of_length(dir.path(), QZHLP_MAX_PATH + 1).c_str()), 0);
    EXPECT_TRUE(trace.contains("Path too long"));
}

TEST(RemoveDir, RemovesTheTreeButNothingALinkPointsTo) {
    TempDir dir;
    TempDir outside;
    write_file(outside.file("keep"), "precious");
    mkdir(dir.file("t").c_str(), 0755);
    mkdir(dir.file("t/sub").c_str(), 0755);
    mkdir(dir.file("t/sub/deeper").c_str(), 0755);
    write_file(dir.file("t/a"), "a");
    write_file(dir.file("t/sub/deeper/b"), "b");
    symlink(outside.path().c_str(), dir.file("t/sub/link").c_str());
    EXPECT_EQ(qzhlp_RemoveDir(dir.file("t").c_str()), 0);
    EXPECT_EQ(qzhlp_IsFile(dir.file("t").c_str()), 0);
    EXPECT_EQ(read_file(outside.file("keep")), "precious");
    EXPECT_EQ(qzhlp_RemoveDir(dir.file("missing").c_str()), 0);

    TraceCapture trace(QZ_LOG_ERROR);
    std::string too_long = path_of_length(dir.path(), QZHLP_MAX_REMOVE_PATH + 1);
    EXPECT_EQ(qzhlp_RemoveDir(too_long.c_str()), 1);
    EXPECT_TRUE(trace.contains("Path too long"));
}

TEST(CopyFile, CopiesBytesIntoANewFileOnly) {
    TempDir dir;
    TraceCapture trace(QZ_LOG_ERROR);
    std::string content;
    for (int i = 0; i < 10000; ++i) content += static_cast<char>(i * 7);
    write_file(dir.file("src"), content);
    EXPECT_EQ(copy_file(dir.file("src").c_str(), dir.file("dst").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("dst")), content);
    EXPECT_EQ(mode_of(dir.file("dst")), 0755u);

    write_file(dir.file("existing"), "old");
    EXPECT_EQ(copy_file(dir.file("src").c_str(), dir.file("existing").c_str()), -1);
    EXPECT_EQ(read_file(dir.file("existing")), "old");

    EXPECT_EQ(copy_file(dir.file("missing").c_str(), dir.file("dst2").c_str()), -1);
    EXPECT_EQ(qzhlp_IsFile(dir.file("dst2").c_str()), 0);
    // A directory opens but cannot be read: the half-made destination goes again.
    EXPECT_EQ(copy_file(dir.path().c_str(), dir.file("dst3").c_str()), -1);
    EXPECT_EQ(qzhlp_IsFile(dir.file("dst3").c_str()), 0);
    EXPECT_EQ(copy_file(nullptr, dir.file("dst4").c_str()), -1);
}

TEST(CopyDirRecursive, CopiesTheTreeWithoutChangingDirectory) {
    TempDir dir;
    TraceCapture trace(QZ_LOG_WARN);
    std::string src = dir.file("src");
    mkdir(src.c_str(), 0755);
    mkdir((src + "/sub").c_str(), 0700);
    write_file(src + "/a", "alpha");
    write_file(src + "/sub/b", "beta");
    chmod((src + "/a").c_str(), 0640);
    chmod((src + "/sub/b").c_str(), 0600);
    symlink("/etc/passwd", (src + "/link").c_str());

    char before[4096], after[4096];
    ASSERT_NE(getcwd(before, sizeof before), nullptr);
    std::string dst = dir.file("dst");
    EXPECT_EQ(copy_dir_recursive(src.c_str(), dst.c_str()), 0);
    ASSERT_NE(getcwd(after, sizeof after), nullptr);
    EXPECT_STREQ(before, after);

    EXPECT_EQ(entries_of(dst), (std::vector<std::string>{"a", "sub"}));
    EXPECT_EQ(read_file(dst + "/a"), "alpha");
    EXPECT_EQ(read_file(dst + "/sub/b"), "beta");
    EXPECT_EQ(mode_of(dst + "/a"), 0640u);
    EXPECT_EQ(mode_of(dst + "/sub/b"), 0600u);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(mode_of(dst), 0750u & ~mask);
    EXPECT_EQ(mode_of(dst + "/sub"), 0755u & ~mask);
    EXPECT_TRUE(trace.contains("Skipping " + src + "/link"));

    // A second copy over the first fails: files are never overwritten.
    EXPECT_EQ(copy_dir_recursive(src.c_str(), dst.c_str()), -1);
    EXPECT_EQ(copy_dir_recursive(src.c_str(), (src + "/sub/inner").c_str()), -1);
    EXPECT_TRUE(trace.contains("into itself"));
    EXPECT_EQ(qzhlp_IsFile((src + "/sub/inner").c_str()), 0);
    EXPECT_EQ(copy_dir_recursive(dir.file("missing").c_str(), dir.file("d2").c_str()), -1);
}

TEST(IntValueFiles, StoreAndReadBack) {
    TempDir dir;
    TraceCapture trace(QZ_LOG_ERROR);
    std::string path = dir.file("value");
    EXPECT_EQ(qzhlp_StoreIntValue(path.c_str(), 42), 0);
    EXPECT_EQ(read_file(path), "42\n");
    EXPECT_EQ(qzhlp_ReadIntValue(path.c_str(), 0), 42);
    chmod(path.c_str(), 0640);
    EXPECT_EQ(qzhlp_StoreIntValue(path.c_str(), -7), 0);
    EXPECT_EQ(qzhlp_ReadIntValue(path.c_str(), 0), -7);
    EXPECT_EQ(mode_of(path), 0640u);
    EXPECT_EQ(entries_of(dir.path()), std::vector<std::string>{"value"});  // no temporary left

    EXPECT_EQ(qzhlp_ReadIntValue(dir.file("missing").c_str(), 0), 0);
    write_file(dir.file("text"), "abc\n");
    EXPECT_EQ(qzhlp_ReadIntValue(dir.file("text").c_str(), 0), -1);
    EXPECT_TRUE(trace.contains("No integer value in " + dir.file("text")));
    write_file(dir.file("huge"), "99999999999\n");
    EXPECT_EQ(qzhlp_ReadIntValue(dir.file("huge").c_str(), 0), -1);
    EXPECT_EQ(qzhlp_StoreIntValue(dir.file("no/dir/value").c_str(), 1), -1);
    EXPECT_EQ(qzhlp_StoreIntValue(nullptr, 1), -1);
    EXPECT_EQ(qzhlp_ReadIntValue(nullptr, 0), -1);
}

TEST(IntValueFiles, ReadWaitsForAFileThatAppears) {
    TempDir dir;
    std::string path = dir.file("late");
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        write_file(path, "5\n");
    });
    EXPECT_EQ(qzhlp_ReadIntValue(path.c_str(), 3), 5);
    writer.join();
}

TEST(ExpandPath, ReplacesEnvironmentReferences) {
    setenv("QZTEST_HOME", "/home/u", 1);
    unsetenv("QZTEST_UNSET");
    std::string big(1000, 'b');
    setenv("QZTEST_BIG", big.c_str(), 1);
    std::string long_name(256, 'N');
    struct Case {
        std::string in;
        const char* out;  // NULL: expansion fails
    };
    const std::string big2 = "x" + big + "/" + big;
    const std::string literal_long = "${" + long_name + "}/x";
    const Case kCases[] = {
        {"${QZTEST_HOME}/x", "/home/u/x"},
        {"$QZTEST_HOME/x", "/home/u/x"},
        {"pre$QZTEST_HOME", "pre/home/u"},
        {"$1abc", "$1abc"},
        {"${}", "${}"},
        {"a$", "a$"},
        {"$$", "$$"},
        {"${unclosed", "${unclosed"},
        {"x${QZTEST_BIG}/$QZTEST_BIG", big2.c_str()},
        {literal_long, literal_long.c_str()},
        {"${QZTEST_UNSET}/x", nullptr},
        {"$QZTEST_UNSET", nullptr},
        {"", nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.in);
        OwnedString out(qzhlp_expand_path(c.in.c_str()));
        if (c.out == nullptr)
            EXPECT_EQ(out, nullptr);
        else {
            ASSERT_NE(out, nullptr);
            EXPECT_STREQ(out.get(), c.out);
        }
    }
    EXPECT_EQ(qzhlp_expand_path(nullptr), nullptr);
}

TEST(ExpandPath, UnsetVariableIsTraced) {
    unsetenv("QZTEST_UNSET");
    TraceCapture trace(QZ_LOG_ERROR);
    EXPECT_EQ(qzhlp_expand_path("${QZTEST_UNSET}/x"), nullptr);
    EXPECT_TRUE(trace.contains(
        "Cannot expand path \"${QZTEST_UNSET}/x\": environment variable \"QZTEST_UNSET\" is not "
        "set"));
}

TEST(FlattenPath, ReplacesSeparatorsWithinTheLimit) {
    TraceCapture trace(QZ_LOG_ERROR);
    EXPECT_STREQ(qzhlp_FlattenPath("/var\\run/x"), "_var_run_x");
    EXPECT_EQ(qzhlp_FlattenPath(nullptr), nullptr);
    EXPECT_EQ(qzhlp_FlattenPath(""), nullptr);
    EXPECT_TRUE(trace.contains("Invalid path argument provided"));
    std::string longest(QZHLP_MAX_PATH, 'p');
    longest[0] = '/';
    const char* flat = qzhlp_FlattenPath(longest.c_str());
    ASSERT_NE(flat, nullptr);
    EXPECT_EQ(std::string(flat), "_" + longest.substr(1));
    EXPECT_EQ(qzhlp_FlattenPath((longest + "p").c_str()), nullptr);
    EXPECT_TRUE(trace.contains("Path too long to flatten"));
}

TEST(UnixPathNormalize, CollapsesRunsOfSeparators) {
    const std::pair<const char*, const char*> kCases[] = {
        {"a//b\\\\\\c", "a/b\\c"}, {"//x", "/x"}, {"/\\/x/", "/x/"}, {"plain", "plain"}, {"", ""},
    };
    for (const auto& [in, out] : kCases) {
        OwnedString normalized(qzhlp_unix_path_normalize(in));
        ASSERT_NE(normalized, nullptr);
        EXPECT_STREQ(normalized.get(), out) << in;
    }
    EXPECT_EQ(qzhlp_unix_path_normalize(nullptr), nullptr);
}

TEST(BufferFiles, RoundTripAndFailures) {
    TempDir dir;
    TraceCapture trace(QZ_LOG_ERROR);
    const char data[] = "bin\0ary\xff";
    std::string path = dir.file("buf");
    EXPECT_EQ(qzhlp_dump_buffer_to_file(data, sizeof data, path.c_str()), 0);
    char back[sizeof data] = {};
    EXPECT_EQ(qzhlp_read_buffer_from_file(back, sizeof back, path.c_str()), 0);
    EXPECT_EQ(memcmp(back, data, sizeof data), 0);
    EXPECT_EQ(qzhlp_dump_buffer_to_file("xy", 2, path.c_str()), 0);
    EXPECT_EQ(read_file(path), "xy");
    EXPECT_EQ(qzhlp_dump_buffer_to_file(nullptr, 0, dir.file("empty").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("empty")), "");
    EXPECT_EQ(entries_of(dir.path()), (std::vector<std::string>{"buf", "empty"}));

    EXPECT_EQ(qzhlp_read_buffer_from_file(back, 3, path.c_str()), -1);
    EXPECT_TRUE(trace.contains("unexpected EOF met"));
    EXPECT_EQ(qzhlp_read_buffer_from_file(back, 3, dir.path().c_str()), -1);
    EXPECT_TRUE(trace.contains("read error"));
    std::string missing = dir.file("missing");
    EXPECT_EQ(qzhlp_read_buffer_from_file(back, 1, missing.c_str()), -1);
    EXPECT_TRUE(trace.contains("Could not open " + missing + " for reading, aborting"));
    std::string nowhere = dir.file("no/such/file");
    EXPECT_EQ(qzhlp_dump_buffer_to_file("x", 1, nowhere.c_str()), -1);
    EXPECT_TRUE(trace.contains("Could not open " + nowhere + " for writing, aborting"));
    EXPECT_EQ(qzhlp_dump_buffer_to_file("x", 1, nullptr), -1);
    trace.clear();
    std::string too_long = path_of_length(dir.path(), QZHLP_MAX_PATH + 1);
    EXPECT_EQ(qzhlp_dump_buffer_to_file("x", 1, too_long.c_str()), -1);
    EXPECT_TRUE(trace.contains("Path too long"));
}

}  // namespace
