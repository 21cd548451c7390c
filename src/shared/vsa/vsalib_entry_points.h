// The C signatures that libqzvsa exports for the adapter, matching the function table types of
// vsa/vsa_global.h. The adapter never links against them; it resolves them by these names.
#pragma once

#include "qzav/qz_export.h"
#include "qzav/vsa_types.h"
#include "vsa/vsa_global.h"

extern "C" {
QZ_API_BEGIN

// Fills the VSA_INIT record the adapter allocated and adds 1 to gRefCounter on success.
VSA_RC vsalib_VsaInit(PVSA_CALLBACK p_callback, PVSA_INITPARAMS p_initparams, PPVSA_INIT pp_init,
                      vsa_global* g);
VSA_RC vsalib_VsaScan(PVSA_INIT p_init, PVSA_CALLBACK p_callback, PVSA_SCANPARAM p_scanparam,
                      PVSA_OPTPARAMS p_optparams, PPVSA_SCANINFO pp_scinfo, vsa_global* g);
VSA_RC vsalib_VsaReleaseScan(PPVSA_SCANINFO pp_scinfo, vsa_global* g);
// Releases both records (either may point to NULL) and subtracts 1 from gRefCounter; the last
// handle also stops the process-wide machinery so that the library can be unloaded.
VSA_RC vsalib_VsaEnd(PPVSA_INIT pp_init, PPVSA_CONFIG pp_config, vsa_global* g);
QZ_API_END
}

// The names the adapter resolves, in the order of the function table.
inline constexpr const char* kVsalibInitName = "vsalib_VsaInit";
inline constexpr const char* kVsalibScanName = "vsalib_VsaScan";
inline constexpr const char* kVsalibReleaseScanName = "vsalib_VsaReleaseScan";
inline constexpr const char* kVsalibEndName = "vsalib_VsaEnd";
