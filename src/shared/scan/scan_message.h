// Failure texts of the scan code: formatted once, written into the caller's message buffer
// (QZ_SCAN_MESSAGE_SIZE bytes, may be NULL) and traced at ERROR under the failing function's
// name. Internal to the shared code.
#pragma once

namespace qz::scan {

void report_failure(char* errbuf, const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace qz::scan

#define QZ_SCAN_FAIL(errbuf, ...) \
    ::qz::scan::report_failure((errbuf), __func__, __LINE__, __VA_ARGS__)
