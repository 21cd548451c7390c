// Functions on the VSA records that the adapter and the implementation library both carry.
#pragma once

#include "qzav/vsa_types.h"

extern "C" {

// Releases a configuration description built by VsaGetConfig: every string value (type
// VSA_TYPE_STRING) of both parameter lists, the arrays, the lists, the adapter description with
// its two texts, and the record. *pp_config becomes NULL; NULL and a NULL *pp_config are ignored.
// Any part may be missing (a partly built record is released as far as it goes).
void VsaFreeVSA_CONFIG(PPVSA_CONFIG pp_config);
}
