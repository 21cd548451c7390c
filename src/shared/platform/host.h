// Host identity: host name and the once-per-process network start-up flag.
#pragma once

#include <cstddef>

extern "C" {

// gethostname into buf (NUL-terminated). 0 or -1.
int qz_gethostname(char* buf, size_t len);
// Nothing to start on Linux; keeps the once-per-process contract: 0 the first time, 1 after.
int qz_winsock_init(void);
}
