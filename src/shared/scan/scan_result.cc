#include "scan/scan_result.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "scan/scan_alloc.h"
#include "scan/scan_message.h"

namespace {

enum class Member { kAbsent, kPresent, kBad };

// A member of the reply; JSON null counts as absent.
json_object* member(json_object* object, const char* key) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(object, key, &value)) return nullptr;
    return value;
}

// An integer member within [low, high]. Services write integers; a string, a fraction or a
// value out of range means a broken peer, and reading it as 0 would turn it into a clean
// verdict, so it fails instead.
Member read_integer(json_object* object, const char* key, int64_t low, int64_t high, int64_t* out,
                    char* errbuf) {
    json_object* value = member(object, key);
    if (value == nullptr) return Member::kAbsent;
    if (!json_object_is_type(value, json_type_int)) {
        QZ_SCAN_FAIL(errbuf, "Key %s is not an integer", key);
        return Member::kBad;
    }
    const int64_t number = json_object_get_int64(value);
    if (number < low || number > high ||
        (number == INT64_MAX && json_object_get_uint64(value) > static_cast<uint64_t>(INT64_MAX))) {
        QZ_SCAN_FAIL(errbuf, "Key %s has an invalid value", key);
        return Member::kBad;
    }
    *out = number;
    return Member::kPresent;
}

Member read_int32(json_object* object, const char* key, int32_t* out, char* errbuf) {
    int64_t number = 0;
    Member found = read_integer(object, key, INT32_MIN, INT32_MAX, &number, errbuf);
    if (found == Member::kPresent) *out = static_cast<int32_t>(number);
    return found;
}

// A string member; the text is borrowed from the reply.
Member read_string(json_object* object, const char* key, const char** out, char* errbuf) {
    json_object* value = member(object, key);
    if (value == nullptr) return Member::kAbsent;
    if (!json_object_is_type(value, json_type_string)) {
        QZ_SCAN_FAIL(errbuf, "Key %s is not a string", key);
        return Member::kBad;
    }
    *out = json_object_get_string(value);
    return Member::kPresent;
}

// A string member that must be there and must not be empty.
bool read_required_text(json_object* object, const char* key, const char** out, char* errbuf) {
    switch (read_string(object, key, out, errbuf)) {
        case Member::kBad:
            return false;
        case Member::kAbsent:
            QZ_SCAN_FAIL(errbuf, "Failed to read %s from JSON", key);
            return false;
        case Member::kPresent:
            break;
    }
    if (**out == '\0') {
        QZ_SCAN_FAIL(errbuf, "Key %s found, but value is empty", key);
        return false;
    }
    return true;
}

// Replaces *field with a copy of text.
bool store_copy(char** field, const char* text, const char* name, char* errbuf) {
    char* copy = qz::scan::copy_text(text);
    if (copy == nullptr) {
        QZ_SCAN_FAIL(errbuf, "Failed to allocate %s", name);
        return false;
    }
    free(*field);
    *field = copy;
    return true;
}

// An optional string member into an owned copy; "" when absent.
bool read_optional_text(json_object* entry, const char* key, char** field, char* errbuf) {
    const char* text = "";
    if (read_string(entry, key, &text, errbuf) == Member::kBad) return false;
    return store_copy(field, text, key, errbuf);
}

void warn_absent(const char* key) { LOG_WARN("Object %s not found", key); }

