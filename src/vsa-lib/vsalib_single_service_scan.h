// One service's part of a scan: the job goes to the service's subject, its reply becomes a
// per-service scan result and a VSA code. A service entry "qz-av-sophos+clamav" names a fallback
// ("qz-av-clamav") that is asked when the primary could not complete the scan; "qz-av-sophos+"
// lets the loop go on to the next service instead.
#pragma once

#include <cstdint>

#include "qzav/vsa_types.h"
#include "scan/scan_job.h"
#include "scan/scan_result.h"
#include "vsa_engine.h"
#include "vsalib_scan_transport.h"

extern "C" {

// Sends job to service over the connection of runtime->global and reads the reply into result
// (the per-service result). remaining_ms is what is left of SCANTIMEOUT, extra_ms the payload's
// transfer allowance. Returns the VSA code of the service's verdict; VSA_E_SCAN_FAILED when no
// reply came or it could not be read, with the reason in result->error_text and errbuf
// (1024 bytes); VSA_E_NOT_SCANNED when the service did not complete the scan and no fallback is
// named, with its reason in result->error_text and errbuf.
VSA_RC qz_single_service_scan(qz_scanjob* job, VSA_ENGINE* runtime, qz_scan_result* result,
                              char* errbuf, uint32_t remaining_ms, uint32_t extra_ms,
                              const char* service);
}

namespace qz::vsalib {

// The same over any transport.
VSA_RC single_service_scan(ScanTransport& transport, qz_scanjob* job, qz_scan_result* result,
                           char* errbuf, uint32_t remaining_ms, uint32_t extra_ms,
                           const char* service);

// The connection of an init handle's runtime configuration, or NULL.
qz_connection_config* runtime_connection(const VSA_ENGINE* runtime);

}  // namespace qz::vsalib
