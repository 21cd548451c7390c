#include "support/service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "support/child_process.h"

namespace qztest {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartBound = std::chrono::seconds(10);
constexpr auto kStopBound = std::chrono::seconds(5);

int reap_within(pid_t pid, Clock::duration bound) {
    auto deadline = Clock::now() + bound;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0 && errno == ECHILD) return 0;
        if (Clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

std::string bin_path(const std::string& program) {
    if (!program.empty() && program[0] == '/') return program;
    return std::string(QZ_BIN_DIR) + "/" + program;
}

ServiceProcess::ServiceProcess(const std::string& program, const std::string& server_url,
                               std::vector<std::string> args)
    : program_(bin_path(program)), server_url_(server_url), args_(std::move(args)) {
    ready_file_ = dir_.file("ready");
    trace_file_ = dir_.file("trace.log");
    output_file_ = dir_.file("output.log");
    start();
}

ServiceProcess::~ServiceProcess() { stop(); }

void ServiceProcess::start() {
    if (running()) return;
    unlink(ready_file_.c_str());
    std::vector<std::string> args = {program_,     "--server",      server_url_,
                                     "--ready-file", ready_file_,   "--trace",
                                     trace_file_,  "--trace-level", "6"};
    args.insert(args.end(), args_.begin(), args_.end());
    std::string why;
    const pid_t pid = spawn_child(std::move(args), output_file_, &why);
    if (pid < 0) throw std::runtime_error(program_ + ": " + why);
    pid_ = pid;

    auto deadline = Clock::now() + kStartBound;
    while (Clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error(program_ + " exited during start-up (status " +
                                     std::to_string(status) + ")\n--- output ---\n" + output());
        }
        struct stat st;
        if (stat(ready_file_.c_str(), &st) == 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill();
    throw std::runtime_error(program_ + " did not become ready within 10 s\n--- output ---\n" +
                             output());
}

int ServiceProcess::stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = reap_within(pid_, kStopBound);
    if (status == -1) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return status;
}

void ServiceProcess::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string ServiceProcess::output() const { return read_file(output_file_); }

}  // namespace qztest
