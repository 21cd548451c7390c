#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace qztest {

pid_t spawn_child(std::vector<std::string> args, const std::string& output_file,
                  std::string* why) {
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int log_fd = open(output_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) {
        *why = "cannot open " + output_file;
        return -1;
    }
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        close(log_fd);
        *why = "fork failed";
        return -1;
    }
    if (pid == 0) {
        // Only async-signal-safe calls until exec: the test process may run other threads.
        // The child must not outlive a test binary that crashed before its teardown ran.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
        dup2(log_fd, STDOUT_FILENO);
        dup2(log_fd, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(log_fd);
    return pid;
}

}  // namespace qztest
