/* The entry points of the adapter libqzAV.so, as the SAP host calls them.
 *
 * Calling order: VsaStartup once; VsaGetConfig at any time after it; VsaInit once per init
 * handle; VsaScan and VsaReleaseScan any number of times, from several threads; VsaEnd once per
 * handle; VsaCleanup last. The host serialises VsaStartup, VsaInit, VsaEnd and VsaCleanup.
 * Every entry point returns a VSA_RC and never lets a C++ exception escape. Before VsaStartup
 * (and after VsaCleanup) every entry point but VsaStartup answers VSA_E_NOT_INITIALISED, except
 * VsaEnd, which then releases a given VSA_CONFIG and answers VSA_OK.
 */
#ifndef QZAV_VSA_H
#define QZAV_VSA_H

#include "qzav/qz_export.h"
#include "qzav/vsa_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Creates the process-wide state, reads the configuration and opens the trace file.
 * VSA_OK, or VSA_E_NO_MEMORY. A second call keeps the existing state and answers VSA_OK. */
QZ_EXPORT VSA_RC VsaStartup(void);

/* A new configuration description in *pp_config, released through VsaEnd. VSA_OK,
 * VSA_E_NULL_PARAM or VSA_E_NO_MEMORY (*pp_config then NULL). */
QZ_EXPORT VSA_RC VsaGetConfig(PPVSA_CONFIG pp_config);

/* Takes the host's init parameters, loads libqzvsa on first use and initialises one handle in
 * *pp_init. The handle stays in *pp_init on every path, a failure carrying its reason in
 * pszErrorText; give it back with VsaEnd. VSA_OK, the implementation's code, or
 * VSA_E_NO_MEMORY, VSA_E_NULL_PARAM, VSA_E_INVALID_PARAM, VSA_E_LOAD_FAILED. */
QZ_EXPORT VSA_RC VsaInit(PVSA_CALLBACK p_callback, PVSA_INITPARAMS p_initparams,
                         PPVSA_INIT pp_init);

/* Scans one object; the result record goes to *pp_scinfo, released with VsaReleaseScan. */
QZ_EXPORT VSA_RC VsaScan(PVSA_INIT p_init, PVSA_CALLBACK p_callback, PVSA_SCANPARAM p_scanparam,
                         PVSA_OPTPARAMS p_optparams, PPVSA_SCANINFO pp_scinfo);

/* Releases a result record of VsaScan; *pp_scinfo becomes NULL. */
QZ_EXPORT VSA_RC VsaReleaseScan(PPVSA_SCANINFO pp_scinfo);

/* Ends one init handle and releases it and a configuration description (either may be NULL);
 * unloads libqzvsa when the last handle ends. */
QZ_EXPORT VSA_RC VsaEnd(PPVSA_INIT pp_init, PPVSA_CONFIG pp_config);

/* Releases the configuration and the trace file. VSA_OK, VSA_E_NOT_INITIALISED, or
 * VSA_E_IN_PROGRESS while init handles are live (nothing is released then). */
QZ_EXPORT VSA_RC VsaCleanup(void);

#ifdef __cplusplus
}
#endif

#endif
