// The service scan loop: one scan walks the needed services of its init handle in order, asks
// each one it needs with the payload staged once, feeds the MIME scanner's findings into the
// job for the services after it, merges every verdict into the consolidated result and stops
// at the first verdict that ends the scan. Runs on the caller's thread; several scans may loop
// at once (the only shared state is the staged-payload registry).
#pragma once

#include "qzav/vsa_types.h"
#include "scan/scan_job.h"
#include "scan/scan_result.h"
#include "vsa_engine.h"
#include "vsalib_scan_transport.h"

extern "C" {

// Scans job with the services of runtime->services (settings "SCANTIMEOUT", required, and
// "SCANBANDWIDTH" of section "SCAN" from runtime->config; the connection of runtime->global).
// result is the consolidated result; its scaninfo, when set, becomes the owner of the staged
// payload in the registry (released by vsalib_VsaReleaseScan, or vsalib_staged_release), and
// job->staged_key borrows the registered key until then. msgbuf (1024 bytes, may be NULL)
// receives the text of the last failure.
//
// Returns the VSA code of the scan: VSA_OK, a finding (VSA_E_CLEANED, VSA_E_BLOCKED_BY_POLICY,
// VSA_E_ACTIVECONTENT_FOUND, VSA_E_VIRUS_FOUND), VSA_E_NOT_SCANNED (result rc SCAN_NOT_COMPLETED
// and "Service <name>: <reason>") or VSA_E_SCAN_FAILED (result rc SCAN_ERROR and "Service <name>:
// <reason>" for a failed, silent, late or unreadable service; result untouched for a missing
// SCANTIMEOUT or NULL arguments). Never VSA_OK while a consolidated file carries a finding or an
// error.
VSA_RC qzvsalib_loop_scan_services(VSA_ENGINE* runtime, qz_scanjob* job, qz_scan_result* result,
                                   char* msgbuf);
}

namespace qz::vsalib {

// The same over any transport (runtime->global is only used for the store's lock here).
VSA_RC loop_scan_services(VSA_ENGINE* runtime, ScanTransport& transport, qz_scanjob* job,
                          qz_scan_result* result, char* msgbuf);

}  // namespace qz::vsalib
