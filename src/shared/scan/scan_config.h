// The per-scan configuration: a private copy of the "SCAN" and "ACTIVECONTENT" parameters of
// the parameter store, into which one request's action bits and optional parameters are merged
// (section "SCAN", source QZ_SOURCE_VSI_API). The scan job document carries its "SCAN" part.
// The copy belongs to the scan; release it with qz_config_free_list.
#pragma once

#include "platform/critical_section.h"
#include "qzav/qz_export.h"
#include "qzav/vsa_types.h"
#include "util/list.h"

extern "C" {
QZ_API_BEGIN

// A new list holding copies of every parameter whose section is "SCAN" or "ACTIVECONTENT" (any
// case), taken under lock (may be NULL) while holding the store's iterator (waited for up to
// 250 ms, polling every 25 ms). When the iterator cannot be had, the store is NULL or one copy
// fails (ERROR "Failed to duplicate %s:%s"), the list comes back empty. NULL only when the list
// itself cannot be allocated.
list_t* qz_scan_config_copy(list_t* store, QZ_CRITICAL_SECTION* lock);

// Merges the request into the per-scan configuration: action bit 1 sets "CUST_CHECK_MIME_TYPE"
// and bit 16 "CUST_ACTIVE_CONTENT" to 1; then each optional parameter in list order by its code
// alone (the type is not checked; a zero integer or a NULL string counts as absent). A
// "CLEANQUARANTINE" text is cut at its first colon, so a key appended after it never reaches the
// configuration or the trace. 0, or VSA_E_INVALID_PARAM (3) after the first store that fails
// (ERROR naming it, then "Failed to merge scanjob with con parameters"). scanparam and optparams
// may be NULL.
int qz_scan_config_merge_request(list_t* scan_config, const VSA_SCANPARAM* scanparam,
                                 const VSA_OPTPARAMS* optparams);
QZ_API_END
}
