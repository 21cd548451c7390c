// Back-off for requests that find no subscriber (NATS_NO_RESPONDERS), typically while a worker
// restarts: up to four short sleeps (25, 50, 100, 200 ms plus jitter, at most 400 ms in all and
// never past the caller's timeout) before the request is given up. One state serves all attempts
// of one request call.
#pragma once

#include <cstdint>
#include <ctime>

extern "C" {

typedef struct qz_nats_nr {
    struct timespec start;  // monotonic time of qz_nats_nr_init
    uint32_t retries;       // back-off sleeps taken
    uint32_t slept_ms;      // sum of those sleeps
} qz_nats_nr;

void qz_nats_nr_init(qz_nats_nr* state);
// timeout minus the time already slept, not below 0; a NULL state gives timeout.
uint32_t qz_nats_nr_attempt_timeout_ms(const qz_nats_nr* state, uint32_t timeout);
// 1 after sleeping one back-off step (the request should be sent again at once), 0 when the
// caller should give up: NULL state, four steps taken, 400 ms slept, or the next step would reach
// timeout counted from qz_nats_nr_init. subject only names the request in the trace.
int qz_nats_nr_should_retry(qz_nats_nr* state, uint32_t timeout, const char* subject);
}
