#include "vsalib_quarantine.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "config/config_store.h"
#include "connection/connection.h"
#include "connection/messages.h"
#include "platform/thread.h"
#include "scan/scan_records.h"
#include "vsalib_single_service_scan.h"
#include "vsalib_store.h"
#include "vsalib_trace.h"

namespace qz::vsalib {
namespace {

constexpr const char* kSource = "vsa-lib/src/vsalib_quarantine";
constexpr const char* kFunction = "vsalib_quarantine";
constexpr int kCommandQuarantine = 600;
constexpr int32_t kRetries = 3;

#define QUARANTINE_LOG(level, ...) VSALIB_LOG_AS((level), kFunction, kSource, __VA_ARGS__)

struct JsonRelease {
    void operator()(json_object* object) const { json_object_put(object); }
};
using JsonPtr = std::unique_ptr<json_object, JsonRelease>;

struct PairRelease {
    void operator()(qz_request_reply* pair) const {
        if (pair->reply != nullptr) {
            free(pair->reply->json);
            pair->reply->json = nullptr;
        }
        qz_const_request_reply_free_structs(pair);
    }
};

const char* text_or_empty(const char* text) { return text != nullptr ? text : ""; }

bool add(json_object* doc, const char* key, json_object* value) {
    if (value == nullptr) return false;
    if (json_object_object_add(doc, key, value) != 0) {
        json_object_put(value);
        return false;
    }
    return true;
}

JsonPtr build_request(const VSA_ENGINE* runtime, const qz_scanjob* job,
                      const qz_scan_result* result, const char* event_id) {
    JsonPtr doc(json_object_new_object());
    if (!doc) return nullptr;
    const char* description = result->rc == SCAN_ERROR
                                  ? text_or_empty(result->error_text)
                                  : result->scaninfo->pVirusInfo[0].pszVirusName;
    json_object* d = doc.get();
    if (!add(d, "Command", json_object_new_int(kCommandQuarantine)) ||
        !add(d, "ObjectName", json_object_new_string(text_or_empty(job->object_name))) ||
        !add(d, "ObjectLen", json_object_new_uint64(job->data_len)) ||
        !add(d, "realmID", json_object_new_string(text_or_empty(runtime->realmID))) ||
        !add(d, "SID", json_object_new_string(text_or_empty(runtime->SID))) ||
        !add(d, "Hostname", json_object_new_string(text_or_empty(runtime->FQDN))) ||
        !add(d, "PID", json_object_new_int64(static_cast<int64_t>(QZ_GetProcessId()))) ||
        !add(d, "TID", json_object_new_int64(static_cast<int64_t>(QZ_GetThreadId()))) ||
        !add(d, "EventID", json_object_new_string(text_or_empty(event_id))) ||
        !add(d, "ResultDescription", json_object_new_string(description))) {
        return nullptr;
    }
    return doc;
}

// The stored name from the reply, or the failure code.
int read_reply(json_object* reply, char** out_name) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(reply, "ReturnCode", &value) || value == nullptr) {
        QUARANTINE_LOG(QZ_LOG_WARN, "Object %s not found", "ReturnCode");
    } else if (!json_object_is_type(value, json_type_int)) {
        // Read loosely, a text here would count as 0 and a refusal as success.
        QUARANTINE_LOG(QZ_LOG_ERROR, "Key %s is not an integer", "ReturnCode");
        return -1;
    } else if (const int64_t code = json_object_get_int64(value); code != 0) {
        return code < INT32_MIN || code > INT32_MAX ? -1 : static_cast<int>(code);
    }
    value = nullptr;
    if (!json_object_object_get_ex(reply, "QuarantineFilename", &value) || value == nullptr) {
        QUARANTINE_LOG(QZ_LOG_ERROR, "Failed to read %s from JSON", "QuarantineFilename");
        return -1;
    }
    if (!json_object_is_type(value, json_type_string)) {
        QUARANTINE_LOG(QZ_LOG_ERROR, "Key %s is not a string", "QuarantineFilename");
        return -1;
    }
    const char* name = json_object_get_string(value);
    if (name == nullptr || *name == '\0') {
        QUARANTINE_LOG(QZ_LOG_ERROR, "Key %s found, but value is empty", "QuarantineFilename");
        return -1;
    }
    *out_name = strdup(name);
    if (*out_name == nullptr) {
        QUARANTINE_LOG(QZ_LOG_ERROR, "Failed to allocate %s", "QuarantineFilename");
        return -1;
    }
    return 0;
}

