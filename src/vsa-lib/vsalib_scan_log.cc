#include "vsalib_scan_log.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/config_store.h"
#include "event/dispatcher.h"
#include "event/event_message.h"
#include "util/path_file.h"
#include "vsalib_store.h"
#include "vsalib_trace.h"

namespace qz::vsalib {
namespace {

constexpr const char* kSource = "vsa-lib/src/vsalib_VsaScan";
constexpr const char* kFunction = "vsaScan_create_logs";
constexpr const char* kFrame = "==============================================";

#define SCANLOG_LOG(level, ...) VSALIB_LOG_AS((level), kFunction, kSource, __VA_ARGS__)

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

const char* text_or_empty(const char* text) { return text != nullptr ? text : ""; }
bool has_text(const char* text) { return text != nullptr && *text != '\0'; }

std::string printf_text(const char* format, const std::string& a, const std::string& b,
                   const std::string& c = std::string()) {
    const int length = snprintf(nullptr, 0, format, a.c_str(), b.c_str(), c.c_str());
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length) + 1, '\0');
    snprintf(text.data(), text.size(), format, a.c_str(), b.c_str(), c.c_str());
    text.resize(static_cast<size_t>(length));
    return text;
}

// A virus name as the host got it may end in the event-ID suffix: the reason stops before it.
// An empty delimiter would cut the whole name away, so it cuts nothing.
std::string reason_from_virus_name(const char* name, const char* delimiter) {
    std::string reason = text_or_empty(name);
    if (has_text(delimiter)) {
        const size_t at = reason.find(delimiter);
        if (at != std::string::npos) reason.resize(at);
    }
    return reason;
}

const char* action_of(bool quarantined, const char* otherwise) {
    return quarantined ? "quarantined" : otherwise;
}

}  // namespace

