// A reference service program (from QZ_BIN_DIR) run by a test: started with the common service
// flags (--server, --ready-file, --trace) plus its own, waited for until its ready file appears,
// stopped by PID at teardown (SIGTERM, SIGKILL after 5 s, always reaped), also when the test
// fails. Its stdout and stderr go to a file in the fixture's temporary directory.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace qztest {

class ServiceProcess {
  public:
    // program: a name under QZ_BIN_DIR ("qz-av-eventsink") or an absolute path. Starts it and
    // waits up to 10 s for the ready file; throws std::runtime_error with the program's output
    // when it does not come up.
    ServiceProcess(const std::string& program, const std::string& server_url,
                   std::vector<std::string> args = {});
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // SIGTERM and wait (SIGKILL after 5 s). Returns the exit status as waitpid gives it, or -1
    // when it was not running.
    int stop();
    // SIGKILL without a chance to clean up.
    void kill();
    // Starts it again with the same arguments; throws like the constructor.
    void start();
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // The service's trace file (level 6) and everything it wrote to stdout and stderr.
    const std::string& trace_file() const { return trace_file_; }
    std::string output() const;
    const std::string& dir() const { return dir_.path(); }

  private:
    std::string program_;
    std::string server_url_;
    std::vector<std::string> args_;
    TempDir dir_;
    std::string ready_file_, trace_file_, output_file_;
    pid_t pid_ = -1;
};

// The path of a built program under QZ_BIN_DIR.
std::string bin_path(const std::string& program);

}  // namespace qztest
