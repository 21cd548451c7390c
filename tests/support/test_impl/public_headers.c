/* The public headers must stay usable from C: this compiles them, layout checks included, as
 * C11. */
#include "qzav/vsa.h"

int qz_test_public_headers_compile_as_c(void) { return (int)sizeof(VSA_INIT); }
