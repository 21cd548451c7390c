#include "scan_reply.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <new>

#include "log/log.h"

namespace qz::service {

using qz::nats::JsonPtr;

namespace {

constexpr int kJsonFlags = JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE;
constexpr const char* kNoObjectName = "empty_filename";

void add_text(json_object* object, const char* key, const std::string& text) {
    json_object_object_add(object, key,
                           json_object_new_string_len(text.data(), static_cast<int>(text.size())));
}

void add_int(json_object* object, const char* key, int64_t value) {
    json_object_object_add(object, key, json_object_new_int64(value));
}

json_object* file_entry(const FileVerdict& file) {
    json_object* entry = json_object_new_object();
    if (entry == nullptr) return nullptr;
    add_int(entry, "ReturnCode", file.rc);
    add_text(entry, "File-name", file.file_name);
    // The requester reads sizes as signed 64-bit; no object comes near the limit.
    add_int(entry, "File-size",
            file.file_size > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX
                                                               : static_cast<int64_t>(file.file_size));
    add_text(entry, "MIME-type", file.mime_type);
    add_text(entry, "MIME-encoding", file.mime_encoding);
    add_text(entry, "File-type", file.file_type);
    add_text(entry, "Extension", file.extension);
    add_int(entry, "Object-type", file.object_type);
    add_text(entry, "Virusname", file.virus_name);
    add_text(entry, "Error", file.error);
    return entry;
}

std::string render(json_object* document) {
    const char* text = json_object_to_json_string_ext(document, kJsonFlags);
    if (text == nullptr) throw std::bad_alloc();
    return text;
}

}  // namespace

std::string worker_hostname() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) return "";
    name[sizeof name - 1] = '\0';
    return name;
}

std::string scan_result_json(const ScanVerdict& verdict) {
    JsonPtr document(json_object_new_object());
    json_object* results = json_object_new_array();
    if (!document || results == nullptr) {
        json_object_put(results);
        throw std::bad_alloc();
    }
    add_int(document.get(), "ReturnCode", verdict.rc);
    add_int(document.get(), "FilesScanned", static_cast<int64_t>(verdict.files.size()));
    json_object_object_add(document.get(), "Results", results);
    for (const FileVerdict& file : verdict.files) {
        json_object* entry = file_entry(file);
        if (entry == nullptr) throw std::bad_alloc();
        json_object_array_add(results, entry);
    }
    if (verdict.rc == SCAN_NOT_COMPLETED) {
        add_text(document.get(), "Blocking-reason", verdict.blocking_reason);
    }
    return render(document.get());
}

std::string scan_error_json(const std::string& error) {
    JsonPtr document(json_object_new_object());
    if (!document) throw std::bad_alloc();
    add_int(document.get(), "ReturnCode", SCAN_ERROR);
    add_text(document.get(), "Error", error.empty() ? std::string("unknown error") : error);
    add_text(document.get(), "WorkerHostname", worker_hostname());
    return render(document.get());
}

bool set_reply_text(qz_request_reply* pair, const std::string& text) {
    if (pair == nullptr || pair->reply == nullptr) {
        LOG_ERROR("scan reply: no reply record to write into");
        return false;
    }
    char* copy = static_cast<char*>(malloc(text.size() + 1));
    if (copy == nullptr) {
        LOG_ERROR("Failed to allocate %s", "reply text");
        return false;
    }
    memcpy(copy, text.c_str(), text.size() + 1);
    free(pair->reply->json);
    pair->reply->json = copy;
    return true;
}

std::string job_text(json_object* job, const char* key) {
    json_object* value = nullptr;
    if (job == nullptr || !json_object_object_get_ex(job, key, &value)) return "";
    if (json_object_is_type(value, json_type_string)) {
        return std::string(json_object_get_string(value),
                           static_cast<size_t>(json_object_get_string_len(value)));
    }
    if (json_object_is_type(value, json_type_int)) {
        return std::to_string(json_object_get_int64(value));
    }
    return "";
}

bool read_scan_request(const qz_request_reply* pair, ScanRequest* out, std::string* error) {
    if (pair == nullptr || pair->request == nullptr || pair->request->json == nullptr) {
        *error = "empty request";
        return false;
    }
    const qz_message* request = pair->request;
    JsonPtr job(json_tokener_parse(request->json));
    if (!job || !json_object_is_type(job.get(), json_type_object)) {
        *error = "request is not a JSON object";
        return false;
    }
    json_object* length = nullptr;
    if (!json_object_object_get_ex(job.get(), "ObjectLen", &length) ||
        !json_object_is_type(length, json_type_int) || json_object_get_int64(length) < 0) {
        *error = "request has no ObjectLen integer";
        return false;
    }
    // Lengths above INT64_MAX come back from json-c as INT64_MAX; read them unsigned.
    const uint64_t declared = json_object_get_uint64(length);
    const size_t received = request->data != nullptr ? request->data_len : 0;
    if (declared != received) {
        char text[160];
        snprintf(text, sizeof text,
                 "payload of %zu byte(s) does not match ObjectLen %" PRIu64 " of the request",
                 received, declared);
        *error = text;
        return false;
    }
    out->object_name = job_text(job.get(), "ObjectName");
    if (out->object_name.empty()) out->object_name = kNoObjectName;
    out->object_len = declared;
    out->data = received != 0 ? request->data : nullptr;
    out->data_len = received;
    out->job = std::move(job);
    return true;
}

}  // namespace qz::service
