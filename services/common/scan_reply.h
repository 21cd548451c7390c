// What a scan service reads from a request and how it answers: the scan job document with the
// object's name, declared length and payload on one side, the scan result document (the wire
// format qzvsalib_parse_scanresult_json reads on the requester's side) on the other.
#pragma once

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "connection/messages.h"
#include "connection/nats_handles.h"
#include "qzav/vsa_types.h"

namespace qz::service {

// The verdict on one file; each member becomes the "Results" entry key in the comment.
struct FileVerdict {
    int32_t rc = SCAN_OK;       // "ReturnCode"
    std::string file_name;      // "File-name"; must not be empty, the requester merges by it
    uint64_t file_size = 0;     // "File-size"
    std::string mime_type;      // "MIME-type"
    std::string mime_encoding;  // "MIME-encoding"
    std::string file_type;      // "File-type"
    std::string extension;      // "Extension"
    int32_t object_type = 0;    // "Object-type"
    std::string virus_name;     // "Virusname"; the reason of a policy block
    std::string error;          // "Error"
};

// A whole answer: "ReturnCode", "FilesScanned" = files.size(), "Results", and "Blocking-reason"
// when rc is SCAN_NOT_COMPLETED.
struct ScanVerdict {
    int32_t rc = SCAN_OK;
    std::vector<FileVerdict> files;
    std::string blocking_reason;
};

// The scan result document of verdict (compact JSON, slashes not escaped). Texts go in as they
// are; json-c escapes what JSON needs.
std::string scan_result_json(const ScanVerdict& verdict);

// {"ReturnCode": -1000, "Error": error, "WorkerHostname": <this host>}: a failed scan. An empty
// error becomes "unknown error", since the requester refuses an empty "Error".
std::string scan_error_json(const std::string& error);

// Puts a malloc'ed copy of text into pair->reply->json (freeing a text already there). false,
// with an ERROR trace line, when there is no reply record or no memory.
bool set_reply_text(qz_request_reply* pair, const std::string& text);

// The request as a scan service sees it: the job document and the payload the worker side
// restored (borrowed from the request record, valid for the handler call).
struct ScanRequest {
    qz::nats::JsonPtr job;
    std::string object_name;              // "ObjectName"; "empty_filename" when absent or empty
    uint64_t object_len = 0;              // "ObjectLen"
    const unsigned char* data = nullptr;  // NULL for an empty object
    size_t data_len = 0;
};

// Reads pair->request. false, with the reason in *error, when the text is not a JSON object,
// "ObjectLen" is not a non-negative integer, or the payload length differs from "ObjectLen":
// a verdict on fewer bytes than the host sent would be a verdict on another object.
bool read_scan_request(const qz_request_reply* pair, ScanRequest* out, std::string* error);

// A member of the job as text: a string as it is, a number in decimal; "" when absent or of
// another type.
std::string job_text(json_object* job, const char* key);

// This host's name ("" when it cannot be read).
std::string worker_hostname();

}  // namespace qz::service
