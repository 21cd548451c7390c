// The extra scan time-out a file earns by its size at the configured bandwidth, doubled for
// archives (which the services unpack before scanning).
#pragma once

#include <cstdint>

extern "C" {

// Milliseconds: size / (bytes per ms at `bandwidth`), doubled when `mime` names an archive type
// and again when `doubling` is non-zero. Bandwidth 0 (or negative) gives 0. The result saturates
// at UINT32_MAX instead of wrapping to a short time-out.
uint32_t qz_extra_timeout(uint64_t size, int bandwidth, const char* mime, int doubling);
// True when `mime` equals one of the archive MIME types exactly (case-sensitive). NULL is false.
bool isArchive(const char* mime);
}
