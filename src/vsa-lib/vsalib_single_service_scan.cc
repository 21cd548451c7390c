#include "vsalib_single_service_scan.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "scan/scan_alloc.h"
#include "scan/scan_records.h"
#include "vsalib_trace.h"

namespace qz::vsalib {
namespace {

constexpr const char* kSource = "vsa-lib/src/vsalib_single_service_scan";
constexpr const char* kFunction = "qz_single_service_scan";
constexpr const char* kServicePrefix = "qz-av-";
constexpr const char* kTrellix = "qz-av-trellix";

#define SCAN_LOG(level, ...) VSALIB_LOG_AS((level), kFunction, kSource, __VA_ARGS__)

struct JsonRelease {
    void operator()(json_object* object) const { json_object_put(object); }
};
using JsonPtr = std::unique_ptr<json_object, JsonRelease>;

// A service entry split at its first '+'.
struct ServiceEntry {
    std::string primary;
    bool has_plus = false;
    std::string fallback;  // "qz-av-<rest>", empty when nothing follows the '+'
};

ServiceEntry split_entry(const char* service) {
    ServiceEntry entry;
    const char* plus = strchr(service, '+');
    if (plus == nullptr) {
        entry.primary = service;
        return entry;
    }
    entry.primary.assign(service, static_cast<size_t>(plus - service));
    entry.has_plus = true;
    if (plus[1] != '\0') entry.fallback = std::string(kServicePrefix) + (plus + 1);
    return entry;
}

void write_message(char* errbuf, const char* text) {
    if (errbuf != nullptr) snprintf(errbuf, QZ_SCAN_MESSAGE_SIZE, "%s", text);
}

// Replaces result->error_text with a copy of text (NULL clears it).
void set_error_text(qz_scan_result* result, const char* text) {
    free(result->error_text);
    result->error_text = text != nullptr ? qz::scan::copy_text(text) : nullptr;
}

}  // namespace

qz_connection_config* runtime_connection(const VSA_ENGINE* runtime) {
    if (runtime == nullptr || runtime->global == nullptr) return nullptr;
    return static_cast<qz_connection_config*>(runtime->global->connection_config);
}

VSA_RC single_service_scan(ScanTransport& transport, qz_scanjob* job, qz_scan_result* result,
                           char* errbuf, uint32_t remaining_ms, uint32_t extra_ms,
                           const char* service) {
    if (job == nullptr || result == nullptr || service == nullptr) {
        SCAN_LOG(QZ_LOG_ERROR, "Invalid pointer %s",
                 job == nullptr      ? "job"
                 : result == nullptr ? "result"
                                     : "service");
        write_message(errbuf, "Invalid scan request");
        return VSA_E_SCAN_FAILED;
    }
    const ServiceEntry entry = split_entry(service);
    SCAN_LOG(QZ_LOG_TRACE, "Sending request %s to %s. Timeout: %dms + %dms",
             job->event_id != nullptr ? job->event_id : "", entry.primary.c_str(),
             static_cast<int>(remaining_ms), static_cast<int>(extra_ms));

    char transport_message[QZ_SCAN_MESSAGE_SIZE] = "";
    JsonPtr reply(
        transport.send_job(entry.primary.c_str(), *job, remaining_ms, extra_ms, transport_message));
    if (!reply) {
        // A service that never answers must end the scan as failed, never as clean; the reason
        // says which transport step gave up.
        if (transport_message[0] == '\0') {
            snprintf(transport_message, sizeof transport_message, "No reply from service %s",
                     entry.primary.c_str());
        }
        write_message(errbuf, transport_message);
        set_error_text(result, transport_message);
        result->rc = SCAN_ERROR;
        SCAN_LOG(QZ_LOG_ERROR, "%s", transport_message);
        SCAN_LOG(QZ_LOG_TRACE, "Exiting, rc=%d", VSA_E_SCAN_FAILED);
        return VSA_E_SCAN_FAILED;
    }

    char parse_message[QZ_SCAN_MESSAGE_SIZE] = "";
    if (qzvsalib_parse_scanresult_json(reply.get(), &result, parse_message) != 0) {
        SCAN_LOG(QZ_LOG_ERROR, "Failed to parse JSON");
        if (parse_message[0] == '\0')
            snprintf(parse_message, sizeof parse_message, "Failed to parse JSON");
        write_message(errbuf, parse_message);
        set_error_text(result, parse_message);
        // Whatever the reply claimed, a reply that cannot be read is no verdict.
        result->rc = SCAN_ERROR;
        SCAN_LOG(QZ_LOG_TRACE, "Exiting, rc=%d", VSA_E_SCAN_FAILED);
        return VSA_E_SCAN_FAILED;
    }

    bool fallback_taken = false;
    VSA_RC code = VSA_OK;
    if (result->rc == SCAN_NOT_COMPLETED) {
        const char* reason = qzvsalib_scanresult_blocking_reason(reply.get());
        set_error_text(result, reason);
        if (!entry.fallback.empty()) {
            SCAN_LOG(QZ_LOG_WARN,
                     "Service %s did not complete the scan because %s , but '+' overrides the "
                     "result'",
                     service, reason);
            // The primary's reason goes before the fallback runs, so that a failure of the
            // fallback keeps its own reason.
            set_error_text(result, nullptr);
            code = single_service_scan(transport, job, result, errbuf, remaining_ms, extra_ms,
                                       entry.fallback.c_str());
            fallback_taken = true;
        } else if (entry.has_plus) {
            SCAN_LOG(QZ_LOG_WARN,
                     "Scan did not complete with service %s, but '+' is not configured for "
                     "secondary service. returning SCAN_OK to try next service",
                     service);
            result->rc = SCAN_OK;
            set_error_text(result, nullptr);
        } else {
            SCAN_LOG(QZ_LOG_DEBUG, "Scan not completed: %s", reason);
            write_message(errbuf, reason);
        }
    }

    if (entry.primary == kTrellix) qzvsalib_parse_engine_versions(reply.get(), result);

    if (!fallback_taken) {
        code = qzvsalib_map_QZ_to_VSA_rc(result->rc);
        if (code == VSA_E_SCAN_FAILED &&
            (result->error_text == nullptr || result->error_text[0] == '\0')) {
            // A reply without a usable code is a failed scan; say so instead of an empty reason.
            char text[64];
            snprintf(text, sizeof text, "Invalid returncode %d", static_cast<int>(result->rc));
            set_error_text(result, text);
            write_message(errbuf, text);
        }
    }
    SCAN_LOG(QZ_LOG_TRACE, "Exiting, rc=%d", static_cast<int>(code));
    return code;
}

}  // namespace qz::vsalib

extern "C" VSA_RC qz_single_service_scan(qz_scanjob* job, VSA_ENGINE* runtime,
                                         qz_scan_result* result, char* errbuf,
                                         uint32_t remaining_ms, uint32_t extra_ms,
                                         const char* service) {
    qz::vsalib::ConnectionTransport transport(qz::vsalib::runtime_connection(runtime));
    return qz::vsalib::single_service_scan(transport, job, result, errbuf, remaining_ms, extra_ms,
                                           service);
}
