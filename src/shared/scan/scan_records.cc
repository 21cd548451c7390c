#include "scan/scan_records.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "scan/scan_alloc.h"
#include "vsa/vsa_internal_functions.h"

namespace {

constexpr const char* kRow =
    "============================================================================";
constexpr const char* kFreeTextInfo = "detected by vendrix Anti-Virus for SAP solutions";

const char* text_or_empty(const char* text) { return text != nullptr ? text : ""; }

void free_content_strings(VSA_CONTENTINFO* record) {
    free(record->pszCharSet);
    free(record->pszContentType);
    free(record->pszExtension);
    free(record->pszObjectName);
}

void free_virus_strings(VSA_VIRUSINFO* record) {
    free(record->pszVirusName);
    free(record->pszObjectName);
    free(record->pszFreeTextInfo);
}

void free_error_strings(VSA_SCANERROR* record) {
    free(record->pszObjectName);
    free(record->pszErrorText);
}

// Fills one zeroed content record; false when a copy fails (what was copied stays in the record
// for the caller to release).
bool fill_content(VSA_CONTENTINFO* record, const qz_file_scan_result* file, uint32_t job_id) {
    static const qz_file_scan_result kNoFile = {};
    if (file == nullptr) file = &kNoFile;
    LOG_TRACE("%s", kRow);
    LOG_TRACE("***** struct_size:          %d", QZ_CONTENTINFO_SIZE);
    LOG_TRACE("***** uiJobID :             %u", job_id);
    LOG_TRACE("***** lObjectSize:          %llu", static_cast<unsigned long long>(file->filesize));
    LOG_TRACE("***** tObjectType:          %d", file->object_type);
    LOG_TRACE("***** pszObjectName:        %s", text_or_empty(file->filename));
    LOG_TRACE("***** pszExtension:         %s", text_or_empty(file->extension));
    LOG_TRACE("***** pszContentType:       %s", text_or_empty(file->mime_type));
    LOG_TRACE("***** pszCharSet:           %s", text_or_empty(file->mime_encoding));
    LOG_TRACE("%s", kRow);
    record->struct_size = QZ_CONTENTINFO_SIZE;
    record->uiJobID = job_id;
    record->lObjectSize = file->filesize;
    record->tObjectType = file->object_type;
    record->pszObjectName = qz::scan::copy_text(file->filename);
    record->pszExtension = qz::scan::copy_text(file->extension);
    record->pszContentType = qz::scan::copy_text(file->mime_type);
    record->pszCharSet = qz::scan::copy_text(file->mime_encoding);
    return record->pszObjectName != nullptr && record->pszExtension != nullptr &&
           record->pszContentType != nullptr && record->pszCharSet != nullptr;
}

int32_t detect_type(int32_t code) {
    switch (code) {
        case SCAN_VIRUS_FOUND:
            return VSA_DETECT_VIRUS;
        case SCAN_ACTIVE_CONTENT:
            return VSA_DETECT_ACTIVE_CONTENT;
        case SCAN_BLOCKED_POLICY:
            return VSA_DETECT_POLICY;
        default:
            return VSA_DETECT_NONE;
    }
}

// Grows pVirusInfo to uiInfections records (the caller raised the count) and fills the last.
// NULL on failure; the array, possibly grown, stays in the record.
VSA_VIRUSINFO* s_qzvsalib_reallocate_and_fill_virusinfo(const qz_file_scan_result* file,
                                                        VSA_SCANINFO* scaninfo,
                                                        const char* suffix) {
    const uint32_t count = scaninfo->uiInfections;
    if (count == 0) return nullptr;
    auto* grown = static_cast<VSA_VIRUSINFO*>(
        qz::scan::reallocate(scaninfo->pVirusInfo, count, sizeof(VSA_VIRUSINFO)));
    if (grown == nullptr) {
        LOG_ERROR("Failed to allocate %s", "virusinfo");
        return nullptr;
    }
    // realloc may have moved the array; the record must point at the live block at once.
    scaninfo->pVirusInfo = grown;
    LOG_TRACE("Setting VirusInfo for index %u", count - 1);
    VSA_VIRUSINFO* record = &grown[count - 1];
    memset(record, 0, sizeof *record);
    record->struct_size = QZ_VIRUSINFO_SIZE;
    record->bRepairable = 0;
    record->tDetectType = detect_type(file->rc);
    record->tVirusType = file->rc == SCAN_VIRUS_FOUND ? VSA_VIRUSTYPE_VIRUS : VSA_VIRUSTYPE_NONE;
    record->tActionType =
        file->rc == SCAN_CLEANED ? VSA_ACTIONTYPE_CLEANED : VSA_ACTIONTYPE_NOT_CLEANED;
    record->tObjectType = file->object_type;
    record->uiVirusID = 0;
    record->uiJobID = scaninfo->uiJobID;
    record->lObjectSize = file->filesize;
    suffix = text_or_empty(suffix);
    if (file->virusname != nullptr && *file->virusname != '\0') {
        record->pszVirusName = qz_sprintf("%s %s", file->virusname, suffix);
    } else if (file->rc == SCAN_NOT_COMPLETED) {
        record->pszVirusName = qz_sprintf("Scan not completed %s", suffix);
    } else {
        record->pszVirusName = qz_sprintf("Unknown %s", suffix);
    }
    record->pszObjectName = qz::scan::copy_text(file->filename);
    record->pszFreeTextInfo = qz::scan::copy_text(kFreeTextInfo);
    if (record->pszVirusName == nullptr || record->pszObjectName == nullptr ||
        record->pszFreeTextInfo == nullptr) {
        LOG_ERROR("Failed to allocate %s", "virusinfo");
        free_virus_strings(record);
        memset(record, 0, sizeof *record);
        return nullptr;
    }
    LOG_DEBUG("Added VSA_VIRUSINFO for \"%s\" found in file \"%s\"", record->pszVirusName,
              record->pszObjectName);
    return grown;
}

// One more virus record for file; the count only stays raised when the record exists.
void add_virus_record(const qz_file_scan_result* file, VSA_SCANINFO* scaninfo, const char* suffix) {
    scaninfo->uiInfections++;
    if (s_qzvsalib_reallocate_and_fill_virusinfo(file, scaninfo, suffix) == nullptr) {
        scaninfo->uiInfections--;
    }
}

void add_error_record(const qz_file_scan_result* file, VSA_SCANINFO* scaninfo, VSA_RC code,
                      const char* text) {
    scaninfo->uiScanErrors++;
    if (vsalib_reallocate_and_fill_scanerror(scaninfo->uiJobID, file->filename, file->filesize,
                                             code, text, scaninfo) != 0) {
        LOG_ERROR("Failed to create/fill scanerror struct");
    }
}

// The walk over the files; the running code is the lowest file code so far.
VSA_RC count_files(VSA_SCANINFO* scaninfo, const qz_scan_result* result, const char* suffix) {
    int32_t running = 0;
    for (int32_t i = 0; i < result->nfiles; ++i) {
        const qz_file_scan_result* file = result->files[i];
        if (file == nullptr) {
            LOG_ERROR("Invalid pointer %s", "result->files[i]");
            return VSA_E_SCAN_FAILED;
        }
        LOG_DEBUG("Current RC= %d: Function returncode set to %d", running, file->rc);
        if (file->rc < running) {
            LOG_DEBUG("Setting rc from %d to %d", running, file->rc);
            running = file->rc;
        }
        switch (file->rc) {
            case SCAN_CLEANED:
                scaninfo->uiClean++;
                scaninfo->pbBytesCleaned = result->bytes_cleaned;
                scaninfo->lBytesCleaned = result->bytes_cleaned_len;
                break;
            case SCAN_OK:
            case SCAN_OK_FINAL:
                scaninfo->uiClean++;
                break;
            case SCAN_VIRUS_FOUND:
            case SCAN_ACTIVE_CONTENT:
            case SCAN_BLOCKED_POLICY:
                add_virus_record(file, scaninfo, suffix);
                break;
            case SCAN_NOT_COMPLETED:
                scaninfo->uiNotScanned++;
                add_virus_record(file, scaninfo, suffix);
                add_error_record(file, scaninfo, VSA_E_NOT_SCANNED, file->virusname);
                break;
            case SCAN_ERROR:
                add_error_record(file, scaninfo, VSA_E_SCAN_FAILED, file->error);
                return VSA_E_SCAN_FAILED;
            default:
                LOG_ERROR("Invalid returncode %d", file->rc);
                return VSA_E_SCAN_FAILED;
        }
    }
    LOG_DEBUG("Created VSA_SCANINFO for %d files", result->nfiles);
    return qzvsalib_map_QZ_to_VSA_rc(running);
}

}  // namespace

