// Binding of the implementation library libqzvsa.so: loaded from the installation directory
// the host names (INIT/INITDIRECTORY), its four entry points resolved into g->vsa, and released
// again when the last init handle has ended.
#pragma once

#include "vsa/vsa_global.h"

extern "C" {

// Loads "<INITDIRECTORY>/qz-av-vsa/latest/lib/libqzvsa.so" and fills g->vsa. 0, or -1 with a
// FATAL line naming the path or the missing symbol and the loader's reason; g->libHandle and
// every table entry are NULL then.
int VsaLoadLibAVQ(vsa_global* g);
// Releases the library and clears the table. 0.
int VsaUnloadLibAVQ(vsa_global* g);
}
