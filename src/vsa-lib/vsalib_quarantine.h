// Quarantine: an object whose scan ended with a finding or a failure is sent, with a short
// description of the verdict, to the quarantine service the host named ("qz-av-quarantine."
// plus the CLEANQUARANTINE target), which answers with the name it stored the object under.
#pragma once

#include <cstdint>

#include "qzav/vsa_types.h"
#include "scan/scan_job.h"
#include "scan/scan_result.h"
#include "vsa_engine.h"

extern "C" {

// Sends job's payload to subject with command 600 over the connection of runtime->global,
// waiting "SCANTIMEOUT" (section "SCAN") for up to four attempts. result must be linked to its
// scan information record holding at least one virus record with a name (else ERROR "Invalid
// scan result"). 0 with *out_name holding the stored name (malloc'ed; the caller frees it);
// else -1 (no reply: ERROR "Failed to get reply from service %s"; a reply without a usable
// "QuarantineFilename", or with members of the wrong type) or the service's non-zero
// "ReturnCode". *out_name is NULL on every failure.
int vsalib_quarantine(VSA_ENGINE* runtime, qz_scanjob* job, qz_scan_result* result,
                      const char* event_id, const char* subject, char** out_name);
}

namespace qz::vsalib {

// What the quarantine step of a scan did.
struct QuarantineOutcome {
    VSA_RC code = VSA_OK;  // the scan's VSA code afterwards
    bool quarantined = false;
    char* file_name = nullptr;  // the service's name for the object (malloc'ed) or NULL
};

// The quarantine step of a scan that ended with code: only for VSA_E_BLOCKED_BY_POLICY,
// VSA_E_ACTIVECONTENT_FOUND, VSA_E_VIRUS_FOUND, VSA_E_SCAN_FAILED and VSA_E_NOT_SCANNED, and
// only when "INITENGINES" (section "INIT" of runtime->config) names no scan proxy (INFO
// "Quarantine handled by scanproxy") and job->scan_config holds a non-empty "CLEANQUARANTINE".
// A failed quarantine turns the code into VSA_E_SCAN_FAILED (ERROR "Failed to quarantine %s -
// reporting scan as FAILED"; result's error text becomes "Quarantine failed for %s" unless it
// has one); the virus records stay, so a finding is never lost.
QuarantineOutcome quarantine_scanned_object(VSA_ENGINE* runtime, qz_scanjob* job,
                                            qz_scan_result* result, VSA_RC code);

}  // namespace qz::vsalib
