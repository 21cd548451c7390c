// Placeholder until start-up lands: refuses every handle.
#include "log/log.h"
#include "vsa/vsalib_entry_points.h"

extern "C" {

VSA_RC vsalib_VsaInit(PVSA_CALLBACK, PVSA_INITPARAMS, PPVSA_INIT, vsa_global*) {
    LOG_FATAL("Start-up is not available in this build");
    return VSA_E_LOAD_FAILED;
}
}
