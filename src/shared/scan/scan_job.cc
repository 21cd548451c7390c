#include "scan/scan_job.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "config/config_store.h"
#include "log/log.h"
#include "platform/thread.h"
#include "scan/scan_message.h"

namespace {

// Longest "Services" text, without its NUL.
constexpr size_t kServicesMax = 1023;

// Members the job JSON sets itself. A "SCAN" parameter of the same name would silently change
// the command, the object's identity or its size on the wire, and the envelope keys of the work
// queue would make a worker look for a staged payload that does not exist.
constexpr const char* kOwnMembers[] = {
    "Command",   "realmID",   "SID",          "Hostname",    "EventID",
    "PID",       "TID",       "Scan-Servers", "shmID",       "ObjectName",
    "ObjectLen", "Services",  "Recursion",    "MIME-type",   "MIME-encoding",
    "File-type", "Extension", "_reqid",       "_reply_subj", "_kv_key",
};

bool own_member(const char* key) {
    for (const char* name : kOwnMembers) {
        if (strcmp(name, key) == 0) return true;
    }
    return false;
}

const char* text_or_empty(const char* text) { return text != nullptr ? text : ""; }

// Adds (or replaces) a member; a NULL value means json-c could not allocate it.
bool add_member(json_object* doc, const char* key, json_object* value, char* errbuf) {
    if (value == nullptr || json_object_object_add(doc, key, value) != 0) {
        json_object_put(value);
        QZ_SCAN_FAIL(errbuf, "Failed to add %s to scan request", key);
        return false;
    }
    return true;
}

bool add_text(json_object* doc, const char* key, const char* text, char* errbuf) {
    return add_member(doc, key, json_object_new_string(text_or_empty(text)), errbuf);
}

// "INITSERVERS" of section "INIT", or "n/a".
std::string scan_servers(const qz_scan_runtime* runtime) {
    if (runtime->config == nullptr) return "n/a";
    if (runtime->config_lock != nullptr) QZ_EnterCriticalSection(runtime->config_lock);
    const char* servers = GetConfigParameter_String(runtime->config, "INIT", "INITSERVERS");
    std::string text = servers != nullptr && *servers != '\0' ? servers : "n/a";
    if (runtime->config_lock != nullptr) QZ_LeaveCriticalSection(runtime->config_lock);
    return text;
}

bool add_fixed_members(const qz_scan_runtime* runtime, const qz_scanjob* job, json_object* doc,
                       char* errbuf) {
    const bool clean = (job->scanparam->tActioncode & VSA_ACTION_CLEAN) != 0;
    char shm_id[16];
    snprintf(shm_id, sizeof shm_id, "0x%x", static_cast<unsigned int>(job->shm_id));
    return add_member(doc, "Command",
                      json_object_new_int(clean ? QZ_COMMAND_SCAN_AND_CLEAN : QZ_COMMAND_SCAN),
                      errbuf) &&
           add_text(doc, "realmID", runtime->realmID, errbuf) &&
           add_text(doc, "SID", runtime->SID, errbuf) &&
           add_text(doc, "Hostname", runtime->FQDN, errbuf) &&
           add_text(doc, "EventID", job->event_id, errbuf) &&
           add_member(doc, "PID", json_object_new_int64(static_cast<int64_t>(QZ_GetProcessId())),
                      errbuf) &&
           add_member(doc, "TID", json_object_new_int64(static_cast<int64_t>(QZ_GetThreadId())),
                      errbuf) &&
           add_text(doc, "Scan-Servers", scan_servers(runtime).c_str(), errbuf) &&
           add_text(doc, "shmID", shm_id, errbuf) &&
           add_text(doc, "ObjectName", job->object_name, errbuf) &&
           add_member(doc, "ObjectLen", json_object_new_uint64(job->data_len), errbuf);
}

bool add_scan_parameter(json_object* doc, const qz_config_parameter* parameter, char* errbuf) {
    const char* key = parameter->key;
    if (key == nullptr || *key == '\0') return true;
    if (own_member(key)) {
        LOG_ERROR("Parameter %s would replace a member of the scan request; left out", key);
        return true;
    }
    // Only an integer without text goes as a JSON integer; numeric settings stored the usual
    // way keep their text and travel as strings, which readers convert.
    if (parameter->flags == QZ_CONFIG_INT_VALID) {
        LOG_DEBUG("Adding parameter %s = %d to scan request", key, parameter->value);
        return add_member(doc, key, json_object_new_int(parameter->value), errbuf);
    }
    if (parameter->ptr == nullptr || *parameter->ptr == '\0') {
        LOG_ERROR("Parameter %s has no value", key);
        return true;
    }
    LOG_DEBUG("Adding parameter %s = %s  to scan request", key, parameter->ptr);
    return add_text(doc, key, parameter->ptr, errbuf);
}

bool add_scan_parameters(list_t* scan_config, json_object* doc, char* errbuf) {
    if (scan_config == nullptr || !list_iterator_wait(scan_config, 250, 0, 25)) {
        QZ_SCAN_FAIL(errbuf, "Failed to start scan config iterator");
        return false;
    }
    bool added = true;
    while (added && list_iterator_hasnext(scan_config)) {
        const auto* parameter =
            static_cast<const qz_config_parameter*>(list_iterator_next(scan_config));
        if (parameter == nullptr || parameter->section == nullptr ||
            strcasecmp(parameter->section, "SCAN") != 0) {
            continue;
        }
        added = add_scan_parameter(doc, parameter, errbuf);
    }
    list_iterator_stop(scan_config);
    return added;
}

bool skipped_service(const char* name, int extract, int active_content) {
    if (strcasecmp(name, "qz-av-control") == 0) return true;
    if (extract == 0 && strcasecmp(name, "qz-av-archiveextractor") == 0) {
        LOG_TRACE("Skipping archiveextractor");
        return true;
    }
    if (active_content == 0 && strcasecmp(name, "qz-av-activecontent") == 0) {
        LOG_TRACE("Skipping activecontent");
        return true;
    }
    return false;
}

std::string services_text(const qz_scan_runtime* runtime, int extract, int active_content) {
    std::string text;
    if (runtime->services == nullptr) return text;
    for (char* const* service = runtime->services; *service != nullptr; ++service) {
        if (skipped_service(*service, extract, active_content)) continue;
        if (!text.empty()) text += ';';
        text += *service;
    }
    if (text.size() > kServicesMax) text.resize(kServicesMax);
    return text;
}

bool render(qz_scanjob* job) {
    const char* text = json_object_to_json_string_ext(job->job_doc, JSON_C_TO_STRING_PRETTY);
    if (text == nullptr) return false;
    job->job_json = text;
    return true;
}

int encode(const qz_scan_runtime* runtime, qz_scanjob* job, char* errbuf) {
    const uint32_t action = job->scanparam->tActioncode;
    if ((action & VSA_ACTION_SCAN) == 0) {
        QZ_SCAN_FAIL(errbuf, "Unsupported Scan Action Code %d", static_cast<int>(action));
        return -1;
    }
    if (job->job_doc == nullptr) {
        job->job_doc = json_object_new_object();
        if (job->job_doc == nullptr) {
            QZ_SCAN_FAIL(errbuf, "Failed to create JSON object");
            return -1;
        }
    }
    json_object* doc = job->job_doc;
    if (!add_fixed_members(runtime, job, doc, errbuf) ||
        !add_scan_parameters(job->scan_config, doc, errbuf)) {
        return -1;
    }
    const int extract = qz_scanjob_document_int(job, "SCANEXTRACT");
    const int active_content = qz_scanjob_document_int(job, "CUST_ACTIVE_CONTENT");
    if (!add_text(doc, "Services", services_text(runtime, extract, active_content).c_str(),
                  errbuf) ||
        !add_member(doc, "Recursion", json_object_new_int(0), errbuf)) {
        return -1;
    }
    if (!render(job)) {
        QZ_SCAN_FAIL(errbuf, "Failed to dump JSON Object to string buffer");
        return -1;
    }
    LOG_INFO("Scan Request (JSON):\n%s", job->job_json);
    return 0;
}

}  // namespace

