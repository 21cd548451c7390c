#include "process/monotonic_time.h"

#include "platform/clock.h"

namespace qz {

uint32_t remaining_time_ms_at(uint32_t start, uint32_t timeout, uint32_t now) {
    const uint32_t elapsed = now - start;
    return elapsed > timeout ? 0u : timeout - elapsed;
}

bool timeout_expired_at(uint32_t start, uint32_t timeout, uint32_t now) {
    return static_cast<uint32_t>(now - start) >= timeout;
}

}  // namespace qz

namespace {
uint32_t now_low32() { return static_cast<uint32_t>(qz_current_time_ms()); }
}  // namespace

extern "C" {

uint64_t qz_current_time_ms(void) { return qz_monotonic_ms(); }

uint32_t qz_elapsed_time_ms(uint32_t start) { return now_low32() - start; }

uint32_t qz_remaining_time_ms(uint32_t start, uint32_t timeout) {
    return qz::remaining_time_ms_at(start, timeout, now_low32());
}

bool qz_timeout_expired(uint32_t start, uint32_t timeout) {
    return qz::timeout_expired_at(start, timeout, now_low32());
}
}