bool fill_file_result(json_object* entry, qz_file_scan_result* file, char* errbuf) {
    switch (read_int32(entry, "ReturnCode", &file->rc, errbuf)) {
        case Member::kBad:
            return false;
        case Member::kAbsent:
            warn_absent("ReturnCode");
            file->rc = 0;
            break;
        case Member::kPresent:
            break;
    }
    const char* name = nullptr;
    if (!read_required_text(entry, "File-name", &name, errbuf)) return false;
    if (!store_copy(&file->filename, name, "File-name", errbuf)) return false;
    if (!read_optional_text(entry, "MIME-type", &file->mime_type, errbuf) ||
        !read_optional_text(entry, "MIME-encoding", &file->mime_encoding, errbuf) ||
        !read_optional_text(entry, "File-type", &file->file_type, errbuf) ||
        !read_optional_text(entry, "Extension", &file->extension, errbuf) ||
        !read_optional_text(entry, "Error", &file->error, errbuf) ||
        !read_optional_text(entry, "Virusname", &file->virusname, errbuf)) {
        return false;
    }
    switch (read_int32(entry, "Object-type", &file->object_type, errbuf)) {
        case Member::kBad:
            return false;
        case Member::kAbsent:
            warn_absent("Object-type");
            file->object_type = 0;
            break;
        case Member::kPresent:
            break;
    }
    // The full unsigned range: a size squeezed through 32 bits would misreport large files.
    int64_t size = 0;
    switch (read_integer(entry, "File-size", 0, INT64_MAX, &size, errbuf)) {
        case Member::kBad:
            return false;
        case Member::kAbsent:
            warn_absent("File-size");
            file->filesize = 0;
            break;
        case Member::kPresent:
            file->filesize = static_cast<uint64_t>(size);
            break;
    }
    return true;
}

void release_files(qz_scan_result* result) {
    if (result->files != nullptr) {
        for (int32_t i = 0; i < result->nfiles; ++i)
            qzvsalib_free_file_scan_result(result->files[i]);
        free(result->files);
    }
    result->files = nullptr;
    result->nfiles = 0;
}

int read_error_reply(json_object* reply, qz_scan_result* result, char* errbuf) {
    free(result->error_text);
    result->error_text = nullptr;
    // An error reply carries no verdicts, whatever else it holds.
    release_files(result);
    const char* error = nullptr;
    if (!read_required_text(reply, "Error", &error, errbuf)) return -1;
    if (!store_copy(&result->error_text, error, "error_text", errbuf)) return -1;
    LOG_DEBUG("Error: %s", result->error_text);
    const char* worker = "";
    if (read_string(reply, "WorkerHostname", &worker, errbuf) == Member::kBad) return -1;
    if (*worker != '\0' && !store_copy(&result->worker_hostname, worker, "worker_hostname", errbuf))
        return -1;
    return 0;
}

int read_file_results(json_object* reply, qz_scan_result* result, char* errbuf) {
    int32_t announced = result->nfiles;
    switch (read_int32(reply, "FilesScanned", &announced, errbuf)) {
        case Member::kBad:
            return -1;
        case Member::kAbsent:
            warn_absent("FilesScanned");
            break;
        case Member::kPresent:
            break;
    }
    if (announced < 0) {
        QZ_SCAN_FAIL(errbuf, "Key %s has an invalid value", "FilesScanned");
        return -1;
    }
    json_object* results = member(reply, "Results");
    if (results == nullptr) {
        QZ_SCAN_FAIL(errbuf, "Failed to get Results array");
        return -1;
    }
    if (!json_object_is_type(results, json_type_array)) {
        QZ_SCAN_FAIL(errbuf, "Key %s is not an array", "Results");
        return -1;
    }
    release_files(result);
    const size_t entries = json_object_array_length(results);
    // Room for the entries that exist, never for a count the reply merely claims.
    const size_t present = static_cast<size_t>(announced) < entries ? announced : entries;
    auto* files = static_cast<qz_file_scan_result**>(
        qz::scan::allocate_zeroed(present + 1, sizeof(qz_file_scan_result*)));
    if (files == nullptr) {
        QZ_SCAN_FAIL(errbuf, "Failed to allocate File scan result pointer array");
        return -1;
    }
    result->files = files;
    for (int32_t i = 0; i < announced; ++i) {
        if (static_cast<size_t>(i) >= entries) {
            QZ_SCAN_FAIL(errbuf, "Failed to read %s from JSON", "File-name");
            return -1;
        }
        json_object* entry = json_object_array_get_idx(results, i);
        if (entry == nullptr || !json_object_is_type(entry, json_type_object)) {
            QZ_SCAN_FAIL(errbuf, "Entry %d of Results is not an object", i);
            return -1;
        }
        qz_file_scan_result* file = qzvsalib_new_file_scan_result();
        if (file == nullptr) {
            QZ_SCAN_FAIL(errbuf, "Failed to allocate %s", "result->file[i]");
            return -1;
        }
        if (!fill_file_result(entry, file, errbuf)) {
            qzvsalib_free_file_scan_result(file);
            return -1;
        }
        result->files[result->nfiles++] = file;
    }
    return 0;
}

}  // namespace