ScanLogOutcome classify_scan_outcome(const ScanLogInput& in) {
    ScanLogOutcome out;
    const std::string fqdn = text_or_empty(in.fqdn);
    const std::string sid = text_or_empty(in.sid);
    out.reason_key = "Reason-Text";
    out.section = "BlockLog";
    switch (in.rc) {
        case SCAN_OK:
        case SCAN_OK_FINAL:
            out.result_text = "CLEAN";
            out.section.clear();
            break;
        case SCAN_ERROR:
            out.result_text = "SCAN ERROR";
            out.reason_key = "Message";
            out.section = "ErrorLog";
            out.reason = text_or_empty(in.error_text);
            break;
        case SCAN_CLEANED:
            out.result_text = "FILE CLEANED";
            out.reason = reason_from_virus_name(in.first_virus_name, in.delimiter);
            break;
        case SCAN_NOT_COMPLETED:
            out.result_text = "SCAN NOT COMPLETED";
            if (has_text(in.error_text)) {
                out.reason = in.error_text;
            } else if (has_text(in.first_virus_name)) {
                out.reason = reason_from_virus_name(in.first_virus_name, in.delimiter);
            } else {
                out.reason = "Scan could not be completed";
            }
            break;
        case SCAN_BLOCKED_POLICY:
            out.result_text = "POLICY VIOLATION";
            out.reason = reason_from_virus_name(in.first_virus_name, in.delimiter);
            break;
        case SCAN_ACTIVE_CONTENT:
            out.result_text = "ACTIVE CONTENT";
            out.reason = reason_from_virus_name(in.first_virus_name, in.delimiter);
            break;
        default:
            out.result_text = "MALWARE DETECTED";
            if (has_text(in.first_virus_name)) {
                out.reason = reason_from_virus_name(in.first_virus_name, in.delimiter);
            } else {
                SCANLOG_LOG(QZ_LOG_WARN,
                            "No virus name found in scan result. scan_result->rc=%d",
                            static_cast<int>(in.rc));
                out.reason = "MALWARE DETECTED";
            }
            break;
    }

    const std::string message =
        in.quarantined ? printf_text("%s. Quarantined file %s", out.reason,
                                text_or_empty(in.quarantine_name))
                       : out.reason;
    if (in.rc == SCAN_OK || in.rc == SCAN_OK_FINAL) {
        out.event_type = QZ_EVENT_SCAN_CLEAN;
        out.event_message = "File clean";
        out.epo = true;
        out.epo_event_id = 202953;
        out.epo_text = printf_text("%s/%s: File clean", fqdn, sid);
        out.epo_category = "ops.task.end";
        out.epo_type = "none";
        out.epo_action = "none";
        return out;
    }
    out.event_message = printf_text("%s: %s", out.result_text, message);
    if (in.rc == SCAN_ERROR || in.rc == SCAN_NOT_COMPLETED) {
        const bool error = in.rc == SCAN_ERROR;
        out.event_type = error ? QZ_EVENT_SCAN_ERROR : QZ_EVENT_SCAN_NOT_COMPLETED;
        out.event_error = message;
        out.epo = true;
        out.epo_event_id = 202956;
        out.epo_text = printf_text(error ? "%s/%s: Scan Error: %s" : "%s/%s: Scan not completed: %s",
                              fqdn, sid, message);
        out.epo_category = "ops.task.end";
        out.epo_type = "none";
        out.epo_action = action_of(in.quarantined, "none");
        return out;
    }
    if (in.rc == SCAN_CLEANED) {
        out.event_type = QZ_EVENT_FILE_CLEANED;
        return out;
    }
    // Policy block, active content or malware.
    out.event_type = in.quarantined ? QZ_EVENT_BLOCKED_QUARANTINED : QZ_EVENT_BLOCKED;
    out.event_blocking = message;
    out.epo = true;
    out.epo_event_id = 202954;
    out.epo_type = "app";
    out.epo_action = action_of(in.quarantined, "blocked");
    if (in.rc == SCAN_BLOCKED_POLICY) {
        // The EPO record names the rule as the host got it, suffix and all.
        out.epo_text = printf_text("%s/%s: %s found ", fqdn, sid, text_or_empty(in.first_virus_name));
        out.epo_category = "policy.detect";
    } else if (in.rc == SCAN_ACTIVE_CONTENT) {
        out.epo_text = printf_text("%s/%s: %s ", fqdn, sid, message);
        out.epo_category = "policy.detect";
    } else {
        out.epo_text = printf_text("%s/%s: %s found ", fqdn, sid, message);
        out.epo_category = "av.detect";
    }
    return out;
}

