// Consolidation of per-service scan results: every service's file verdicts are merged, by file
// name, into the one scan result that becomes the host's records. A pure function over the two
// records; the consolidated result owns what it takes (copies), the service's result stays
// untouched.
#pragma once

#include <cstdint>

#include "qzav/vsa_types.h"
#include "scan/scan_result.h"

namespace qz::vsalib {

// True for the file codes that block the object or report that it could not be checked
// (policy block, active content, virus, cleaned, error). Once a file carries one of them, no
// later service's verdict makes it clean again, and the scan never ends clean while one stands.
bool is_final_finding(int32_t code);

// Merges latest into consolidated:
// - a file whose name (exact) is already present updates that entry: its code becomes the new
//   one (unless the entry holds a final finding and the new code is none), size and object type
//   fill only zero values, texts fill only empty ones, the new file's error is not taken; a
//   non-zero entry code becomes the consolidated code;
// - any other file is appended as a copy; its code becomes the consolidated code unless that
//   would replace a non-clean code by a clean one; its error becomes the consolidated error
//   text when there is none yet;
// - the engine and signature versions are taken when the consolidated result has none yet.
// VSA_OK, or VSA_E_SCAN_FAILED for a NULL consolidated result (ERROR "Invalid pointer
// consolidated") or when an entry cannot be added (ERROR "Failed to allocate new consolidated
// filescan result struct"); both then also log ERROR "Failed to merge scan results", and what
// was merged before the failure stays. A NULL latest merges nothing.
VSA_RC merge_scan_results(qz_scan_result* consolidated, const qz_scan_result* latest);

}  // namespace qz::vsalib
