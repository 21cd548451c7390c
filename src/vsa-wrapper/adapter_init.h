// VsaInit: one new init handle. The host's parameters go into the store and are checked, the
// implementation is loaded on first use, and the handle is initialised by vsalib_VsaInit.
#pragma once

#include "entry_guard.h"
#include "qzav/vsa_types.h"

namespace qz::adapter {

inline constexpr TraceSite kVsaInitSite{"VsaInit", "vsa-wrapper/src/VsaInit"};

VSA_RC init(PVSA_CALLBACK p_callback, PVSA_INITPARAMS p_initparams, PPVSA_INIT pp_init);

}  // namespace qz::adapter
