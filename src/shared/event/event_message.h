// Event and log messages for the central event log: the JSON message with its base members and
// event identifier, the named sections, the (optionally encrypted) event section, and their
// enqueueing into the persistent queue with the type 'E' (events) or 'L' (log messages).
//
// Messages are json-c objects owned by the thread that built them; functions that take a data
// object take its reference over, as their comments say. Allocated texts are released with free().
#pragma once

#include "qzav/qz_export.h"

#include <json-c/json.h>

#include "crypto/secretbox.h"
#include "pqueue/pqueue.h"

extern "C" {
QZ_API_BEGIN

// Event types reported by the implementation.
enum {
    QZ_EVENT_STARTED = 1010,
    QZ_EVENT_STOPPED = 1030,
    QZ_EVENT_SCAN_CLEAN = 1040,
    QZ_EVENT_SCAN_ERROR = 1050,
    QZ_EVENT_BLOCKED = 1060,
    QZ_EVENT_BLOCKED_QUARANTINED = 1070,
    QZ_EVENT_FILE_CLEANED = 1080,
    QZ_EVENT_SCAN_NOT_COMPLETED = 1090,
};

// The command number of an event message.
enum { QZ_EVENT_COMMAND = 501 };

// A new time-based event identifier: 36 lower-case characters and a NUL in a malloc'ed block the
// caller frees, or NULL.
char* qz_log_generate_eventID(void);

// A new message holding "LogVersion", "Timestamp", "Timestamp_epoch", "Component", "Hostname"
// and "EventID" (a copy of eventID), in that order; NULL for a NULL identifier or on failure.
json_object* qz_log_create_message_with_eventID(const char* eventID);
// The same with a fresh identifier.
json_object* qz_log_create_message(void);

// Adds {"LogData": data} under section_name and, when realmID is non-empty, "realmID". The
// data's reference passes to the message on success. 0, or -1 (the data is then the caller's).
int qz_log_add_log_section(json_object* message, const char* section_name, const char* realmID,
                           json_object* data);
// Adds "realmID" (when non-empty) and "ScanLog": {"ScanLogPath", "LogData"}. The data's reference
// passes to the message on success (a NULL data becomes a JSON null). 0, or -1 for a NULL
// message (the data is then the caller's).
int qz_log_add_scanlog_section(json_object* message, const char* scanlog_path, const char* realmID,
                               json_object* data);

// The EPO log object; NULL texts become empty strings. NULL on failure.
json_object* qz_log_create_epolog_json(int event_id, const char* filename, const char* threat_name,
                                       const char* threat_category, const char* threat_type,
                                       const char* action_taken, const char* lib_version,
                                       const char* dat_version);

// The delimiter ("EventID:" when NULL or empty) followed by the message's "EventID" ("not set"
// when it has none). Malloc'ed; the caller frees it. NULL only when memory runs out.
char* qz_log_create_delimited_eventID_string(const char* delimiter, json_object* message);

// Builds an event message of the given type and enqueues it with type 'E'. NULL or empty texts
// are left out. With event_key, the event section travels encrypted (Base64 of the secretbox
// ciphertext in "Event", the nonce used in "Nonce"); one key may be shared by many threads.
int qz_log_send_event(qz_pqueue* queue, int event_type, const char* realmID, const char* SID,
                      const char* filename, const char* error, const char* blocking_reason,
                      const char* event_message, qz_secretbox_key* event_key);

// Persists the compact JSON text of message with the type as prefix. The caller keeps its
// reference. 0 when persisted, -1 otherwise (NULL queue or message, queue full, write failure).
int qz_log_enqueue(qz_pqueue* queue, char type, json_object* message);
QZ_API_END
}
