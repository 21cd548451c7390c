// The run-directory file names of an installation, made unique by the configuration hash: the
// control lock file, the heartbeat file and the job-ID file below "<INITDIRECTORY>/run".
#pragma once

#include "vsa_engine.h"

extern "C" {

// Longest file name (without its NUL) built here.
enum { VSALIB_MAX_RUN_PATH = 4094 };

// Builds "<dir>/run/vendrixControl_<hash>.lock" (into ctlDetails), "<dir>/run/QZ_heartbeat_
// <hash>.dat" and "<dir>/run/VSA_jobid_<hash>.dat" from INIT/INITDIRECTORY (empty when absent)
// and configHash. 0, or -1 when a name cannot be allocated or would exceed VSALIB_MAX_RUN_PATH.
int qz_BuildUniquePaths(VSA_ENGINE* engine);
}
