// The scan job: the per-scan record that scan handling fills, the service loop and quarantine
// read, and the JSON document that travels to every scan service with it. The payload itself
// never goes into the JSON.
//
// Conventions: the job does not own scanparam, optparams, object_name, data or staged_key; it
// owns scan_config, event_id and job_doc (job_json is its text, owned by it), all
// released by qz_scanjob_release.
#pragma once

#include <json-c/json.h>

#include <cstdint>

#include "platform/critical_section.h"
#include "qzav/qz_export.h"
#include "qzav/vsa_types.h"
#include "scan/scan_result.h"
#include "util/list.h"

extern "C" {
QZ_API_BEGIN

// shm_id values: the payload is in memory at data, or there is none (an empty file).
enum { QZ_SHM_IN_MEMORY = -1, QZ_SHM_NONE = 0 };

// Job document commands.
enum { QZ_COMMAND_SCAN = 101, QZ_COMMAND_SCAN_AND_CLEAN = 102 };

typedef struct qz_scanjob {
    list_t* scan_config;       // per-scan configuration (scan/scan_config.h); owned
    VSA_SCANPARAM* scanparam;  // the host's request; borrowed
    VSA_OPTPARAMS* optparams;  // the host's optional parameters; borrowed, may be NULL
    const char* object_name;   // base name of the object; borrowed
    char* event_id;            // owned
    uint8_t* data;             // the bytes to scan, or NULL for an empty file; borrowed
    uint64_t data_len;
    int32_t shm_id;          // QZ_SHM_IN_MEMORY or QZ_SHM_NONE
    json_object* job_doc;    // owned
    const char* job_json;    // text of job_doc, owned by it; replaced by every rendering
    const char* staged_key;  // key of the staged payload, or NULL; borrowed
} qz_scanjob;

// What the job document needs from the runtime configuration of the init handle. All borrowed;
// NULL texts are written as "".
typedef struct qz_scan_runtime {
    list_t* config;                    // the parameter store ("INITSERVERS" of "INIT")
    QZ_CRITICAL_SECTION* config_lock;  // held while reading config; may be NULL
    const char* realmID;
    const char* SID;
    const char* FQDN;
    char* const* services;  // needed services in order, NULL-terminated; may be NULL
} qz_scan_runtime;

// The object's base name: the text after the last backslash when the name has one, else the
// whole name (forward slashes are not separators here); "empty_filename" for NULL. Borrowed
// from object_name or static.
const char* qz_scanjob_object_base_name(const char* object_name);

// Builds the job document into job->job_doc (made when NULL) and renders it pretty into
// job->job_json: "Command", "realmID", "SID", "Hostname", "EventID", "PID", "TID",
// "Scan-Servers", "shmID", "ObjectName", "ObjectLen", then every "SCAN" parameter of
// job->scan_config in list order, then "Services" and "Recursion". A parameter that would
// replace one of the job's own members is left out (ERROR). 0, or -1 with the reason in
// errbuf (QZ_SCAN_MESSAGE_SIZE bytes, may be NULL) and at ERROR: action code without the scan
// bit ("Unsupported Scan Action Code %d"), scan configuration busy for 250 ms, rendering failed.
int qzvsalib_EncodeScanjobToJSON(const qz_scan_runtime* runtime, qz_scanjob* job, char* errbuf);

// An integer member of the job document with json-c's conversion (numeric strings count); an
// absent member logs WARN "Object %s not found" and counts as 0.
int qz_scanjob_document_int(const qz_scanjob* job, const char* key);

// Adds the MIME scanner's findings of file ("MIME-type", "MIME-encoding", "File-type",
// "Extension"; NULL texts as "") to the job JSON, replacing earlier ones, and renders it again
// into job_json. 0, or -1 with ERROR "Failed to update scan request with MIME-scan results".
int qz_scanjob_add_mime_findings(qz_scanjob* job, const qz_file_scan_result* file);

// Releases scan_config, event_id and job_doc and clears them and job_json; the borrowed fields
// stay. NULL is ignored.
void qz_scanjob_release(qz_scanjob* job);
QZ_API_END
}