namespace {

bool preconditions(vsa_global* g, VSA_ENGINE* runtime) {
    auto* params = g != nullptr ? static_cast<logThreadParams*>(g->logThreadParams) : nullptr;
    if (params == nullptr || params->pq == nullptr) {
        SCANLOG_LOG(QZ_LOG_TRACE, "%s", kFrame);
        SCANLOG_LOG(QZ_LOG_TRACE, " g:                          %p", static_cast<void*>(g));
        SCANLOG_LOG(QZ_LOG_TRACE, " g->logThreadParams:         %p", static_cast<void*>(params));
        SCANLOG_LOG(QZ_LOG_TRACE, " g->logThreadParams->p       %p",
                    params != nullptr ? static_cast<void*>(params->pq) : nullptr);
        SCANLOG_LOG(QZ_LOG_TRACE, "%s", kFrame);
        SCANLOG_LOG(QZ_LOG_ERROR,
                    "Invalid parameter: g or g->logThreadParams or g->logThreadParams->pq is NULL");
        return false;
    }
    if (runtime == nullptr || runtime->SID == nullptr || runtime->FQDN == nullptr) {
        auto text = [](const char* s) { return s != nullptr ? s : "(null)"; };
        SCANLOG_LOG(QZ_LOG_TRACE, "%s", kFrame);
        SCANLOG_LOG(QZ_LOG_TRACE, " runtime:                       %p",
                    static_cast<void*>(runtime));
        SCANLOG_LOG(QZ_LOG_TRACE, " runtime->SID:                  %p",
                    runtime != nullptr ? static_cast<void*>(runtime->SID) : nullptr);
        SCANLOG_LOG(QZ_LOG_TRACE, " runtime->FQDN:                 %p",
                    runtime != nullptr ? static_cast<void*>(runtime->FQDN) : nullptr);
        SCANLOG_LOG(QZ_LOG_TRACE, " realmID:                       %s",
                    text(runtime != nullptr ? runtime->realmID : nullptr));
        SCANLOG_LOG(QZ_LOG_TRACE, " realmName:                     %s",
                    text(runtime != nullptr ? runtime->realmName : nullptr));
        SCANLOG_LOG(QZ_LOG_TRACE, "%s", kFrame);
        SCANLOG_LOG(QZ_LOG_ERROR,
                    "Invalid parameter: runtime or runtime->SID or runtime->FQDN is NULL");
        return false;
    }
    return true;
}

bool add(json_object* object, const char* key, json_object* value) {
    if (value == nullptr) return false;
    if (json_object_object_add(object, key, value) != 0) {
        json_object_put(value);
        return false;
    }
    return true;
}

bool add_text(json_object* object, const char* key, const char* value) {
    return add(object, key, json_object_new_string(text_or_empty(value)));
}

std::string version_text(int32_t major, int32_t minor) {
    if (major == 0) return std::string();
    char text[32];
    snprintf(text, sizeof text, "%d.%d", static_cast<int>(major), static_cast<int>(minor));
    return text;
}

const char* first_virus_name(const qz_scan_result* result) {
    const VSA_SCANINFO* info = result->scaninfo;
    if (info == nullptr || info->uiInfections == 0 || info->pVirusInfo == nullptr) return nullptr;
    return info->pVirusInfo[0].pszVirusName;
}

const char* first_mime_type(const qz_scan_result* result) {
    if (result->nfiles > 0 && result->files != nullptr && result->files[0] != nullptr &&
        has_text(result->files[0]->mime_type)) {
        return result->files[0]->mime_type;
    }
    return "application/x-empty";
}

void create_logs(vsa_global* g, VSA_ENGINE* runtime, const qz_scanjob* job,
                 const qz_scan_result* result, uint64_t duration_ms, bool quarantined,
                 const char* quarantine_name) {
    if (!preconditions(g, runtime)) return;
    if (job == nullptr || result == nullptr) {
        SCANLOG_LOG(QZ_LOG_ERROR, "Invalid parameter: %s is NULL", job == nullptr ? "job" : "result");
        return;
    }
    qz_pqueue* queue = static_cast<logThreadParams*>(g->logThreadParams)->pq;
    JsonPtr message(qz_log_create_message_with_eventID(job->event_id));
    if (!message) {
        SCANLOG_LOG(QZ_LOG_ERROR, "Failed to allocate %s", "qzlog");
        return;
    }
    if (has_text(runtime->TenantID)) add_text(message.get(), "Tenant", runtime->TenantID);
    if (has_text(runtime->realmName)) add_text(message.get(), "RealmName", runtime->realmName);

    JsonPtr logdata(json_object_new_object());
    if (!logdata) {
        SCANLOG_LOG(QZ_LOG_ERROR, "Failed to allocate %s", "logdata");
        return;
    }
    const std::string engines = stored_text_or_empty(g, g->config, "INIT", "INITENGINES");
    const bool trellix = strcasestr(engines.c_str(), "trellix") != nullptr;
    const std::string lib_version =
        trellix ? version_text(result->engine_major, result->engine_minor) : std::string();
    const std::string dat_version =
        trellix ? version_text(result->dat_major, result->dat_minor) : std::string();
    const char* base_name = text_or_empty(job->object_name);

    const std::string delimiter = stored_text_or_empty(g, g->config, "SCAN", "EVENT_ID_DELIMITER");
    ScanLogInput input;
    input.rc = result->rc;
    input.error_text = result->error_text;
    input.first_virus_name = first_virus_name(result);
    input.delimiter = delimiter.c_str();
    input.quarantined = quarantined;
    input.quarantine_name = quarantine_name;
    input.fqdn = runtime->FQDN;
    input.sid = runtime->SID;
    const ScanLogOutcome outcome = classify_scan_outcome(input);

    json_object* data = logdata.get();
    bool filled = add_text(data, "SID", runtime->SID) && add_text(data, "Filename", base_name) &&
                  add(data, "File-size", json_object_new_uint64(job->data_len)) &&
                  add_text(data, "MIME-type", first_mime_type(result)) &&
                  add(data, "Duration", json_object_new_int64(static_cast<int64_t>(duration_ms))) &&
                  add_text(data, "Result-Text", outcome.result_text.c_str()) &&
                  add_text(data, outcome.reason_key.c_str(), outcome.reason.c_str());
    if (filled && result->rc == SCAN_ERROR && has_text(result->worker_hostname)) {
        filled = add_text(data, "WorkerHostname", result->worker_hostname);
    }
    if (!filled) {
        SCANLOG_LOG(QZ_LOG_ERROR, "Failed to allocate %s", "logdata");
        return;
    }

    auto optional = [](const std::string& text) { return text.empty() ? nullptr : text.c_str(); };
    qz_log_send_event(queue, outcome.event_type, runtime->realmID, runtime->SID, base_name,
                      optional(outcome.event_error), optional(outcome.event_blocking),
                      outcome.event_message.c_str(), runtime->secretbox);

    // logdata goes into the message twice when the verdict has a section: the section takes
    // the reference we hold, the scan log one more.
    bool in_section = false;
    if (!outcome.section.empty()) {
        if (qz_log_add_log_section(message.get(), outcome.section.c_str(), runtime->realmID,
                                   logdata.get()) == 0) {
            in_section = true;
        }
    }
    if (outcome.epo) {
        JsonPtr epo(qz_log_create_epolog_json(
            outcome.epo_event_id, base_name, outcome.epo_text.c_str(),
            outcome.epo_category.c_str(), outcome.epo_type.c_str(), outcome.epo_action.c_str(),
            lib_version.c_str(), dat_version.c_str()));
        if (!epo) {
            SCANLOG_LOG(QZ_LOG_ERROR, "Failed to allocate %s", "epo_log_json");
        } else {
            SCANLOG_LOG(QZ_LOG_TRACE, "Adding epoLog Section");
            if (qz_log_add_log_section(message.get(), "EPOLog", runtime->realmID, epo.get()) == 0) {
                (void)epo.release();
            }
        }
    }

    std::string path;
    const char* configured =
        job->scan_config != nullptr
            ? GetConfigParameter_String(job->scan_config, "SCAN", "SCANLOGPATH")
            : nullptr;
    if (has_text(configured)) {
        char* expanded = qzhlp_expand_path(configured);
        if (expanded == nullptr) {
            SCANLOG_LOG(QZ_LOG_ERROR, "Failed to allocate %s", "scanlogpath_expanded");
            if (in_section) (void)logdata.release();
            return;
        }
        path = expanded;
        free(expanded);
    }
    json_object* scanlog_data = in_section ? json_object_get(logdata.get()) : logdata.get();
    if (in_section) (void)logdata.release();  // that reference now belongs to the message
    if (qz_log_add_scanlog_section(message.get(), path.c_str(), runtime->realmID, scanlog_data) ==
        0) {
        if (!in_section) (void)logdata.release();
    } else {
        SCANLOG_LOG(QZ_LOG_ERROR, "Failed to add scanlog to log message");
        if (in_section) json_object_put(scanlog_data);
    }
    qz_log_enqueue(queue, 'L', message.get());
}

}  // namespace
}  // namespace qz::vsalib

extern "C" void vsaScan_create_logs(vsa_global* g, VSA_ENGINE* runtime, const qz_scanjob* job,
                                    const qz_scan_result* result, uint64_t duration_ms,
                                    int quarantined, const char* quarantine_name) {
    qz::vsalib::create_logs(g, runtime, job, result, duration_ms, quarantined != 0,
                            quarantine_name);
}
