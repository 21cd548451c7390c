// VsaGetConfig: the description of the adapter and of the parameters it understands, with the
// init parameters' current values from the store. The record is released with
// VsaFreeVSA_CONFIG (vsa/vsa_internal_functions.h), normally through VsaEnd.
#pragma once

#include "entry_guard.h"
#include "qzav/vsa_types.h"

namespace qz::adapter {

inline constexpr TraceSite kVsaGetConfigSite{"VsaGetConfig", "vsa-wrapper/src/VsaGetConfig"};

VSA_RC get_config(PPVSA_CONFIG pp_config);

}  // namespace qz::adapter
