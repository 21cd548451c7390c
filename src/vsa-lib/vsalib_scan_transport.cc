#include "vsalib_scan_transport.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "connection/connection.h"
#include "connection/messages.h"

namespace qz::vsalib {
namespace {

constexpr int32_t kRetries = 2;
// Time for the reply to travel back once the service has used up the scan time.
constexpr uint32_t kReplyMarginMs = 250;

struct PairRelease {
    void operator()(qz_request_reply* pair) const {
        // The gateway leaves a copy of the reply text in the reply message; the const release
        // below frees only the records.
        if (pair->reply != nullptr) {
            free(pair->reply->json);
            pair->reply->json = nullptr;
        }
        qz_const_request_reply_free_structs(pair);
    }
};

}  // namespace

uint32_t add_saturated(uint32_t a, uint64_t b) {
    const uint64_t sum = static_cast<uint64_t>(a) + (b > UINT32_MAX ? UINT32_MAX : b);
    return sum > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(sum);
}

int ConnectionTransport::stage(const uint8_t* data, uint64_t length, uint32_t timeout_ms,
                               char** key, char* errbuf) {
    return qz_connection_stage_scan_data(config_, data, static_cast<size_t>(length), timeout_ms,
                                         key, errbuf);
}

void ConnectionTransport::unstage(const char* key) {
    qz_connection_unstage_scan_data(config_, key);
}

json_object* ConnectionTransport::send_job(const char* subject, const qz_scanjob& job,
                                           uint32_t remaining_ms, uint32_t extra_ms, char* errbuf) {
    if (job.shm_id != QZ_SHM_IN_MEMORY) {
        return qz_connection_send_recv_json(
            config_, subject, job.job_json,
            add_saturated(add_saturated(remaining_ms, extra_ms), kReplyMarginMs), kRetries, errbuf);
    }
    std::unique_ptr<qz_request_reply, PairRelease> pair(qz_const_request_reply_new());
    if (!pair) {
        if (errbuf != nullptr) {
            snprintf(errbuf, QZ_SCAN_MESSAGE_SIZE, "Failed to allocate %s", "request");
        }
        return nullptr;
    }
    // The messages only borrow: the job keeps its text, its bytes and the registry its key.
    qz_message* request = pair->request;
    request->json = const_cast<char*>(job.job_json);
    if (job.staged_key != nullptr && job.staged_key[0] != '\0') {
        request->staged_key = job.staged_key;
    } else {
        request->data = job.data;
        request->data_len = static_cast<size_t>(job.data_len);
    }
    return qz_connection_send_recv_json_data(config_, subject, pair.get(),
                                             add_saturated(remaining_ms, kReplyMarginMs), extra_ms,
                                             kRetries, errbuf);
}

}  // namespace qz::vsalib
