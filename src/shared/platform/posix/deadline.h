// Absolute deadlines for the timed waits of the POSIX implementation.
#pragma once

#include <ctime>

namespace qz::posix {

// Now on `clock` plus timeout_ms (not negative), normalised.
inline timespec deadline_after_ms(clockid_t clock, long timeout_ms) {
    timespec now{};
    clock_gettime(clock, &now);
    timespec deadline{};
    deadline.tv_sec = now.tv_sec + timeout_ms / 1000;
    long nsec = now.tv_nsec + (timeout_ms % 1000) * 1000000L;
    if (nsec >= 1000000000L) {
        nsec -= 1000000000L;
        deadline.tv_sec += 1;
    }
    deadline.tv_nsec = nsec;
    return deadline;
}

}  // namespace qz::posix
