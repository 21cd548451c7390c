// vsa-scan as a user runs it: the built program against the built adapter, with the test
// implementation staged as libqzvsa.so in a private installation tree, so that every verdict is
// scripted (QZ_TEST_VSALIB_*) and no broker or scan service is needed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/nats_test_helpers.h"
#include "support/temp_dir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using qztest::member;
using qztest::parse;
using qztest::read_file;
using qztest::TempDir;
using qztest::write_file;

const std::string kProgram = std::string(QZ_BIN_DIR) + "/vsa-scan";
const std::string kBuiltAdapter = std::string(QZ_STAGE_DIR) + "/qz-av-vsa/latest/lib/libqzAV.so";
constexpr auto kRunLimit = std::chrono::seconds(60);

using Environment = std::vector<std::pair<std::string, std::string>>;

struct Finished {
    int exit_code = -1;
    std::string out;
    std::string err;
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Lines that start with `prefix`.
std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : lines_of(text)) {
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
}

std::string last_line(const std::string& text) {
    std::vector<std::string> lines = lines_of(text);
    return lines.empty() ? std::string() : lines.back();
}

class VsaScanCli : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::path lib = fs::path(install_) / "qz-av-vsa/latest/lib";
        fs::create_directories(lib);
        fs::copy_file(kBuiltAdapter, lib / "libqzAV.so");
        fs::copy_file(QZ_TEST_IMPLEMENTATION_PATH, lib / "libqzvsa.so");
        adapter_ = (lib / "libqzAV.so").string();
    }

    // The flags every scanning run needs: the private adapter and a broker URL, which the
    // test implementation never uses.
    std::vector<std::string> with_adapter(std::vector<std::string> args) const {
        std::vector<std::string> all = {"--adapter", adapter_, "--drivers",
                                        "nats://127.0.0.1:4222"};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    // Starts vsa-scan with `args`, the scripted `environment` and `input` on stdin; `started`
    // runs while it is running. Fails the test when it does not end within the limit.
    Finished run(const std::vector<std::string>& args, const Environment& environment = {},
                 const std::string& input = "", const std::function<void(pid_t)>& started = {}) {
        std::string in_file = dir_.file("stdin"), out_file = dir_.file("stdout"),
                    err_file = dir_.file("stderr");
        write_file(in_file, input);
        std::vector<std::string> env_texts;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (std::string(*entry).rfind("QZ_TEST_VSALIB_", 0) != 0) env_texts.push_back(*entry);
        }
        env_texts.push_back("QZ_TEST_VSALIB_LOG=" + calls_file());
        for (const auto& [name, value] : environment) env_texts.push_back(name + "=" + value);

        std::vector<char*> argv = {const_cast<char*>(kProgram.c_str())};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& text : env_texts) envp.push_back(text.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, in_file.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        int spawned =
            posix_spawn(&pid, kProgram.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        Finished result;
        if (spawned != 0) {
            ADD_FAILURE() << "cannot start " << kProgram << ": " << strerror(spawned);
            return result;
        }
        if (started) started(pid);
        int status = 0;
        auto deadline = std::chrono::steady_clock::now() + kRunLimit;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "vsa-scan did not end within the limit";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = read_file(out_file);
        result.err = read_file(err_file);
        return result;
    }

    std::string calls_file() const { return dir_.file("calls.log"); }
    std::string calls() const { return fs::exists(calls_file()) ? read_file(calls_file()) : ""; }
    // Calls of the test implementation whose line starts with `prefix` ("scan ", "end ").
    int count_lines_with(const std::string& prefix) const {
        return static_cast<int>(lines_starting(calls(), prefix).size());
    }

    // A file below the test directory, with its directories.
    std::string make_file(const std::string& relative, const std::string& content = "data\n") {
        fs::path path = fs::path(dir_.path()) / relative;
        fs::create_directories(path.parent_path());
        write_file(path.string(), content);
        return path.string();
    }

    TempDir dir_;
    std::string install_ = dir_.file("inst");
    std::string adapter_;
};

TEST_F(VsaScanCli, HelpExplainsEveryFlagWithAnExample) {
    for (const char* flag : {"--help", "-h"}) {
        Finished result = run({flag});
        EXPECT_EQ(result.exit_code, 0) << flag;
        EXPECT_EQ(result.err, "");
        for (const char* documented :
             {"--adapter",   "--initdirectory", "--engines",     "--drivers",  "--servers",
              "--timeout",   "--trace-file",    "--trace-level", "--param",    "--init-file",
              "--scan-mode", "--threads",       "--action",      "--opt",      "--stdin-name",
              "--json",      "--show-config",   "--verbose",     "--progress", "--no-progress",
              "Example:",    "Exit codes:"}) {
            EXPECT_NE(result.out.find(documented), std::string::npos) << documented;
        }
    }
}