extern "C" {

const char* qz_scanjob_object_base_name(const char* object_name) {
    if (object_name == nullptr) return "empty_filename";
    // Hosts on Windows send backslashes, hosts here slashes; either ends a directory part.
    const char* base = object_name;
    for (const char* c = object_name; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\') base = c + 1;
    }
    return base;
}

int qzvsalib_EncodeScanjobToJSON(const qz_scan_runtime* runtime, qz_scanjob* job, char* errbuf) {
    if (errbuf != nullptr) errbuf[0] = '\0';
    if (runtime == nullptr || job == nullptr || job->scanparam == nullptr) {
        QZ_SCAN_FAIL(errbuf, "Invalid pointer %s",
                     runtime == nullptr ? "runtime"
                     : job == nullptr   ? "job"
                                        : "job->scanparam");
        return -1;
    }
    try {
        return encode(runtime, job, errbuf);
    } catch (const std::bad_alloc&) {
        QZ_SCAN_FAIL(errbuf, "Failed to allocate %s", "scan request");
        return -1;
    }
}

int qz_scanjob_document_int(const qz_scanjob* job, const char* key) {
    json_object* value = nullptr;
    if (job == nullptr || job->job_doc == nullptr || key == nullptr ||
        !json_object_object_get_ex(job->job_doc, key, &value)) {
        LOG_WARN("Object %s not found", key != nullptr ? key : "(null)");
        return 0;
    }
    return json_object_get_int(value);
}

int qz_scanjob_add_mime_findings(qz_scanjob* job, const qz_file_scan_result* file) {
    if (job == nullptr || job->job_doc == nullptr || file == nullptr ||
        !add_text(job->job_doc, "MIME-type", file->mime_type, nullptr) ||
        !add_text(job->job_doc, "MIME-encoding", file->mime_encoding, nullptr) ||
        !add_text(job->job_doc, "File-type", file->file_type, nullptr) ||
        !add_text(job->job_doc, "Extension", file->extension, nullptr) || !render(job)) {
        LOG_ERROR("Failed to update scan request with MIME-scan results");
        return -1;
    }
    return 0;
}

void qz_scanjob_release(qz_scanjob* job) {
    if (job == nullptr) return;
    if (job->scan_config != nullptr && qz_config_free_list(job->scan_config) != 0) {
        LOG_ERROR("Failed to release the scan configuration");
    }
    job->scan_config = nullptr;
    free(job->event_id);
    job->event_id = nullptr;
    json_object_put(job->job_doc);
    job->job_doc = nullptr;
    job->job_json = nullptr;
}
}
