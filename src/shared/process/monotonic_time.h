// Monotonic millisecond time and time-out arithmetic. Callers keep start values as the low 32 bits
// of qz_current_time_ms(); differences are computed in unsigned 32-bit arithmetic so they stay
// right when that counter wraps (every 49.7 days).
#pragma once

#include <cstdint>

extern "C" {

uint64_t qz_current_time_ms(void);
// Now minus start, modulo 2^32.
uint32_t qz_elapsed_time_ms(uint32_t start);
// 0 once now - start exceeds timeout, else start + timeout - now.
uint32_t qz_remaining_time_ms(uint32_t start, uint32_t timeout);
// True when now - start >= timeout.
bool qz_timeout_expired(uint32_t start, uint32_t timeout);
}

namespace qz {
// The same computations against a given `now` (low 32 bits of the clock).
uint32_t remaining_time_ms_at(uint32_t start, uint32_t timeout, uint32_t now);
bool timeout_expired_at(uint32_t start, uint32_t timeout, uint32_t now);
}  // namespace qz
