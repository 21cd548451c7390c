#include "vsalib_service_loop.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "process/monotonic_time.h"
#include "process/scan_timeout.h"
#include "scan/scan_alloc.h"
#include "scan/scan_records.h"
#include "vsalib_scan_merge.h"
#include "vsalib_single_service_scan.h"
#include "vsalib_staged_registry.h"
#include "vsalib_store.h"
#include "vsalib_trace.h"

namespace qz::vsalib {
namespace {

constexpr const char* kSource = "vsa-lib/src/vsalib_service_loop";
constexpr const char* kFunction = "qzvsalib_loop_scan_services";
constexpr const char* kControl = "qz-av-control";
constexpr const char* kMimeScan = "qz-av-mimescan";
constexpr const char* kArchiveExtractor = "qz-av-archiveextractor";
constexpr const char* kActiveContent = "qz-av-activecontent";
constexpr const char* kSapArchive = "application/sar";
constexpr const char* kStars =
    "***** ============================================================ *****";

#define LOOP_LOG(level, ...) VSALIB_LOG_AS((level), kFunction, kSource, __VA_ARGS__)

struct ResultRelease {
    void operator()(qz_scan_result* result) const { qzvsalib_free_engine_scan_result(result, 1); }
};
using ResultPtr = std::unique_ptr<qz_scan_result, ResultRelease>;

const char* text_or_empty(const char* text) { return text != nullptr ? text : ""; }

void write_message(char* msgbuf, const char* text) {
    if (msgbuf != nullptr) snprintf(msgbuf, QZ_SCAN_MESSAGE_SIZE, "%s", text);
}

// Sets the consolidated verdict of a scan that ended without one: code and "Service %s: %s".
void end_with(qz_scan_result* result, int32_t rc, const char* service, const char* reason,
              char* msgbuf) {
    result->rc = rc;
    char* text = qz_sprintf("Service %s: %s", service, text_or_empty(reason));
    if (text != nullptr) {
        free(result->error_text);
        result->error_text = text;
        write_message(msgbuf, text);
    }
}

int clamp_int(long value) {
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

struct Settings {
    uint32_t scan_timeout = 0;
    int bandwidth = 0;
};

std::optional<Settings> read_settings(VSA_ENGINE* runtime) {
    const std::optional<long> timeout =
        stored_long(runtime->global, runtime->config, "SCAN", "SCANTIMEOUT");
    // A negative time-out would read as some 49 days through the 32-bit clock arithmetic.
    if (!timeout.has_value() || *timeout < 0) return std::nullopt;
    Settings settings;
    settings.scan_timeout =
        *timeout > static_cast<long>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(*timeout);
    settings.bandwidth = clamp_int(
        stored_long(runtime->global, runtime->config, "SCAN", "SCANBANDWIDTH").value_or(0));
    return settings;
}

// Stages the payload once for all services and hands its key to the registry under the scan's
// record. Without staging each request carries the payload itself.
void stage_payload(ScanTransport& transport, qz_scanjob* job, const qz_scan_result* result,
                   uint32_t timeout_ms) {
    char message[QZ_SCAN_MESSAGE_SIZE] = "";
    char* key = nullptr;
    if (transport.stage(job->data, job->data_len, timeout_ms, &key, message) != 0 ||
        key == nullptr) {
        free(key);
        if (message[0] != '\0') {
            LOOP_LOG(QZ_LOG_DEBUG,
                     "loop_scan_services: staging unavailable (%s); using per-call transfer",
                     message);
        }
        return;
    }
    const std::string kept(key);
    const char* registered = vsalib_staged_register(result->scaninfo, key);
    if (registered == nullptr) {
        // Nobody could release it later: delete it now rather than leave it to the bucket's
        // time-to-live.
        LOOP_LOG(QZ_LOG_DEBUG,
                 "loop_scan_services: staged payload '%s' has no registry entry; deleted, using "
                 "per-call transfer",
                 kept.c_str());
        transport.unstage(kept.c_str());
        return;
    }
    job->staged_key = registered;
    LOOP_LOG(QZ_LOG_DEBUG, "loop_scan_services: staged payload once under KV key '%s'", registered);
}

bool skip_service(const char* name, const qz_scanjob* job, int extract, int active_content) {
    return (job->data_len == 0 && strcmp(name, kMimeScan) != 0) ||
           (extract == 0 && strcmp(name, kArchiveExtractor) == 0) ||
           (active_content == 0 && strcmp(name, kActiveContent) == 0);
}

// The lowest (gravest) final finding among the consolidated files, or SCAN_OK.
int32_t gravest_finding(const qz_scan_result* result) {
    int32_t gravest = SCAN_OK;
    for (int32_t i = 0; i < result->nfiles; ++i) {
        const int32_t code = result->files[i]->rc;
        if (is_final_finding(code) && code < gravest) gravest = code;
    }
    return gravest;
}

void log_summary(VSA_RC code, const qz_scan_result* result) {
    const int32_t nfiles = result != nullptr ? result->nfiles : 0;
    LOOP_LOG(QZ_LOG_INFO, "Returning %d - %d files scanned", static_cast<int>(code), nfiles);
    LOOP_LOG(QZ_LOG_DEBUG, "%s", kStars);
    for (int32_t i = 0; i < nfiles; ++i) {
        const qz_file_scan_result* file = result->files[i];
        LOOP_LOG(QZ_LOG_DEBUG, "***** ReturnCode    %d", file->rc);
        LOOP_LOG(QZ_LOG_DEBUG, "***** Filename:     %s", text_or_empty(file->filename));
        LOOP_LOG(QZ_LOG_DEBUG, "***** File size     %d", static_cast<int>(file->filesize));
        LOOP_LOG(QZ_LOG_DEBUG, "***** MIME type     %s", text_or_empty(file->mime_type));
        LOOP_LOG(QZ_LOG_DEBUG, "***** MIME-encoding %s", text_or_empty(file->mime_encoding));
        LOOP_LOG(QZ_LOG_DEBUG, "***** File Type     %s", text_or_empty(file->file_type));
        LOOP_LOG(QZ_LOG_DEBUG, "***** Extension     %s", text_or_empty(file->extension));
        LOOP_LOG(QZ_LOG_DEBUG, "***** Virusname     %s", text_or_empty(file->virusname));
        LOOP_LOG(QZ_LOG_DEBUG, "%s", kStars);
    }
}

VSA_RC run_loop(VSA_ENGINE* runtime, ScanTransport& transport, qz_scanjob* job,
                qz_scan_result* result, char* msgbuf) {
    const uint32_t start = static_cast<uint32_t>(qz_current_time_ms());
    const std::optional<Settings> settings = read_settings(runtime);
    if (!settings.has_value()) {
        LOOP_LOG(QZ_LOG_ERROR, "Failed to retrieve scan timeout from configuration");
        write_message(msgbuf, "Failed to retrieve scan timeout from configuration");
        return VSA_E_SCAN_FAILED;
    }
    const uint32_t scan_timeout = settings->scan_timeout;
    uint32_t extra = qz_extra_timeout(job->data_len, settings->bandwidth, nullptr, 0);

    char* const* services = runtime->services;
    const bool no_services = services == nullptr || services[0] == nullptr;
    // Nothing to stage for a scan that asks nobody.
    if (!no_services && job->shm_id == QZ_SHM_IN_MEMORY && job->data != nullptr &&
        job->data_len != 0) {
        stage_payload(transport, job, result,
                      add_saturated(scan_timeout, 2 * static_cast<uint64_t>(extra)));
    }

    const int extract = qz_scanjob_document_int(job, "SCANEXTRACT");
    const int active_content = qz_scanjob_document_int(job, "CUST_ACTIVE_CONTENT");
    LOOP_LOG(QZ_LOG_TRACE, "Entering, SCANEXTRACT=%d, ACTIVECONTENT=%d, SCANTIMEOUT=%d", extract,
             active_content, static_cast<int>(scan_timeout));
    if (no_services) return VSA_OK;

    VSA_RC code = VSA_OK;
    const char* previous = services[0];
    for (char* const* entry = services; *entry != nullptr; previous = *entry, ++entry) {
        const char* name = *entry;
        if (qz_timeout_expired(start, add_saturated(scan_timeout, extra))) {
            end_with(result, SCAN_ERROR, previous, "Client side timeout", msgbuf);
            return VSA_E_SCAN_FAILED;
        }
        if (strcmp(name, kControl) == 0) continue;
        ResultPtr latest(qzvsalib_new_engine_scan_result());
        if (!latest) {
            LOOP_LOG(QZ_LOG_ERROR, "Failed to allocate scan result buffer in services loop");
            write_message(msgbuf, "Failed to allocate scan result buffer in services loop");
            return VSA_E_SCAN_FAILED;
        }
        if (skip_service(name, job, extract, active_content)) continue;

        LOOP_LOG(QZ_LOG_DEBUG, "Scanning job %s with service %s", text_or_empty(job->event_id),
                 name);
        code = single_service_scan(transport, job, latest.get(), msgbuf,
                                   qz_remaining_time_ms(start, scan_timeout), extra, name);
        if (code == VSA_E_SCAN_FAILED) {
            end_with(result, SCAN_ERROR, name, latest->error_text, msgbuf);
            if (latest->worker_hostname != nullptr && latest->worker_hostname[0] != '\0') {
                char* worker = qz::scan::copy_text(latest->worker_hostname);
                if (worker != nullptr) {
                    free(result->worker_hostname);
                    result->worker_hostname = worker;
                }
            }
            return VSA_E_SCAN_FAILED;
        }
        if (code == VSA_E_NOT_SCANNED) {
            end_with(result, SCAN_NOT_COMPLETED, name, latest->error_text, msgbuf);
            return VSA_E_NOT_SCANNED;
        }
        const qz_file_scan_result* first = latest->nfiles > 0 ? latest->files[0] : nullptr;
        if (code == VSA_OK && strcmp(name, kMimeScan) == 0 && first != nullptr) {
            if (qz_scanjob_add_mime_findings(job, first) != 0) {
                write_message(msgbuf, "Failed to update scan request with MIME-scan results");
                return VSA_E_SCAN_FAILED;
            }
            // Archives take longer to move and unpack: the services after the MIME scanner get
            // the larger allowance.
            extra = qz_extra_timeout(job->data_len, settings->bandwidth, first->mime_type, 0);
        }
        if (extract == 0 && first != nullptr && first->mime_type != nullptr &&
            strcmp(first->mime_type, kSapArchive) == 0) {
            latest->files[0]->rc = SCAN_NOT_COMPLETED;
            code = VSA_E_NOT_SCANNED;
        }
        if (merge_scan_results(result, latest.get()) != VSA_OK) {
            write_message(msgbuf, "Failed to merge scan results");
            return VSA_E_SCAN_FAILED;
        }
        LOOP_LOG(QZ_LOG_DEBUG, "Scan with service %s completed - now have %d consolidated results",
                 name, result->nfiles);
        if (code != VSA_OK || latest->rc == SCAN_OK_FINAL) break;
    }

    // A service may answer clean at the top while one of its files carries a finding, and a
    // later service may say nothing about that file: the scan must not end clean then.
    if (code == VSA_OK) {
        const int32_t gravest = gravest_finding(result);
        if (gravest != SCAN_OK) {
            LOOP_LOG(QZ_LOG_WARN,
                     "Services answered clean, but a file carries result code %d; reporting it",
                     static_cast<int>(gravest));
            code = qzvsalib_map_QZ_to_VSA_rc(gravest);
        }
    }
    return code;
}

}  // namespace

VSA_RC loop_scan_services(VSA_ENGINE* runtime, ScanTransport& transport, qz_scanjob* job,
                          qz_scan_result* result, char* msgbuf) {
    if (msgbuf != nullptr) msgbuf[0] = '\0';
    if (runtime == nullptr || job == nullptr || result == nullptr) {
        LOOP_LOG(QZ_LOG_ERROR, "Invalid pointer %s",
                 runtime == nullptr ? "runtime"
                 : job == nullptr   ? "job"
                                    : "result");
        write_message(msgbuf, "Invalid scan request");
        log_summary(VSA_E_SCAN_FAILED, result);
        return VSA_E_SCAN_FAILED;
    }
    const VSA_RC code = run_loop(runtime, transport, job, result, msgbuf);
    log_summary(code, result);
    return code;
}

}  // namespace qz::vsalib

extern "C" VSA_RC qzvsalib_loop_scan_services(VSA_ENGINE* runtime, qz_scanjob* job,
                                              qz_scan_result* result, char* msgbuf) {
    qz::vsalib::ConnectionTransport transport(qz::vsalib::runtime_connection(runtime));
    return qz::vsalib::loop_scan_services(runtime, transport, job, result, msgbuf);
}
