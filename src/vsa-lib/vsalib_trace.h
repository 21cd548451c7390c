// Trace lines of the implementation library name the enclosing function and the library's own
// source path for the module ("vsa-lib/src/vsalib_VsaInit"), the same on every build.
#pragma once

#include "log/log.h"

#define VSALIB_LOG(level, source, ...) log_log((level), __func__, (source), __LINE__, __VA_ARGS__)
// For lines that carry another function name than the enclosing one.
#define VSALIB_LOG_AS(level, function, source, ...) \
    log_log((level), (function), (source), __LINE__, __VA_ARGS__)
