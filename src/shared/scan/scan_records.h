// The VSA result records the host receives: built from a consolidated scan result, released
// only here. VSA_SCANINFO owns its three arrays and every string in them; pbBytesCleaned is
// borrowed from the scan result. Also the mapping of service result codes to VSA codes.
//
// Invariant of every function here, also when an allocation fails: uiScanned, uiInfections and
// uiScanErrors never exceed the records present in pContentInfo, pVirusInfo and pScanError, so
// release and trace walk only records that exist.
#pragma once

#include <cstdint>

#include "qzav/qz_export.h"
#include "qzav/vsa_types.h"
#include "scan/scan_result.h"

extern "C" {
QZ_API_BEGIN

// Struct sizes written into the records.
enum {
    QZ_SCANINFO_SIZE = 80,
    QZ_CONTENTINFO_SIZE = 80,
    QZ_VIRUSINFO_SIZE = 72,
    QZ_SCANERROR_SIZE = 48,
};

// Service result code (SCAN_*) to VSA code; unknown codes (SCAN_RESULT_UNSET too) give
// VSA_E_SCAN_FAILED with ERROR "Invalid returncode %d".
VSA_RC qzvsalib_map_QZ_to_VSA_rc(int32_t code);

// Fills scaninfo from result: a content record per file, then a walk over the files in order
// counting clean files, findings (with a virus record each) and errors (with an error record
// each); suffix (may be NULL) is appended to virus names. The walk stops at the first file of
// code SCAN_ERROR (13) or of an unknown code (13, ERROR "Invalid returncode %d"). Otherwise the
// lowest file code, mapped. -1000 for a NULL record or result; 13 when the content records
// cannot be built (uiScanned then stays 0).
VSA_RC vsalib_fill_scaninfo(VSA_SCANINFO* scaninfo, qz_scan_result* result, const char* suffix);

// A new array of result->nfiles content records (uiJobID from result->scaninfo, 0 when not
// linked), or NULL when nothing can be built or an allocation fails (nothing is left over).
// Release each record's strings and the array, as vsalib_FreeScanInfo does.
VSA_CONTENTINFO* vsalib_allocate_and_fill_contentinfo(const qz_scan_result* result);

// Fills the last of scaninfo->uiScanErrors error records, growing pScanError to that count;
// the caller has raised uiScanErrors by one before. NULL name or text stay NULL. 0 done;
// 1 allocation failure, after which uiScanErrors is lowered again; 2 for a NULL record or a
// count of 0 (nothing touched).
int vsalib_reallocate_and_fill_scanerror(uint32_t job_id, const char* name, uint64_t size,
                                         VSA_RC code, const char* text, VSA_SCANINFO* scaninfo);

// Releases a scan error array holding one record; *pp becomes NULL. NULL is ignored.
void vsalib_FreeVSA_SCANERROR(PVSA_SCANERROR* pp);
// Releases a scan information record with its arrays; *pp_scinfo becomes NULL. ERROR "Invalid
// pointer ppscinfo" for NULL or a NULL *pp_scinfo.
void vsalib_FreeScanInfo(PPVSA_SCANINFO pp_scinfo);
// Releases an init handle: each driver entry's name, the entries, the library and error texts
// and the record; *pp_init becomes NULL. hEngine is not touched (it has its own release).
// ERROR "Invalid pointer pp_init" for NULL or a NULL *pp_init.
void vsalib_FreeVSA_INIT(PPVSA_INIT pp_init);
// Releases a configuration description: the texts of type VSA_TYPE_STRING, arrays and lists of
// both parameter lists, the adapter description with its texts, and the record; *pp_config
// becomes NULL. ERROR "Invalid pointer pp_config" for NULL or a NULL *pp_config.
void vsalib_FreeVSA_CONFIG(PPVSA_CONFIG pp_config);

// A newly allocated formatted text (free() it), or NULL when formatting or allocating fails.
char* qz_sprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
QZ_API_END
}
