// What one scan said, taken out of the VSA result records, and its rendering as a text line or
// a JSON line; the summary line; the print of a VSA_CONFIG and of an init handle. Rendering is
// pure: no locks, no I/O.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qzav/vsa_types.h"
#include "vsa_names.h"

namespace vsascan {

struct Finding {
    std::string virus;   // as reported, trailing blanks removed
    std::string object;  // the file it was found in (an archive member's name), may be empty
};

struct ObjectReport {
    std::string name;
    bool scanned = false;  // VsaScan was called; otherwise `errors` says why not
    VSA_RC rc = VSA_OK;
    std::vector<Finding> findings;
    std::string mime;                   // of the object itself (the first content record)
    std::vector<std::string> services;  // services the records name, in order, once each
    std::vector<std::string> errors;    // scan error texts, or the tool's own reason
    uint64_t size = 0;
    double ms = 0;
    uint32_t files = 0;  // uiScanned: the object and what was extracted from it
    Outcome outcome() const;
    const char* verdict() const;
};

// A report for a scan that returned `rc` with `info` (which may be null). Reads only as many
// records as are present: a count is trusted only together with a non-null array.
ObjectReport report_from_records(const std::string& name, VSA_RC rc, const VSA_SCANINFO* info);

// A report for an object the tool could not hand to VsaScan.
ObjectReport report_not_scanned(const std::string& name, const std::string& reason);

std::string text_line(const ObjectReport& report);
std::string json_line(const ObjectReport& report);

struct Summary {
    size_t objects = 0;
    size_t clean = 0;
    size_t findings = 0;
    size_t errors = 0;
    double seconds = 0;
    int exit_code = 0;
};
std::string text_summary(const Summary& summary);
std::string json_summary(const Summary& summary);

// The configuration description, as text lines or as one JSON line.
std::string config_text(const VSA_CONFIG* config);
std::string config_json(const VSA_CONFIG* config);

// The init handle's library text and its scan services with their versions and codes.
std::string init_text(const VSA_INIT* init);

// A JSON string literal; bytes that are not UTF-8 are read as Latin-1, so the line stays valid.
std::string json_string(const std::string& text);
// The value as it stands when it holds no blank, quote, backslash or control character; else in
// double quotes with C escapes. "-" for an empty value.
std::string text_value(const std::string& text);

}  // namespace vsascan