// A bad command line is refused before anything is loaded.
TEST_F(VsaScanCli, UsageErrorsExitTwoWithTheReason) {
    std::string init_file = make_file("init.txt", "INITENGINES = dummy\nNOT A LINE\n");
    struct Case {
        std::vector<std::string> args;
        const char* reason;
    };
    const Case kCases[] = {
        {{}, "nothing to scan"},
        {{"--bogus", "f"}, "unknown option '--bogus'"},
        {{"f", "--threads"}, "--threads needs a value"},
        {{"--threads", "0", "f"}, "--threads wants 1 to 256, not '0'"},
        {{"-j", "257", "f"}, "-j wants 1 to 256"},
        {{"--scan-mode", "disk", "f"}, "--scan-mode wants file or buffer, not 'disk'"},
        {{"--timeout", "soon", "f"}, "--timeout wants a number"},
        {{"--trace-level", "5", "f"}, "--trace-level needs --trace-file"},
        {{"--trace-file", "t.log", "--trace-level", "9", "f"}, "--trace-level wants 0 to 6"},
        {{"--param", "NOPE=1", "f"}, "unknown init parameter 'NOPE'"},
        {{"--param", "INITDRIVERS", "f"}, "init parameter 'INITDRIVERS' is not KEY=VALUE"},
        {{"--param", "INITTIMEOUT=-5", "f"}, "INITTIMEOUT wants a number"},
        {{"--opt", "SCANEXTRACT=maybe", "f"}, "SCANEXTRACT wants 0 or 1, not 'maybe'"},
        {{"--opt", "SCANEXTRACT_DEPTH=deep", "f"}, "SCANEXTRACT_DEPTH wants a number"},
        {{"--action", "scan,fly", "f"}, "--action wants a number or mime, scan, clean, active"},
        {{"--init-file", dir_.file("missing.txt"), "f"}, "cannot read init file"},
        {{"--init-file", init_file, "f"}, "init.txt:2: init parameter 'NOT A LINE' is not KEY"},
        {{"--json=yes", "f"}, "--json takes no value"},
        {{"-", "-"}, "'-' (standard input) given more than once"},
    };
    for (const Case& c : kCases) {
        Finished result = run(c.args);
        EXPECT_EQ(result.exit_code, 2) << c.reason;
        EXPECT_EQ(result.err.rfind("vsa-scan: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("Try 'vsa-scan --help'."), std::string::npos);
        EXPECT_EQ(result.out, "") << c.reason;
    }
    EXPECT_EQ(calls(), "");
}

// Arguments that name nothing to scan are reported one by one; what can be scanned still is.
TEST_F(VsaScanCli, MissingFilesAndEmptyDirectoriesAreErrorsBesideTheScannedFiles) {
    std::string good = make_file("good.txt");
    std::string missing = dir_.file("missing.txt");
    std::string empty = dir_.file("empty");
    fs::create_directories(empty + "/nested");
    Finished result = run(with_adapter({missing, empty, good}));
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_NE(result.err.find("vsa-scan: " + missing + ": No such file or directory"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("vsa-scan: " + empty + ": directory holds no files to scan"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(lines_starting(result.out, good + ": clean code=0 vsa=VSA_OK").size(), 1u)
        << result.out;
    EXPECT_EQ(last_line(result.out).rfind("summary: objects=1 clean=1 findings=0 errors=2 ", 0), 0u)
        << result.out;

    // With nothing left to scan the adapter is not even loaded.
    Finished nothing = run(with_adapter({missing}));
    EXPECT_EQ(nothing.exit_code, 2);
    EXPECT_EQ(lines_starting(nothing.out, "summary: objects=0 clean=0 findings=0 errors=1 ").size(),
              1u)
        << nothing.out;
    EXPECT_EQ(count_lines_with("scan "), 1);  // the first run's one scan only
}

// A file that cannot be read gets its line with the reason; it never reaches VsaScan.
TEST_F(VsaScanCli, UnreadableObjectsAreErrorLines) {
    // Reading the start of a process's own memory fails with EIO, for root as well.
    Finished result = run(with_adapter({"--scan-mode", "buffer", "/proc/self/mem"}));
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(lines_starting(result.out,
                             "/proc/self/mem: error code=- vsa=- virus=- mime=- "
                             "services=- time=0.0ms error=\"cannot read: ")
                  .size(),
              1u)
        << result.out;
    EXPECT_EQ(count_lines_with("scan "), 0);
    EXPECT_EQ(count_lines_with("end "), 1);  // the session was still ended

    if (geteuid() != 0) {
        std::string locked = make_file("locked.txt");
        chmod(locked.c_str(), 0);
        Finished denied = run(with_adapter({locked}));
        EXPECT_EQ(denied.exit_code, 2);
        EXPECT_NE(denied.out.find(locked + ": error code=- vsa=-"), std::string::npos);
        EXPECT_NE(denied.out.find("error=\"cannot open: Permission denied\""), std::string::npos)
            << denied.out;
    }
}

TEST_F(VsaScanCli, AdapterThatCannotBeLoadedIsReported) {
    std::string file = make_file("a.txt");
    std::string not_a_library = make_file("fake/libqzAV.so", "not an ELF file");
    struct Case {
        std::string adapter;
        std::string reason;
    };
    const Case kCases[] = {
        {dir_.file("nowhere/libqzAV.so"), "No such file or directory"},
        {not_a_library, "file too short"},
        // A library, but not an adapter.
        {install_ + "/qz-av-vsa/latest/lib/libqzvsa.so", "no entry point VsaStartup"},
    };
    for (const Case& c : kCases) {
        Finished result = run({"--adapter", c.adapter, file});
        EXPECT_EQ(result.exit_code, 2);
        EXPECT_NE(result.err.find("vsa-scan: cannot load the adapter " + c.adapter + ": "),
                  std::string::npos)
            << result.err;
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
        EXPECT_EQ(
            lines_starting(result.out, "summary: objects=0 clean=0 findings=0 errors=1 ").size(),
            1u);
    }
}

// A refused VsaInit shows the handle's error text and the code; the handle is still given back.
TEST_F(VsaScanCli, VsaInitFailurePrintsTheErrorTextAndCode) {
    std::string file = make_file("a.txt");
    struct Case {
        std::vector<std::string> args;
        Environment environment;
        std::string message;
    };
    const Case kCases[] = {
        {{"--adapter", adapter_, file},
         {},
         "vsa-scan: VsaInit answered 3 (VSA_E_INVALID_PARAM): Required broker URL not set in "
         "parameter INITDRIVERS"},
        {with_adapter({"--initdirectory", dir_.file("no-such-dir"), file}),
         {},
         "vsa-scan: VsaInit answered 3 (VSA_E_INVALID_PARAM): Invalid Parameter INITDIRECTORY " +
             dir_.file("no-such-dir")},
        {with_adapter({file}),
         {{"QZ_TEST_VSALIB_INIT_RC", "9"}},
         "vsa-scan: VsaInit answered 9 (VSA_E_DRIVER_FAILED): test implementation refused the "
         "handle"},
    };
    for (const Case& c : kCases) {
        fs::remove(calls_file());
        Finished result = run(c.args, c.environment);
        EXPECT_EQ(result.exit_code, 2);
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(result.out,
                  "summary: objects=0 clean=0 findings=0 errors=1 time=0.000s "
                  "objects/s=0.0\n");
        EXPECT_EQ(count_lines_with("scan "), 0);
    }
    // The implementation saw the refused handle come back through VsaEnd.
    EXPECT_EQ(count_lines_with("end "), 1) << calls();
}

// Flags and the init file reach the adapter as init parameters, flags winning; the adapter's
// own trace shows what it took.
TEST_F(VsaScanCli, InitParametersComeFromFlagsAndTheInitFile) {
    std::string file = make_file("a.txt");
    std::string temp = dir_.file("tmp");
    fs::create_directories(temp);
    std::string init_file = make_file("init.txt",
                                      "# site settings\n"
                                      "INITENGINES = from-file\n"
                                      "initservers=server-from-file:3310\n"
                                      "\n"
                                      "INITTIMEOUT=30\n");
    std::string trace = dir_.file("trace.log");
    Finished result =
        run(with_adapter({"--init-file", init_file, "--engines", "mimescan;dummy", "--timeout",
                          "120", "--param", "INITTEMP_PATH=" + temp, "--param", "77=odd",
                          "--trace-file", trace, "--trace-level", "6", file}));
    EXPECT_EQ(result.exit_code, 0) << result.err;
    std::string traced = fs::exists(trace) ? read_file(trace) : "";
    for (const std::string& line :
         {std::string("Got mimescan;dummy for INITENGINES via API"),
          std::string("Got server-from-file:3310 for INITSERVERS via API"),
          std::string("Got 120 for INITTIMEOUT via API"),
          "Got " + temp + " for INITTEMP_PATH via API",
          "Got " + install_ + " for INITDIRECTORY via API",  // derived from --adapter
          std::string("Unsupported parameter passed")}) {
        EXPECT_NE(traced.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(traced.find("from-file for INITENGINES"), std::string::npos);
}

// --json: one object per line, every member present with its type, and the summary last.
TEST_F(VsaScanCli, JsonLinesHaveTheDocumentedShape) {
    make_file("tree/clean.txt", "hello\n");
    std::string infected = make_file("tree/sub/eicar.com", std::string(68, 'x'));
    Environment scripted = {{"QZ_TEST_VSALIB_SCAN_RC", "-2"},
                            {"QZ_TEST_VSALIB_SCAN_MATCH", "eicar"},
                            {"QZ_TEST_VSALIB_SCAN_MIME", "text/plain"},
                            {"QZ_TEST_VSALIB_SCAN_VIRUS", "EICAR-Test-File"}};
    Finished result = run(with_adapter({"--json", dir_.file("tree")}), scripted);
    EXPECT_EQ(result.exit_code, 1) << result.err;
    std::vector<std::string> lines = lines_of(result.out);
    ASSERT_EQ(lines.size(), 3u) << result.out;

    bool saw_virus = false;
    for (size_t i = 0; i < 2; ++i) {
        auto object = parse(lines[i]);
        ASSERT_TRUE(object) << lines[i];
        for (const char* name : {"object", "verdict", "code", "vsa", "virus", "findings", "mime",
                                 "size", "files", "services", "ms", "errors"}) {
            EXPECT_TRUE(json_object_object_get_ex(object.get(), name, nullptr)) << name;
        }
        json_object* services = json_object_object_get(object.get(), "services");
        EXPECT_TRUE(json_object_is_type(services, json_type_array));
        EXPECT_TRUE(
            json_object_is_type(json_object_object_get(object.get(), "ms"), json_type_double));
        EXPECT_EQ(member(object.get(), "mime"), "text/plain");
        if (member(object.get(), "object") != infected) continue;
        saw_virus = true;
        EXPECT_EQ(member(object.get(), "verdict"), "virus");
        EXPECT_EQ(json_object_get_int(json_object_object_get(object.get(), "code")), -2);
        EXPECT_EQ(member(object.get(), "vsa"), "VSA_E_VIRUS_FOUND");
        EXPECT_EQ(member(object.get(), "virus"), "EICAR-Test-File");  // trailing blank dropped
        EXPECT_EQ(json_object_get_int64(json_object_object_get(object.get(), "size")), 68);
        json_object* findings = json_object_object_get(object.get(), "findings");
        ASSERT_EQ(json_object_array_length(findings), 1u);
        EXPECT_EQ(member(json_object_array_get_idx(findings, 0), "object"), "eicar.com");
    }
    EXPECT_TRUE(saw_virus) << result.out;

    auto summary_line = parse(lines[2]);
    ASSERT_TRUE(summary_line) << lines[2];
    json_object* summary = json_object_object_get(summary_line.get(), "summary");
    ASSERT_NE(summary, nullptr) << lines[2];
    const std::pair<const char*, int> kCounts[] = {
        {"objects", 2}, {"clean", 1}, {"findings", 1}, {"errors", 0}, {"exit", 1}};
    for (const auto& [name, value] : kCounts)
        EXPECT_EQ(json_object_get_int(json_object_object_get(summary, name)), value) << name;
    EXPECT_TRUE(json_object_object_get_ex(summary, "seconds", nullptr));
    EXPECT_TRUE(json_object_object_get_ex(summary, "objects_per_s", nullptr));
}

// A tree scanned on four threads through one init handle: every file once, the summary adds up.
TEST_F(VsaScanCli, DirectoryIsScannedRecursivelyOnFourThreadsWithOneInitHandle) {
    std::set<std::string> files;
    for (int i = 0; i < 12; ++i) {
        files.insert(make_file(
            "tree/" + std::string(i % 3 == 0 ? "" : "d" + std::to_string(i % 3) + "/deeper/") +
            "file" + std::to_string(i) + ".bin"));
    }
    std::string spaced = make_file("tree/with space.txt");
    // Long enough scans that all four threads get objects however the starts fall.
    Finished result = run(with_adapter({"--threads", "4", "--progress", dir_.file("tree")}),
                          {{"QZ_TEST_VSALIB_SCAN_DELAY_MS", "40"}});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    for (const std::string& file : files)
        EXPECT_EQ(lines_starting(result.out, file + ": clean code=0 vsa=VSA_OK ").size(), 1u)
            << file;
    EXPECT_EQ(lines_starting(result.out, "\"" + spaced + "\": clean ").size(), 1u) << result.out;
    EXPECT_EQ(lines_of(result.out).size(), files.size() + 2);
    // The forced progress line goes to stderr only and ends complete.
    EXPECT_NE(result.err.find("\r[13/13] 100%"), std::string::npos) << result.err;
    EXPECT_EQ(last_line(result.out).rfind("summary: objects=13 clean=13 findings=0 errors=0 ", 0),
              0u)
        << result.out;

    std::string log = calls();
    EXPECT_EQ(count_lines_with("init "), 1);
    EXPECT_EQ(count_lines_with("scan "), 13);
    EXPECT_EQ(count_lines_with("releasescan "), 13);
    EXPECT_EQ(count_lines_with("end "), 1);
    std::set<std::string> handles, threads;
    for (const std::string& line : lines_starting(log, "scan ")) {
        size_t at = line.find("init=");
        handles.insert(line.substr(at, line.find(' ', at) - at));
        at = line.find("thread=");
        threads.insert(line.substr(at, line.find(' ', at) - at));
        EXPECT_NE(line.find("method=4 "), std::string::npos) << line;
    }
    EXPECT_EQ(handles.size(), 1u);
    EXPECT_EQ(threads.size(), 4u) << log;
}

// The exit code is the worst outcome: any error 2, else any finding 1, else 0.
TEST_F(VsaScanCli, ExitCodeFollowsTheScriptedScanCodes) {
    std::string clean = make_file("set/clean.txt");
    std::string bad = make_file("set/bad.txt");
    struct Case {
        const char* rc;
        int exit_code;
        const char* verdict;  // of bad.txt
        const char* code_name;
    };
    const Case kCases[] = {
        {"0", 0, "clean", "VSA_OK"},
        {"-1", 1, "cleaned", "VSA_E_CLEANED"},
        {"-2", 1, "virus", "VSA_E_VIRUS_FOUND"},
        {"-3", 1, "active-content", "VSA_E_ACTIVECONTENT_FOUND"},
        {"-6", 1, "blocked", "VSA_E_BLOCKED_BY_POLICY"},
        {"-7", 1, "finding", "VSA_UNKNOWN_CODE"},
        {"11", 2, "error", "VSA_E_INVALID_SCANOBJECT"},
        {"13", 2, "error", "VSA_E_SCAN_FAILED"},
        {"14", 2, "not-scanned", "VSA_E_NOT_SCANNED"},
    };
    for (const Case& c : kCases) {
        Finished result =
            run(with_adapter({"-j", "2", dir_.file("set")}),
                {{"QZ_TEST_VSALIB_SCAN_RC", c.rc}, {"QZ_TEST_VSALIB_SCAN_MATCH", "bad"}});
        EXPECT_EQ(result.exit_code, c.exit_code) << c.rc;
        EXPECT_EQ(lines_starting(result.out, bad + ": " + c.verdict + " code=" + c.rc +
                                                 " vsa=" + c.code_name + " ")
                      .size(),
                  1u)
            << result.out;
        EXPECT_EQ(lines_starting(result.out, clean + ": clean code=0 ").size(), 1u) << result.out;
    }

    // A failed scan names the service its error record blames.
    Finished failed =
        run(with_adapter({"--verbose", bad}),
            {{"QZ_TEST_VSALIB_SCAN_RC", "13"},
             {"QZ_TEST_VSALIB_SCAN_ERROR", "Service qz-av-dummy: Client side timeout"}});
    EXPECT_EQ(failed.exit_code, 2);
    EXPECT_NE(failed.out.find(" services=qz-av-dummy "), std::string::npos) << failed.out;
    // --verbose shows the init handle as the implementation filled it.
    EXPECT_NE(failed.err.find("vsa-scan: init: library=- build=139 major=4 services=0\n"),
              std::string::npos)
        << failed.err;
    EXPECT_NE(failed.out.find(" error=\"Service qz-av-dummy: Client side timeout\""),
              std::string::npos)
        << failed.out;
}

// File mode hands the path over; buffer mode and stdin hand over the bytes.
TEST_F(VsaScanCli, BufferModeAndStandardInputPassTheBytes) {
    std::string file = make_file("k.bin", std::string(1000, 'k'));
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::string call;  // in the scan line of the calls log
    };
    const Case kCases[] = {
        {{file}, "", "method=4 length=0 "},
        {{"--scan-mode", "buffer", file}, "", "method=2 length=1000 "},
        {{"-"}, "hello", "method=2 length=5 "},
        {{"--stdin-name", "upload.pdf", "-"}, "", "method=2 length=0 "},
    };
    for (const Case& c : kCases) {
        fs::remove(calls_file());
        Finished result = run(with_adapter(c.args), {}, c.input);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        std::vector<std::string> scans = lines_starting(calls(), "scan ");
        ASSERT_EQ(scans.size(), 1u);
        EXPECT_NE(scans[0].find(c.call), std::string::npos) << scans[0];
        EXPECT_NE(scans[0].find("optparams=(nil) "), std::string::npos) << scans[0];
    }
    EXPECT_NE(calls().find("name=upload.pdf"), std::string::npos);

    // Optional parameters go with every scan.
    fs::remove(calls_file());
    Finished with_options =
        run(with_adapter({"--opt", "SCANEXTRACT=1", "--opt", "BLOCKMIMETYPES=x/y", file}));
    EXPECT_EQ(with_options.exit_code, 0);
    EXPECT_EQ(calls().find("optparams=(nil) "), std::string::npos) << calls();
}

// --show-config without objects: VsaGetConfig's description, and no init at all.
TEST_F(VsaScanCli, ShowConfigPrintsTheDescription) {
    Finished text = run({"--adapter", adapter_, "--show-config"});
    EXPECT_EQ(text.exit_code, 0) << text.err;
    EXPECT_NE(text.out.find("config: adapter vendor=\"vendrix Software GmbH\" version=\"Anti-Virus "
                            "for SAP Solutions, wrapper v.4.0.5 Build 139\""),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("config: init INITTIMEOUT code=5 type=8 value=60\n"),
              std::string::npos);
    EXPECT_NE(text.out.find("config: optional SCANEXTRACT_DEPTH code=112 type=3 value=20\n"),
              std::string::npos);
    EXPECT_EQ(lines_starting(text.out, "config: init ").size(), 8u);
    EXPECT_EQ(lines_starting(text.out, "config: optional ").size(), 13u);
    EXPECT_EQ(calls(), "");  // the implementation was never loaded

    Finished json = run({"--adapter", adapter_, "--show-config", "--json"});
    EXPECT_EQ(json.exit_code, 0);
    ASSERT_EQ(lines_of(json.out).size(), 1u) << json.out;  // no summary without objects
    auto config_line = parse(lines_of(json.out).at(0));
    ASSERT_TRUE(config_line) << json.out;
    json_object* config = json_object_object_get(config_line.get(), "config");
    json_object* adapter = json_object_object_get(config, "adapter");
    EXPECT_EQ(member(adapter, "vendor"), "vendrix Software GmbH");
    EXPECT_EQ(json_object_array_length(json_object_object_get(config, "init_parameters")), 8u);
    EXPECT_EQ(json_object_array_length(json_object_object_get(config, "optional_parameters")), 13u);
}

// Ctrl-C lets the running scan finish, skips the rest and still ends the session.
TEST_F(VsaScanCli, InterruptEndsTheSessionProperly) {
    for (int i = 0; i < 20; ++i) make_file("many/f" + std::to_string(i));
    Finished result =
        run(with_adapter({dir_.file("many")}), {{"QZ_TEST_VSALIB_SCAN_DELAY_MS", "100"}}, "",
            [&](pid_t pid) {
                qztest::wait_until([&] { return count_lines_with("scan ") > 0; }, 10000);
                kill(pid, SIGINT);
            });
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_NE(result.err.find("vsa-scan: interrupted: "), std::string::npos) << result.err;
    int scans = count_lines_with("scan ");
    EXPECT_GE(scans, 1);
    EXPECT_LT(scans, 20);
    EXPECT_EQ(count_lines_with("releasescan "), scans);
    EXPECT_EQ(count_lines_with("end "), 1);
}

}  // namespace
