#include "platform/clock.h"

#include <ctime>

extern "C" {

uint64_t qz_monotonic_ms(void) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}
}
