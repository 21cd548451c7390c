// The program name in every trace line the implementation library writes.
#include "log/log.h"

const char* qz__progname = "vsa-lib";
