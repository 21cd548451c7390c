#include "platform/process.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>

#include "platform/clock.h"

// A process counts as ended when it exits, which the pidfd reports for children and non-children
// alike. Only a child can be reaped for its exit status; a non-child's status stays unknown.
// Where pidfd_open is not available the fallback polls kill(pid, 0) every 10 ms.

namespace {

constexpr long kPollIntervalMs = 10;

// Milliseconds left until the deadline, or -1 for no limit.
int remaining_ms(long timeout_ms, uint64_t start) {
    if (timeout_ms < 0) return -1;
    const uint64_t elapsed = qz_monotonic_ms() - start;
    if (elapsed >= static_cast<uint64_t>(timeout_ms)) return 0;
    const uint64_t left = static_cast<uint64_t>(timeout_ms) - elapsed;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

int exit_code_of(const siginfo_t& info) {
    // Killed by a signal: the shell's convention 128 + signal number.
    return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
}

int64_t wait_by_polling(pid_t pid, int* status, long timeout_ms, uint64_t start) {
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG) == 0) {
            if (info.si_pid == pid) {
                if (status != nullptr) *status = exit_code_of(info);
                return pid;
            }
        } else if (errno != ECHILD && errno != EINTR) {
            return -1;
        } else if (errno == ECHILD && kill(pid, 0) != 0 && errno == ESRCH) {
            return pid;
        }
        int left = remaining_ms(timeout_ms, start);
        if (left == 0) return 0;
        struct timespec pause {
            0, kPollIntervalMs * 1000000L
        };
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

extern "C" {

int64_t waitpid_timed(int64_t pid, int* status, long timeout_ms) {
    if (pid <= 0 || pid > INT_MAX) return -1;
    const pid_t target = static_cast<pid_t>(pid);
    const uint64_t start = qz_monotonic_ms();

    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, target, 0));
    if (pidfd < 0) {
        if (errno == ESRCH) return -1;
        if (kill(target, 0) != 0 && errno == ESRCH) return -1;
        return wait_by_polling(target, status, timeout_ms, start);
    }

    int64_t result = -1;
    for (;;) {
        pollfd entry{pidfd, POLLIN, 0};
        int ready = poll(&entry, 1, remaining_ms(timeout_ms, start));
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (ready == 0) {
            result = 0;
            break;
        }
        siginfo_t info{};
        if (waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED) == 0) {
            if (status != nullptr) *status = exit_code_of(info);
            result = pid;
        } else if (errno == ECHILD) {
            result = pid;
        } else if (errno == EINTR) {
            continue;
        }
        break;
    }
    close(pidfd);
    return result;
}
}
