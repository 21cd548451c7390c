// Waiting for another process to end.
#pragma once

#include <cstdint>

extern "C" {

// The pid when the process has ended (its exit status in *status when given and the process is
// our child), 0 on time-out, -1 when the process does not exist or the wait fails. A negative
// time-out waits without limit.
int64_t waitpid_timed(int64_t pid, int* status, long timeout_ms);
}
