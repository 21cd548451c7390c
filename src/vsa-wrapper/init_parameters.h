// The adapter's parameters: the defaults stored at start-up, the host's init parameters taken
// into the store at each VsaInit, the check and correction of the directories, and the check
// that everything the implementation needs is present.
#pragma once

#include "qzav/vsa_types.h"
#include "util/list.h"
#include "vsa/vsa_global.h"

extern "C" {

// Size of the message buffers the functions below write a one-line reason into.
enum { VSAWRAPPER_MESSAGE_SIZE = 1024 };

// Stores the defaults with source "Default": INIT/INITENGINES "DUMMY", INIT/INITTEMP_PATH
// "/tmp", INIT/MAX_VSA_PROCESSES 1000, INIT/INITTIMEOUT 60, INIT/START_CONTROL 0 and
// TRACE/MAX_TRACEFILE_SIZE_MB 50. 0, or -1 when one could not be stored.
int vsawrapper_SetDefaults(list_t* config);

// Takes the host's parameters into g's store with source "VSI API", so they replace defaults,
// file values and the values of an earlier VsaInit. Records with a NULL value, an empty text or
// a non-text value for a text parameter are skipped with a warning, unknown codes too. A text is
// read up to its stated length and never past it. Reopens the trace file when the trace
// settings (INITEXTRADRIVERDIRECTORY) are given. 0, or -1 when a copy cannot be allocated or
// stored. The caller holds g->cs.
int vsawrapper_ExtractInitParameters(PVSA_INITPARAMS p_initparams, vsa_global* g);

// Resolves INIT/INITDIRECTORY and INIT/INITTEMP_PATH, where set, to absolute paths (storing the
// result when it differs) and checks that they are directories, the temporary one writable.
// 0, or -1 with "Invalid Parameter <key> <path>: <reason> " in message (VSAWRAPPER_MESSAGE_SIZE
// bytes). The caller holds g->cs.
int vsawrapper_ValidateInitParameters(vsa_global* g, char* message);

// 1 when INITDIRECTORY, INITENGINES and the broker URL are set, and INITSERVERS too when
// INITENGINES is exactly "ICAP" or "CLAMAV"; otherwise 0 with the first missing one's message
// in message (VSAWRAPPER_MESSAGE_SIZE bytes). The caller holds g->cs.
int vsawrapper_HaveRequiredParams(vsa_global* g, char* message);
}