int quarantine(VSA_ENGINE* runtime, qz_scanjob* job, qz_scan_result* result, const char* event_id,
               const char* subject, char** out_name) {
    if (out_name == nullptr || runtime == nullptr || job == nullptr || subject == nullptr) {
        QUARANTINE_LOG(QZ_LOG_ERROR, "Invalid pointer %s",
                       out_name == nullptr  ? "out_name"
                       : runtime == nullptr ? "runtime"
                       : job == nullptr     ? "job"
                                            : "subject");
        return -1;
    }
    *out_name = nullptr;
    if (result == nullptr || result->scaninfo == nullptr || result->scaninfo->uiInfections == 0 ||
        result->scaninfo->pVirusInfo == nullptr ||
        result->scaninfo->pVirusInfo[0].pszVirusName == nullptr) {
        QUARANTINE_LOG(QZ_LOG_ERROR, "Invalid scan result");
        return -1;
    }
    const VSA_SCANINFO* scaninfo = result->scaninfo;
    QUARANTINE_LOG(QZ_LOG_DEBUG, "scan_result->scaninfo=%p", static_cast<const void*>(scaninfo));
    QUARANTINE_LOG(QZ_LOG_DEBUG, "scan_result->scaninfo->pVirusInfo=%p",
                   static_cast<const void*>(scaninfo->pVirusInfo));
    QUARANTINE_LOG(QZ_LOG_DEBUG, "scan_result->scaninfo->pVirusInfo[0].pszVirusName=%p",
                   static_cast<const void*>(scaninfo->pVirusInfo[0].pszVirusName));

    const std::optional<long> timeout =
        stored_long(runtime->global, runtime->config, "SCAN", "SCANTIMEOUT");
    if (!timeout.has_value() || *timeout < 0) {
        QUARANTINE_LOG(QZ_LOG_ERROR, "Failed to retrieve scan timeout from configuration");
        return -1;
    }
    const uint32_t wait =
        *timeout > static_cast<long>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(*timeout);

    JsonPtr doc = build_request(runtime, job, result, event_id);
    const char* text =
        doc ? json_object_to_json_string_ext(doc.get(), JSON_C_TO_STRING_NOSLASHESCAPE) : nullptr;
    std::unique_ptr<qz_request_reply, PairRelease> pair(qz_const_request_reply_new());
    if (text == nullptr || !pair) {
        QUARANTINE_LOG(QZ_LOG_ERROR, "Failed to allocate %s", "quarantine request");
        return -1;
    }
    // The object itself travels with the request: the scan's staged copy may be gone before the
    // quarantine service reads it.
    pair->request->json = const_cast<char*>(text);
    pair->request->data = job->data;
    pair->request->data_len = static_cast<size_t>(job->data_len);
    char message[QZ_SCAN_MESSAGE_SIZE] = "";
    JsonPtr reply(qz_connection_send_recv_json_data(runtime_connection(runtime), subject,
                                                    pair.get(), wait, 0, kRetries, message));
    if (!reply) {
        QUARANTINE_LOG(QZ_LOG_ERROR, "Failed to get reply from service %s", subject);
        if (message[0] != '\0') QUARANTINE_LOG(QZ_LOG_DEBUG, "%s", message);
        return -1;
    }
    return read_reply(reply.get(), out_name);
}

bool quarantine_applies(VSA_RC code) {
    switch (code) {
        case VSA_E_BLOCKED_BY_POLICY:
        case VSA_E_ACTIVECONTENT_FOUND:
        case VSA_E_VIRUS_FOUND:
        case VSA_E_SCAN_FAILED:
        case VSA_E_NOT_SCANNED:
            return true;
        default:
            return false;
    }
}

}  // namespace

QuarantineOutcome quarantine_scanned_object(VSA_ENGINE* runtime, qz_scanjob* job,
                                            qz_scan_result* result, VSA_RC code) {
    QuarantineOutcome outcome;
    outcome.code = code;
    if (!quarantine_applies(code) || runtime == nullptr || job == nullptr) return outcome;
    const std::string engines =
        stored_text_or_empty(runtime->global, runtime->config, "INIT", "INITENGINES");
    if (strcasestr(engines.c_str(), "scanproxy") != nullptr) {
        QUARANTINE_LOG(QZ_LOG_INFO, "Quarantine handled by scanproxy");
        return outcome;
    }
    const char* target =
        job->scan_config != nullptr
            ? GetConfigParameter_String(job->scan_config, "SCAN", "CLEANQUARANTINE")
            : nullptr;
    if (target == nullptr || *target == '\0') return outcome;
    const std::string subject = std::string("qz-av-quarantine.") + target;
    const char* base_name = text_or_empty(job->object_name);
    QUARANTINE_LOG(QZ_LOG_DEBUG, "Quarantining file...");
    char* name = nullptr;
    if (vsalib_quarantine(runtime, job, result, job->event_id, subject.c_str(), &name) != 0) {
        free(name);
        QUARANTINE_LOG(QZ_LOG_ERROR, "Failed to quarantine %s - reporting scan as FAILED",
                       base_name);
        if (result != nullptr && (result->error_text == nullptr || *result->error_text == '\0')) {
            char* text = qz_sprintf("Quarantine failed for %s", base_name);
            if (text != nullptr) {
                free(result->error_text);
                result->error_text = text;
            }
        }
        outcome.code = VSA_E_SCAN_FAILED;
        return outcome;
    }
    QUARANTINE_LOG(QZ_LOG_INFO, "%s quarantined", base_name);
    outcome.quarantined = true;
    outcome.file_name = name;
    return outcome;
}

}  // namespace qz::vsalib

extern "C" int vsalib_quarantine(VSA_ENGINE* runtime, qz_scanjob* job, qz_scan_result* result,
                                 const char* event_id, const char* subject, char** out_name) {
    return qz::vsalib::quarantine(runtime, job, result, event_id, subject, out_name);
}