extern "C" {

VSA_RC qzvsalib_map_QZ_to_VSA_rc(int32_t code) {
    switch (code) {
        case SCAN_OK:
        case SCAN_OK_FINAL:
            return VSA_OK;
        case SCAN_NOT_COMPLETED:
            return VSA_E_NOT_SCANNED;
        case SCAN_CLEANED:
            return VSA_E_CLEANED;
        case SCAN_BLOCKED_POLICY:
            return VSA_E_BLOCKED_BY_POLICY;
        case SCAN_ACTIVE_CONTENT:
            return VSA_E_ACTIVECONTENT_FOUND;
        case SCAN_VIRUS_FOUND:
            return VSA_E_VIRUS_FOUND;
        case SCAN_ERROR:
            return VSA_E_SCAN_FAILED;
        default:
            LOG_ERROR("Invalid returncode %d", code);
            return VSA_E_SCAN_FAILED;
    }
}

VSA_RC vsalib_fill_scaninfo(VSA_SCANINFO* scaninfo, qz_scan_result* result, const char* suffix) {
    if (scaninfo == nullptr) {
        LOG_ERROR("Invalid pointer scaninfo");
        return SCAN_ERROR;
    }
    if (result == nullptr) {
        LOG_ERROR("Invalid pointer result");
        return SCAN_ERROR;
    }
    if (result->nfiles <= 0 || result->files == nullptr) {
        LOG_DEBUG("No files scanned");
        return VSA_OK;
    }
    LOG_TRACE("Creating content info structs");
    VSA_CONTENTINFO* contentinfo = vsalib_allocate_and_fill_contentinfo(result);
    LOG_TRACE("ci: %p", static_cast<void*>(contentinfo));
    if (contentinfo == nullptr) {
        LOG_ERROR("Failed to allocate %s", "Contentinfo");
        return VSA_E_SCAN_FAILED;
    }
    // Counted only now: a count without its array would send release and the host into
    // records that do not exist.
    scaninfo->pContentInfo = contentinfo;
    scaninfo->uiScanned = static_cast<uint32_t>(result->nfiles);
    return count_files(scaninfo, result, suffix);
}

VSA_CONTENTINFO* vsalib_allocate_and_fill_contentinfo(const qz_scan_result* result) {
    if (result == nullptr || result->nfiles <= 0 || result->files == nullptr) {
        LOG_ERROR("Failed to allocate %s", "contentinfo");
        return nullptr;
    }
    const int32_t count = result->nfiles;
    LOG_TRACE("Allocating %d content info structs", count);
    auto* records = static_cast<VSA_CONTENTINFO*>(
        qz::scan::allocate_zeroed(static_cast<size_t>(count), sizeof(VSA_CONTENTINFO)));
    if (records == nullptr) {
        LOG_ERROR("Failed to allocate %s", "contentinfo");
        return nullptr;
    }
    const uint32_t job_id = result->scaninfo != nullptr ? result->scaninfo->uiJobID : 0;
    for (int32_t i = 0; i < count; ++i) {
        if (!fill_content(&records[i], result->files[i], job_id)) {
            LOG_ERROR("Failed to allocate %s", "contentinfo");
            for (int32_t j = 0; j <= i; ++j) free_content_strings(&records[j]);
            free(records);
            return nullptr;
        }
        LOG_DEBUG("Added VSA_CONTENTINFO # %d for file \"%s\"", i, records[i].pszObjectName);
    }
    return records;
}

int vsalib_reallocate_and_fill_scanerror(uint32_t job_id, const char* name, uint64_t size,
                                         VSA_RC code, const char* text, VSA_SCANINFO* scaninfo) {
    LOG_TRACE("Entering");
    int rc = 0;
    if (scaninfo == nullptr || scaninfo->uiScanErrors == 0) {
        LOG_ERROR("Invalid pointer %s", scaninfo == nullptr ? "scaninfo" : "uiScanErrors");
        rc = 2;
    } else {
        const uint32_t count = scaninfo->uiScanErrors;
        auto* grown = static_cast<VSA_SCANERROR*>(
            qz::scan::reallocate(scaninfo->pScanError, count, sizeof(VSA_SCANERROR)));
        if (grown == nullptr) {
            LOG_ERROR("Failed to allocate %s", "scanerror");
            rc = 1;
        } else {
            scaninfo->pScanError = grown;
            VSA_SCANERROR* record = &grown[count - 1];
            memset(record, 0, sizeof *record);
            record->struct_size = QZ_SCANERROR_SIZE;
            record->uiJobID = job_id;
            record->lObjectSize = size;
            record->iErrorRC = code;
            if (name != nullptr) record->pszObjectName = qz::scan::copy_text(name);
            if (text != nullptr) record->pszErrorText = qz::scan::copy_text(text);
            if ((name != nullptr && record->pszObjectName == nullptr) ||
                (text != nullptr && record->pszErrorText == nullptr)) {
                LOG_ERROR("Failed to allocate %s", "scanerror");
                free_error_strings(record);
                memset(record, 0, sizeof *record);
                rc = 1;
            }
        }
        if (rc != 0) scaninfo->uiScanErrors--;
    }
    LOG_TRACE("Exiting: rc=%d", rc);
    return rc;
}

void vsalib_FreeVSA_SCANERROR(PVSA_SCANERROR* pp) {
    if (pp == nullptr || *pp == nullptr) return;
    free_error_strings(*pp);
    free(*pp);
    *pp = nullptr;
}

void vsalib_FreeScanInfo(PPVSA_SCANINFO pp_scinfo) {
    if (pp_scinfo == nullptr || *pp_scinfo == nullptr) {
        LOG_ERROR("Invalid pointer ppscinfo");
        return;
    }
    VSA_SCANINFO* scaninfo = *pp_scinfo;
    LOG_DEBUG("Freeing VSA_SCANINFO at %p", static_cast<void*>(scaninfo));
    if (scaninfo->pContentInfo != nullptr) {
        for (uint32_t i = 0; i < scaninfo->uiScanned; ++i) {
            LOG_TRACE("Freeing CONTENTINFO at %p", static_cast<void*>(&scaninfo->pContentInfo[i]));
            free_content_strings(&scaninfo->pContentInfo[i]);
        }
        free(scaninfo->pContentInfo);
    }
    if (scaninfo->pVirusInfo != nullptr) {
        for (uint32_t i = 0; i < scaninfo->uiInfections; ++i) {
            LOG_TRACE("Freeing VIRUSINFO at %p", static_cast<void*>(&scaninfo->pVirusInfo[i]));
            free_virus_strings(&scaninfo->pVirusInfo[i]);
        }
        free(scaninfo->pVirusInfo);
    }
    if (scaninfo->pScanError != nullptr) {
        for (uint32_t i = 0; i < scaninfo->uiScanErrors; ++i) {
            LOG_TRACE("Freeing SCANERROR at %p", static_cast<void*>(&scaninfo->pScanError[i]));
            free_error_strings(&scaninfo->pScanError[i]);
        }
        free(scaninfo->pScanError);
    }
    free(scaninfo);
    *pp_scinfo = nullptr;
}

void vsalib_FreeVSA_INIT(PPVSA_INIT pp_init) {
    if (pp_init == nullptr || *pp_init == nullptr) {
        LOG_ERROR("Invalid pointer pp_init");
        return;
    }
    VSA_INIT* init = *pp_init;
    LOG_DEBUG("Freeing VSA_INIT");
    if (init->pDriverInfo != nullptr) {
        for (unsigned i = 0; i < init->usDriverCount; ++i) free(init->pDriverInfo[i].pszDriverName);
        free(init->pDriverInfo);
    }
    free(init->pszLibraryText);
    free(init->pszErrorText);
    free(init);
    *pp_init = nullptr;
}

void vsalib_FreeVSA_CONFIG(PPVSA_CONFIG pp_config) {
    if (pp_config == nullptr || *pp_config == nullptr) {
        LOG_ERROR("Invalid pointer pp_config");
        return;
    }
    LOG_DEBUG("Freeing VSA_CONFIG");
    VsaFreeVSA_CONFIG(pp_config);
}

char* qz_sprintf(const char* format, ...) {
    if (format == nullptr) return nullptr;
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length < 0) return nullptr;
    auto* text = static_cast<char*>(qz::scan::allocate(static_cast<size_t>(length) + 1));
    if (text == nullptr) return nullptr;
    va_start(args, format);
    vsnprintf(text, static_cast<size_t>(length) + 1, format, args);
    va_end(args);
    return text;
}
}
