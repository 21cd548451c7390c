// The process-wide state shared by the adapter and the implementation library. The adapter owns
// the record, its parameter store and its function table; the implementation receives the
// record as the last argument of every forwarded call and keeps its connection and event-log
// state in it. Both libraries compile this header, so its layout is checked here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/critical_section.h"
#include "qzav/vsa_types.h"
#include "util/list.h"

extern "C" {

struct vsa_global;

// The four entry points of libqzvsa, resolved by name at load time. Each returns a VSA_RC.
typedef VSA_RC (*vsalib_VsaInit_fn)(PVSA_CALLBACK p_callback, PVSA_INITPARAMS p_initparams,
                                    PPVSA_INIT pp_init, struct vsa_global* g);
typedef VSA_RC (*vsalib_VsaScan_fn)(PVSA_INIT p_init, PVSA_CALLBACK p_callback,
                                    PVSA_SCANPARAM p_scanparam, PVSA_OPTPARAMS p_optparams,
                                    PPVSA_SCANINFO pp_scinfo, struct vsa_global* g);
typedef VSA_RC (*vsalib_VsaReleaseScan_fn)(PPVSA_SCANINFO pp_scinfo, struct vsa_global* g);
typedef VSA_RC (*vsalib_VsaEnd_fn)(PPVSA_INIT pp_init, PPVSA_CONFIG pp_config,
                                   struct vsa_global* g);

// Allocated at start-up and kept; every entry is NULL while no implementation is loaded.
typedef struct vsa_functions {
    vsalib_VsaInit_fn init;
    vsalib_VsaScan_fn scan;
    vsalib_VsaReleaseScan_fn releasescan;
    vsalib_VsaEnd_fn end;
} vsa_functions;

typedef struct vsa_global {
    // Guards the store around trace (re)opening, the implementation's reads of shared settings
    // and the copy of the store at the start of each scan. Re-entrant.
    QZ_CRITICAL_SECTION cs;
    list_t* config;   // the parameter store; NULL between VsaCleanup and the next VsaStartup
    void* libHandle;  // the loaded libqzvsa, or NULL
    vsa_functions* vsa;
    uint8_t libInitialised;   // set by vsalib_VsaInit on success, cleared by vsalib_VsaEnd
    uint8_t started;          // set by a successful VsaStartup, cleared by VsaCleanup
    int32_t gRefCounter;      // live init handles, kept by the implementation
    void* logThreadParams;    // the implementation's event-log dispatcher; owned by it
    void* connection_config;  // the implementation's qz_connection_config; owned by it
} vsa_global;

// Releases the store, the function table, the critical section and the record; *g becomes NULL.
// NULL and a NULL *g are ignored. The implementation must not be loaded any more.
void vsaglobal_Free(vsa_global** g);
}

static_assert(sizeof(vsa_functions) == 32);
static_assert(offsetof(vsa_functions, init) == 0);
static_assert(offsetof(vsa_functions, scan) == 8);
static_assert(offsetof(vsa_functions, releasescan) == 16);
static_assert(offsetof(vsa_functions, end) == 24);

static_assert(sizeof(QZ_CRITICAL_SECTION) == 48);
static_assert(sizeof(vsa_global) == 96);
static_assert(offsetof(vsa_global, cs) == 0);
static_assert(offsetof(vsa_global, config) == 48);
static_assert(offsetof(vsa_global, libHandle) == 56);
static_assert(offsetof(vsa_global, vsa) == 64);
static_assert(offsetof(vsa_global, libInitialised) == 72);
static_assert(offsetof(vsa_global, started) == 73);
static_assert(offsetof(vsa_global, gRefCounter) == 76);
static_assert(offsetof(vsa_global, logThreadParams) == 80);
static_assert(offsetof(vsa_global, connection_config) == 88);
