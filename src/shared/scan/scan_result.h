// Scan results: the verdict of one service call or of a whole scan (qz_scan_result) with one
// record per file (qz_file_scan_result), and the reader that fills them from a service's reply
// document. Service result codes (SCAN_*) live here; mapping them to VSA codes belongs to the
// result records (scan/scan_records.h).
//
// Every text in these records is a heap copy owned by the record; release a result with
// qzvsalib_free_engine_scan_result. Failure texts go into a caller's 1024-byte buffer.
#pragma once

#include <json-c/json.h>

#include <cstdint>

#include "qzav/qz_export.h"
#include "qzav/vsa_types.h"

extern "C" {
QZ_API_BEGIN

// The verdict on one file: the scanned object or a member extracted from it. Keys of the reply
// entry in the comments.
typedef struct qz_file_scan_result {
    int32_t rc;           // "ReturnCode"
    char* filename;       // "File-name"; the key for merging results of several services
    uint64_t filesize;    // "File-size"
    char* mime_type;      // "MIME-type"
    char* mime_encoding;  // "MIME-encoding"
    char* file_type;      // "File-type"
    char* extension;      // "Extension"
    int32_t object_type;  // "Object-type"
    char* virusname;      // "Virusname"; for a policy block the reason
    char* error;          // "Error"
} qz_file_scan_result;

// The result of one service call, or the consolidated result of a scan.
// Invariant: files holds exactly nfiles non-NULL records, whatever failed while filling it.
typedef struct qz_scan_result {
    int32_t rc;              // SCAN_RESULT_UNSET until a reply was read
    int32_t nfiles;          // records in files
    char* error_text;        // error or reason text of the scan, or NULL
    char* worker_hostname;   // worker that reported an error, or NULL
    uint8_t* bytes_cleaned;  // owned; no reply fills it
    uint64_t bytes_cleaned_len;
    qz_file_scan_result** files;  // owned array of owned records
    VSA_SCANINFO* scaninfo;       // borrowed: the scan's record, set on the consolidated result
    int32_t engine_major;         // engine and signature versions a service reported, else 0
    int32_t engine_minor;
    int32_t dat_major;
    int32_t dat_minor;
} qz_scan_result;

// Size of the message buffers the functions below write their failure text into.
enum { QZ_SCAN_MESSAGE_SIZE = 1024 };

// A new result with rc SCAN_RESULT_UNSET and no files, or NULL (ERROR "Failed to allocate %s").
qz_scan_result* qzvsalib_new_engine_scan_result(void);
// A new zeroed file result, or NULL.
qz_file_scan_result* qzvsalib_new_file_scan_result(void);
// Releases the texts and the record; NULL is ignored.
void qzvsalib_free_file_scan_result(qz_file_scan_result* file);
// Releases the result: with free_files non-zero every file record as well, else only the array
// (the records then belong to whoever took them). NULL is ignored.
void qzvsalib_free_engine_scan_result(qz_scan_result* result, int free_files);

// Reads a service's reply document into *result; when *result is NULL a new result is made and
// stored there (the caller releases it in every case). 0, or -1 with the reason in errbuf
// (QZ_SCAN_MESSAGE_SIZE bytes, may be NULL) and at ERROR.
//
// "ReturnCode" -1000 reads "Error" (required, non-empty) and "WorkerHostname" and leaves no
// file results. Any other code reads "FilesScanned" entries of "Results" (required); entries
// beyond that count are ignored, fewer entries than announced fail. A member of the wrong JSON
// type fails; a JSON null counts as absent. File results read before a failure stay in the
// result, with nfiles counting exactly those.
int qzvsalib_parse_scanresult_json(json_object* reply, qz_scan_result** result, char* errbuf);

// The reply's "Blocking-reason" (borrowed from the reply), or "" when absent or not a string.
const char* qzvsalib_scanresult_blocking_reason(json_object* reply);

// Reads "Trellix-Engine-MajorVersion", "Trellix-Engine-MinorVersion", "Trellix-DAT-MajorVersion"
// and "Trellix-DAT-MinorVersion" into the four version fields; a missing one leaves its field
// and logs WARN "Object %s not found". 0, or -1 for NULL arguments or a member that is not an
// integer in the 32-bit range (the others are still read).
int qzvsalib_parse_engine_versions(json_object* reply, qz_scan_result* result);
QZ_API_END
}
