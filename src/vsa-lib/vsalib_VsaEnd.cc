// Placeholder until shutdown lands.
#include "vsa/vsalib_entry_points.h"
#include "vsa/vsa_internal_functions.h"

extern "C" {

VSA_RC vsalib_VsaEnd(PPVSA_INIT, PPVSA_CONFIG pp_config, vsa_global*) {
    VsaFreeVSA_CONFIG(pp_config);
    return VSA_OK;
}
}
