// The scan's events and scan log: at the end of a scan its outcome becomes one queued log message
// for the event and log services (the verdict's "ErrorLog" or "BlockLog" section, the "EPOLog"
// record, the "ScanLog" section) and one event of the scan's type. Only builds and queues; the
// dispatcher delivers. Nothing here changes the scan's answer to the host.
#pragma once

#include <cstdint>
#include <string>

#include "scan/scan_job.h"
#include "scan/scan_result.h"
#include "vsa/vsa_global.h"
#include "vsa_engine.h"

extern "C" {

// Queues the event (qz_log_send_event) and the log message (type 'L') of one finished scan:
// job gives the event ID, base name, length and per-scan configuration ("SCANLOGPATH"), result
// the verdict, its engine versions and, through result->scaninfo, the virus records. Writes
// nothing, with an ERROR line, without g's dispatcher queue or the runtime's SID and FQDN, when
// a message part cannot be allocated, or when "SCANLOGPATH" cannot be expanded.
void vsaScan_create_logs(vsa_global* g, VSA_ENGINE* runtime, const qz_scanjob* job,
                         const qz_scan_result* result, uint64_t duration_ms, int quarantined,
                         const char* quarantine_name);
}

namespace qz::vsalib {

// What a verdict becomes in the log message, the event and the EPO record.
struct ScanLogInput {
    int32_t rc = SCAN_OK;                   // the scan result's code
    const char* error_text = nullptr;       // the scan result's error text
    const char* first_virus_name = nullptr; // name of the first virus record, as the host got it
    const char* delimiter = nullptr;        // "EVENT_ID_DELIMITER": reasons are cut before it
    bool quarantined = false;
    const char* quarantine_name = nullptr;
    const char* fqdn = "";
    const char* sid = "";
};

struct ScanLogOutcome {
    std::string result_text;  // "Result-Text"
    std::string reason_key;   // "Reason-Text", or "Message" for a scan error
    std::string reason;       // its value; "File clean" scans have ""
    std::string section;      // "ErrorLog", "BlockLog", or "" for none
    int event_type = 0;
    std::string event_error;     // "Error" of the event, or ""
    std::string event_blocking;  // "Blocking-Reason" of the event, or ""
    std::string event_message;   // "Event-Message"
    bool epo = false;            // an EPO record goes with the message
    int epo_event_id = 0;
    std::string epo_text, epo_category, epo_type, epo_action;
};

ScanLogOutcome classify_scan_outcome(const ScanLogInput& input);

}  // namespace qz::vsalib
