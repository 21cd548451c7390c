// Monotonic time in milliseconds.
#pragma once

#include <cstdint>

extern "C" {

uint64_t qz_monotonic_ms(void);
}
