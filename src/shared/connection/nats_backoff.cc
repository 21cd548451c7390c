#include "connection/nats_backoff.h"

#include "log/log.h"
#include "platform/thread.h"

namespace {

constexpr uint32_t kMaxRetries = 4;
constexpr uint32_t kMaxSleptMs = 400;
constexpr uint32_t kBaseMs = 25;

timespec monotonic_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

}  // namespace

extern "C" {

void qz_nats_nr_init(qz_nats_nr* state) {
    if (state == nullptr) return;
    state->start = monotonic_now();
    state->retries = 0;
    state->slept_ms = 0;
}

uint32_t qz_nats_nr_attempt_timeout_ms(const qz_nats_nr* state, uint32_t timeout) {
    if (state == nullptr) return timeout;
    return state->slept_ms >= timeout ? 0u : timeout - state->slept_ms;
}

int qz_nats_nr_should_retry(qz_nats_nr* state, uint32_t timeout, const char* subject) {
    if (state == nullptr || state->retries >= kMaxRetries) return 0;
    const uint32_t base = kBaseMs << state->retries;
    const timespec now = monotonic_now();
    // The nanosecond field of a fresh clock reading is jitter enough to keep a crowd of callers
    // that hit the same restarting worker from retrying in lock-step.
    const int32_t nanos = static_cast<int32_t>(now.tv_nsec);
    const uint32_t jitter = static_cast<uint32_t>(nanos % static_cast<int32_t>(base / 2 + 1));
    const uint32_t backoff = base + jitter;
    if (state->slept_ms + backoff > kMaxSleptMs) return 0;
    const int32_t elapsed = static_cast<int32_t>((now.tv_sec - state->start.tv_sec) * 1000 +
                                                 (now.tv_nsec - state->start.tv_nsec) / 1000000);
    if (static_cast<int64_t>(elapsed) + backoff >= static_cast<int64_t>(timeout)) return 0;
    LOG_DEBUG("nats: no responders for %s - backoff %lums, retry %u/%u",
              subject != nullptr ? subject : "(unknown)", static_cast<unsigned long>(backoff),
              state->retries + 1, kMaxRetries);
    QZ_Sleep(static_cast<long>(backoff));
    state->retries += 1;
    state->slept_ms += backoff;
    return 1;
}
}
