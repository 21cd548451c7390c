// The implementation library's own trace settings, taken from the TRACE section of the store.
// This library keeps its own trace state, separate from the adapter's.
#pragma once

#include "vsa/vsa_global.h"

extern "C" {

// Opens the trace file of TRACE/TRACEFILE (empty when absent: tracing off) at TRACE/TRACELEVEL
// (-1 when absent) with the size limit TRACE/TRACEFILE_MAX_SIZE_MB (0 when absent), read under
// g->cs. The name is copied: the store may replace its own copy at any time.
void vsalib_open_trace_file(vsa_global* g);
}
