#include "vsalib_scan_merge.h"

#include <cstdlib>
#include <cstring>

#include "scan/scan_alloc.h"
#include "vsalib_trace.h"

namespace qz::vsalib {
namespace {

constexpr const char* kSource = "vsa-lib/src/vsalib_scan_merge";

bool is_clean(int32_t code) { return code == SCAN_OK || code == SCAN_OK_FINAL; }

bool is_empty(const char* text) { return text == nullptr || *text == '\0'; }

// The consolidated code follows the files, except that a clean file never hides what an
// earlier file or service reported: services list archive members after the archive, and a
// clean last member must not turn an infected scan into a clean one.
void take_code(qz_scan_result* consolidated, int32_t code) {
    if (is_clean(code) && consolidated->rc != SCAN_RESULT_UNSET && !is_clean(consolidated->rc)) {
        return;
    }
    consolidated->rc = code;
}

// Fills *field with a copy of text when *field is empty and text is not. False when the copy
// cannot be made.
bool fill_text(char** field, const char* text) {
    if (!is_empty(*field) || is_empty(text)) return true;
    char* copy = qz::scan::copy_text(text);
    if (copy == nullptr) return false;
    free(*field);
    *field = copy;
    return true;
}

bool update_entry(qz_file_scan_result* entry, const qz_file_scan_result* file) {
    VSALIB_LOG(QZ_LOG_TRACE, kSource, "Updating consolidated entry of \"%s\"", entry->filename);
    // The later service has the last word (the MIME scanner answers first, the engines after
    // it), but not over a finding: a file one engine found infected stays infected.
    if (!is_final_finding(entry->rc) || is_final_finding(file->rc)) entry->rc = file->rc;
    if (entry->filesize == 0) entry->filesize = file->filesize;
    if (entry->object_type == 0) entry->object_type = file->object_type;
    return fill_text(&entry->filename, file->filename) &&
           fill_text(&entry->mime_type, file->mime_type) &&
           fill_text(&entry->mime_encoding, file->mime_encoding) &&
           fill_text(&entry->file_type, file->file_type) &&
           fill_text(&entry->extension, file->extension) &&
           fill_text(&entry->virusname, file->virusname);
}

// A copy of text, NULL staying NULL. False when the copy cannot be made.
bool copy_field(char** out, const char* text) {
    *out = nullptr;
    if (text == nullptr) return true;
    *out = qz::scan::copy_text(text);
    return *out != nullptr;
}

qz_file_scan_result* copy_file(const qz_file_scan_result* file) {
    qz_file_scan_result* copy = qzvsalib_new_file_scan_result();
    if (copy == nullptr) return nullptr;
    copy->rc = file->rc;
    copy->filesize = file->filesize;
    copy->object_type = file->object_type;
    if (!copy_field(&copy->filename, file->filename) ||
        !copy_field(&copy->mime_type, file->mime_type) ||
        !copy_field(&copy->mime_encoding, file->mime_encoding) ||
        !copy_field(&copy->file_type, file->file_type) ||
        !copy_field(&copy->extension, file->extension) ||
        !copy_field(&copy->virusname, file->virusname) || !copy_field(&copy->error, file->error)) {
        qzvsalib_free_file_scan_result(copy);
        return nullptr;
    }
    return copy;
}

bool append_entry(qz_scan_result* consolidated, const qz_file_scan_result* file) {
    auto* files = static_cast<qz_file_scan_result**>(
        qz::scan::reallocate(consolidated->files, static_cast<size_t>(consolidated->nfiles) + 1,
                             sizeof(qz_file_scan_result*)));
    if (files == nullptr) return false;
    consolidated->files = files;
    qz_file_scan_result* copy = copy_file(file);
    if (copy == nullptr) return false;
    if (is_empty(consolidated->error_text) && !is_empty(file->error)) {
        char* error = qz::scan::copy_text(file->error);
        if (error == nullptr) {
            qzvsalib_free_file_scan_result(copy);
            return false;
        }
        free(consolidated->error_text);
        consolidated->error_text = error;
    }
    files[consolidated->nfiles++] = copy;
    take_code(consolidated, file->rc);
    VSALIB_LOG(QZ_LOG_DEBUG, kSource, "Added consolidated entry for %s", file->filename);
    return true;
}

qz_file_scan_result* find_entry(const qz_scan_result* consolidated, const char* filename) {
    for (int32_t i = 0; i < consolidated->nfiles; ++i) {
        qz_file_scan_result* entry = consolidated->files[i];
        VSALIB_LOG(QZ_LOG_DEBUG, kSource, "Have an entry for \"%s\" - looking for \"%s\"",
                   entry->filename != nullptr ? entry->filename : "",
                   filename != nullptr ? filename : "");
        if (entry->filename != nullptr && filename != nullptr &&
            strcmp(entry->filename, filename) == 0) {
            return entry;
        }
    }
    return nullptr;
}

VSA_RC merge_failed() {
    VSALIB_LOG(QZ_LOG_ERROR, kSource, "Failed to merge scan results");
    return VSA_E_SCAN_FAILED;
}

}  // namespace

bool is_final_finding(int32_t code) {
    switch (code) {
        case SCAN_CLEANED:
        case SCAN_BLOCKED_POLICY:
        case SCAN_ACTIVE_CONTENT:
        case SCAN_VIRUS_FOUND:
        case SCAN_ERROR:
            return true;
        default:
            return false;
    }
}

VSA_RC merge_scan_results(qz_scan_result* consolidated, const qz_scan_result* latest) {
    if (consolidated == nullptr) {
        VSALIB_LOG(QZ_LOG_ERROR, kSource, "Invalid pointer consolidated");
        return merge_failed();
    }
    if (latest == nullptr) return VSA_OK;
    VSALIB_LOG(QZ_LOG_TRACE, kSource,
               "Consolidating scan results. Latest scan produced %d results. Have %d results from "
               "previous scans",
               latest->nfiles, consolidated->nfiles);
    // Per service, not per file: an engine that is the first to name a file must still be
    // credited with its versions.
    if (latest->engine_major != 0 && consolidated->engine_major == 0) {
        consolidated->engine_major = latest->engine_major;
        consolidated->engine_minor = latest->engine_minor;
        consolidated->dat_major = latest->dat_major;
        consolidated->dat_minor = latest->dat_minor;
    }
    for (int32_t i = 0; i < latest->nfiles; ++i) {
        const qz_file_scan_result* file = latest->files[i];
        if (file == nullptr) continue;
        if (qz_file_scan_result* entry = find_entry(consolidated, file->filename);
            entry != nullptr) {
            if (!update_entry(entry, file)) {
                VSALIB_LOG(QZ_LOG_ERROR, kSource, "Failed to allocate %s", "consolidated entry");
                return merge_failed();
            }
            if (entry->rc != SCAN_OK) take_code(consolidated, entry->rc);
            continue;
        }
        if (!append_entry(consolidated, file)) {
            VSALIB_LOG(QZ_LOG_ERROR, kSource,
                       "Failed to allocate new consolidated filescan result struct");
            return merge_failed();
        }
    }
    return VSA_OK;
}

}  // namespace qz::vsalib
