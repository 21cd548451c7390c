// How a scan reaches its services: staging the payload once and sending the job document to one
// service subject. The service loop talks only to this interface, so that its rules can be run
// against scripted services; ConnectionTransport is the real one, over the connection facade
// (broker or HTTP gateway).
#pragma once

#include <json-c/json.h>

#include <cstdint>

#include "connection/connection_config.h"
#include "scan/scan_job.h"

namespace qz::vsalib {

class ScanTransport {
  public:
    virtual ~ScanTransport() = default;

    // Stages length bytes for all services of the scan, kept at least timeout_ms. 0 with *key
    // (malloc'ed, the caller frees it) holding the key, or with *key NULL when the transport has
    // no staging (the payload then travels with each request); -1 with the reason in errbuf
    // (1024 bytes).
    virtual int stage(const uint8_t* data, uint64_t length, uint32_t timeout_ms, char** key,
                      char* errbuf) = 0;
    // Deletes a payload staged above; NULL is ignored.
    virtual void unstage(const char* key) = 0;
    // Sends job's job_json to subject: without payload when the job has none (shm_id not
    // QZ_SHM_IN_MEMORY), else with the staged key when the job has one, or with the bytes
    // themselves. Waits remaining_ms plus extra_ms (the payload's transfer allowance) plus a
    // margin. The reply (json_object_put it), or NULL with the reason in errbuf (1024 bytes).
    virtual json_object* send_job(const char* subject, const qz_scanjob& job, uint32_t remaining_ms,
                                  uint32_t extra_ms, char* errbuf) = 0;
};

// Over qz_connection_*: two retries per request, 250 ms on top of the remaining scan time.
// The config is borrowed and may be NULL (every call then fails).
class ConnectionTransport final : public ScanTransport {
  public:
    explicit ConnectionTransport(qz_connection_config* config) : config_(config) {}

    int stage(const uint8_t* data, uint64_t length, uint32_t timeout_ms, char** key,
              char* errbuf) override;
    void unstage(const char* key) override;
    json_object* send_job(const char* subject, const qz_scanjob& job, uint32_t remaining_ms,
                          uint32_t extra_ms, char* errbuf) override;

  private:
    qz_connection_config* config_;
};

// a + b, at most UINT32_MAX: time-outs that wrapped around would end a scan at once.
uint32_t add_saturated(uint32_t a, uint64_t b);

}  // namespace qz::vsalib
