// The boundary between the host and the adapter's C++ code: trace lines that name the entry
// point and its source path rather than the C++ function doing the work, and the guard that
// keeps every exception inside the library.
#pragma once

#include <cstdint>
#include <exception>
#include <new>

#include "log/log.h"
#include "qzav/vsa_types.h"

namespace qz::adapter {

// The function name and source path that an entry point's trace lines carry.
struct TraceSite {
    const char* function;
    const char* source;
};

}  // namespace qz::adapter

#define SITE_LOG(site, level, ...) \
    log_log((level), (site).function, (site).source, __LINE__, __VA_ARGS__)

namespace qz::adapter {

// Traces a failure that reached the boundary; tracing allocates too, so nothing leaves here.
inline void trace_unexpected(const TraceSite& site, const char* what, VSA_RC rc) noexcept {
    try {
        SITE_LOG(site, QZ_LOG_ERROR, "Unexpected failure: %s, returning %d", what, rc);
    } catch (...) {
    }
}

// Runs body and returns its VSA_RC. An exception ends as an ERROR line and a code: 1
// (VSA_E_NO_MEMORY) for an allocation failure, failure_code for anything else.
template <typename Body>
VSA_RC guard_entry(const TraceSite& site, VSA_RC failure_code, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc& e) {
        trace_unexpected(site, e.what(), VSA_E_NO_MEMORY);
        return VSA_E_NO_MEMORY;
    } catch (const std::exception& e) {
        trace_unexpected(site, e.what(), failure_code);
    } catch (...) {
        trace_unexpected(site, "unknown exception", failure_code);
    }
    return failure_code;
}

}  // namespace qz::adapter
