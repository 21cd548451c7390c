// A host process that does not link the broker client itself (vsa-scan) loads the adapter, which
// loads libqzvsa, scans, ends and unloads it, then exits. With a CA file configured the broker
// client sets up TLS state; unmapping the client used to tear that state down a first time and
// OpenSSL a second time at exit, so the host crashed on exit in about every other run.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/farm.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

struct RunResult {
    int status = -1;
    std::string output;
};

RunResult run(const std::vector<std::string>& args, const std::string& output_file) {
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (auto& arg : copy) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    RunResult result;
    waitpid(pid, &result.status, 0);
    result.output = qztest::read_file(output_file);
    return result;
}

TEST(HostExit, HostExitsCleanlyAfterTheImplementationWithACaFileWasUnloaded) {
    qztest::Farm farm;
    farm.start_service("qz-av-dummy", {"--pullers", "0"});

    qztest::TempDir install;
    const fs::path lib = fs::path(install.path()) / "qz-av-vsa/latest/lib";
    fs::create_directories(lib);
    const fs::path stage = fs::path(QZ_STAGE_DIR) / "qz-av-vsa/latest/lib";
    fs::copy_file(stage / "libqzAV.so", lib / "libqzAV.so");
    fs::copy_file(stage / "libqzvsa.so", lib / "libqzvsa.so");
    fs::create_directories(fs::path(install.path()) / "config/certificates");
    fs::create_directories(fs::path(install.path()) / "run");
    qztest::write_file(install.file("config/qzvsa4.cfg"), "[SCAN]\nSCANTIMEOUT = 10000\n");
    const std::string openssl =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=127.0.0.1 -keyout '" + install.file("ca.key") + "' -out '" +
        install.file("config/certificates/qz-av-ca-root.crt") + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(openssl.c_str()), 0);
    qztest::write_file(install.file("sample.txt"), "nothing to see here\n");

    for (int i = 0; i < 6; ++i) {
        RunResult result = run({std::string(QZ_BIN_DIR) + "/vsa-scan", "--initdirectory",
                                install.path(), "--drivers", farm.url(), "--engines", "dummy",
                                install.file("sample.txt")},
                               install.file("vsa-scan.out"));
        ASSERT_TRUE(WIFEXITED(result.status))
            << "run " << i << " ended by signal " << WTERMSIG(result.status) << "\n"
            << result.output;
        ASSERT_EQ(WEXITSTATUS(result.status), 0) << result.output;
    }
}

}  // namespace
