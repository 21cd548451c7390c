// Scan request handling: one VsaScan of the host, a file or a buffer, from the request's checks
// through the per-scan configuration, the scan job, the size limits, the service loop, the result
// records and quarantine to the scan's events and log. Files are scanned in place from a
// read-only view of the file (platform/file_view.h), never from a copy. Also the pure rules of a
// request: the object's base name, the size limits and a safe view of the optional parameters.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "qzav/vsa_types.h"
#include "vsa/vsa_global.h"

namespace qz::vsalib {

// The base name of an object: the text after its last '/' or '\' (host paths on Linux use '/',
// SAP hosts may pass Windows paths); the whole name when it has neither; "empty_filename" for
// NULL. Borrowed from object_name or static.
const char* object_base_name(const char* object_name);

enum class SizeDecision {
    kScan,          // within the limits
    kBelowMinimum,  // shorter than "SCAN_MIN_SIZE": answered clean without asking any service
    kAboveMaximum,  // longer than "SCAN_MAX_SIZE": blocked without asking any service
};

// A minimum of 0 or less and a maximum of 0 or less set no limit.
SizeDecision decide_by_size(uint64_t length, long min_size, long max_size);

// The host's optional parameters as the per-scan configuration may read them by code alone:
// unknown codes are left out; a text code whose entry is not of type string (its value would be
// a number read as an address) and a number code of type string (an address read as a number)
// are left out with a WARN line; a text is copied up to its first NUL but never past lLength
// bytes, so a text without NUL within its length is cut there, and a text of length 0 or a NULL
// value counts as absent. Numbers of type 9 are read with 64 bits, all others as the 32-bit
// value the interface defines. The view owns its copies; get() stays valid while it lives.
class OptionalParameters {
  public:
    explicit OptionalParameters(const VSA_OPTPARAMS* host);
    OptionalParameters(const OptionalParameters&) = delete;
    OptionalParameters& operator=(const OptionalParameters&) = delete;

    const VSA_OPTPARAMS* get() const { return &list_; }
    // Entries of the host's list left out because of their type, value or length.
    size_t refused() const { return refused_; }

  private:
    std::deque<std::string> texts_;
    std::vector<VSA_OPTPARAM> entries_;
    VSA_OPTPARAMS list_{};
    size_t refused_ = 0;
};

// Text codes among the optional parameters (the others that scan handling takes are numbers).
bool is_text_parameter(uint32_t code);
// Codes that scan handling takes at all.
bool is_known_parameter(uint32_t code);

// vsalib_VsaScan: answers the host's request with a VSA code and, in *pp_scinfo (when not
// NULL), the scan information record, which the host gives back through VsaReleaseScan.
VSA_RC scan_request(PVSA_INIT p_init, PVSA_CALLBACK p_callback, PVSA_SCANPARAM p_scanparam,
                    PVSA_OPTPARAMS p_optparams, PPVSA_SCANINFO pp_scinfo, vsa_global* g);

}  // namespace qz::vsalib