extern "C" {

qz_scan_result* qzvsalib_new_engine_scan_result(void) {
    auto* result =
        static_cast<qz_scan_result*>(qz::scan::allocate_zeroed(1, sizeof(qz_scan_result)));
    if (result == nullptr) {
        LOG_ERROR("Failed to allocate %s", "result");
        return nullptr;
    }
    result->rc = SCAN_RESULT_UNSET;
    return result;
}

qz_file_scan_result* qzvsalib_new_file_scan_result(void) {
    auto* file = static_cast<qz_file_scan_result*>(
        qz::scan::allocate_zeroed(1, sizeof(qz_file_scan_result)));
    if (file == nullptr) LOG_ERROR("Failed to allocate %s", "result");
    return file;
}

void qzvsalib_free_file_scan_result(qz_file_scan_result* file) {
    if (file == nullptr) return;
    free(file->file_type);
    free(file->filename);
    free(file->virusname);
    free(file->extension);
    free(file->mime_encoding);
    free(file->mime_type);
    free(file->error);
    free(file);
}

void qzvsalib_free_engine_scan_result(qz_scan_result* result, int free_files) {
    if (result == nullptr) return;
    if (free_files != 0) {
        release_files(result);
    } else {
        free(result->files);
    }
    free(result->error_text);
    free(result->worker_hostname);
    free(result->bytes_cleaned);
    free(result);
}

int qzvsalib_parse_scanresult_json(json_object* reply, qz_scan_result** result, char* errbuf) {
    if (errbuf != nullptr) errbuf[0] = '\0';
    if (result == nullptr) {
        QZ_SCAN_FAIL(errbuf, "Invalid pointer %s", "result");
        return -1;
    }
    if (reply == nullptr || !json_object_is_type(reply, json_type_object)) {
        QZ_SCAN_FAIL(errbuf, "Reply is not a JSON object");
        return -1;
    }
    if (*result == nullptr) {
        *result = qzvsalib_new_engine_scan_result();
        if (*result == nullptr) {
            QZ_SCAN_FAIL(errbuf, "Failed to allocate result struct");
            return -1;
        }
    }
    qz_scan_result* target = *result;
    switch (read_int32(reply, "ReturnCode", &target->rc, errbuf)) {
        case Member::kBad:
            return -1;
        case Member::kAbsent:
            warn_absent("ReturnCode");
            break;
        case Member::kPresent:
            break;
    }
    const int rc = target->rc == SCAN_ERROR ? read_error_reply(reply, target, errbuf)
                                            : read_file_results(reply, target, errbuf);
    if (rc == 0) LOG_DEBUG("Parsed JSON reply");
    return rc;
}

const char* qzvsalib_scanresult_blocking_reason(json_object* reply) {
    json_object* value = reply != nullptr ? member(reply, "Blocking-reason") : nullptr;
    if (value == nullptr || !json_object_is_type(value, json_type_string)) return "";
    return json_object_get_string(value);
}

int qzvsalib_parse_engine_versions(json_object* reply, qz_scan_result* result) {
    if (reply == nullptr || result == nullptr) {
        LOG_ERROR("Invalid pointer %s", reply == nullptr ? "reply" : "result");
        return -1;
    }
    struct Version {
        const char* key;
        int32_t* field;
    };
    const Version versions[] = {
        {"Trellix-Engine-MajorVersion", &result->engine_major},
        {"Trellix-Engine-MinorVersion", &result->engine_minor},
        {"Trellix-DAT-MajorVersion", &result->dat_major},
        {"Trellix-DAT-MinorVersion", &result->dat_minor},
    };
    int rc = 0;
    for (const Version& version : versions) {
        switch (read_int32(reply, version.key, version.field, nullptr)) {
            case Member::kBad:
                rc = -1;
                break;
            case Member::kAbsent:
                warn_absent(version.key);
                break;
            case Member::kPresent:
                break;
        }
    }
    return rc;
}
}
